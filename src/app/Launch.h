#pragma once

#include <ctime>
#include <string>
#include <vector>

// The application folder + "/Videos", computed on first use (the start-up routine uses it
// first, so it is fixed for the run). Created only with a per-user application folder.
const std::string& VideoFolder();

// The launchers below the installed folder (the resources, see platform/AppDirectory.h).
std::string PlayerPath();      // player/ffplayer
std::string TranscoderPath();  // player/ffmpeg/ffmpeg

// The local time of t formatted "/%y%m%d%H%M%S.mp4"; empty when formatting yields nothing.
std::string FormatMp4Name(std::time_t t);

// True for an address that may be handed to the player or the transcoder: a network stream
// scheme (rtmp and its variants, rtsp, rtsps, http, https) followed by "://", no control
// characters. Such an address cannot start with '-', name a local file or a special protocol.
bool IsLaunchableAddress(const std::string& address);

// The argument vectors (without the program itself). The address is always one item.
std::vector<std::string> PlayerArguments(const std::string& address);
std::vector<std::string> TranscoderArguments(const std::string& address,
                                             const std::string& outputPath);
