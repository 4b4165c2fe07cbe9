#pragma once
// The parts of a session description that a recording needs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SdpMedia {
    std::string kind;      // "video", "audio", ...
    int payloadType = -1;  // the first format of the m= line
    std::string encoding;  // from rtpmap, upper case: H264, H265, MPEG4-GENERIC, PCMU, PCMA
    uint32_t clockRate = 0;
    int channels = 1;
    std::string control;  // a=control
    std::string fmtp;     // the parameters of the payload type's a=fmtp line

    // A parameter of the fmtp line by name (any letter case); empty when absent.
    std::string Param(const char* name) const;
};

struct SdpDescription {
    std::vector<SdpMedia> media;
    std::string control;  // session-level a=control
};

// Media beyond this, lines beyond that and fields longer than that are ignored: a description
// from the wire costs bounded memory whatever it claims.
constexpr size_t kMaxSdpMedia = 16;
constexpr size_t kMaxSdpLines = 4096;
constexpr size_t kMaxSdpField = 4096;

// False when the text holds no media line at all.
bool ParseSdp(const char* text, size_t length, SdpDescription* out);

// RFC 4648 base64 (padding optional); false on a character outside the alphabet.
bool DecodeBase64(const std::string& text, std::vector<unsigned char>* out);
// Hexadecimal digits to bytes; false on an odd count or a non-digit.
bool DecodeHex(const std::string& text, std::vector<unsigned char>* out);
