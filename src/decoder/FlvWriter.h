#pragma once
// Placeholder: the FLV writer is being written (see its issue).

#include <cstddef>
#include <string>

// The analyser's media callback: appends a tag to the connection's file when recorded.
void OnRtmpTag(const unsigned char* tag, int tagLen, const char* clientIp, int clientPort,
               const char* serverIp, int serverPort, const char* address);

// Appends a request "--i ADDRESS --o" to the recording list; returns the count before it.
size_t AddRecordingRequest(const std::string& request);
size_t RecordingRequestCount();
// Closes every open file and frees the table (program exit).
void ReleaseFlvFileTable();
