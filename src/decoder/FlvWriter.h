#pragma once
// Writes the FLV tags of recorded RTMP streams into one file per connection.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "netunpack/ZMemory.h"

// One FLV file being recorded, named by the connection's FLV key.
struct FlvFileState {
    FILE* file = nullptr;       // open only for the duration of one write
    uint32_t prevTagSize = 0;   // next PreviousTagSize; 0 while nothing is written in this run
    CZMemory firstVideoTag;     // first video tag seen, timestamp refreshed from later ones
    CZMemory firstAudioConfig;  // first AAC sequence header seen
    std::string path;           // this run's file, chosen at the first write
    std::string address;        // the stream it records
    bool reported = false;      // a failure of this file has been logged
    int writeError = 0;         // errno of the first failed write since it was cleared
    std::mutex lock;            // one writer at a time

    // 255 when the file is not open (nothing written), else 0.
    uint8_t WriteTag(const unsigned char* tag, int tagLen);

  private:
    bool Put(const void* bytes, size_t count);
    bool PutSize(uint32_t size);
};

// The analyser's media callback: appends a tag to the connection's file when recorded.
void OnRtmpTag(const unsigned char* tag, int tagLen, const char* clientIp, int clientPort,
               const char* serverIp, int serverPort, const char* address);

// Whether the recording list asks for the address (RecordingListVersion says when the answer
// may change).
bool IsRecordingRequested(const char* address);
// Leaves the connection's file state as OnRtmpTag would have, had it been handed the tags whose
// notes these are: the first video tag seen (with the timestamp of the latest video tag) and the
// first AAC sequence header. For streams whose tags were noted instead of handed over while
// nobody recorded them; called before the first tag handed over.
void PrimeRtmpTags(const char* clientIp, int clientPort, const char* serverIp, int serverPort,
                   const CZMemory& firstVideoTag, const CZMemory& firstAudioConfig);

// Appends a request "--i ADDRESS --o" to the recording list; returns the count before it.
size_t AddRecordingRequest(const std::string& request);
size_t RecordingRequestCount();
// Every address the list asks for, in order.
std::vector<std::string> RequestedAddresses();
// Records every stream, asked for or not (strevix-cli --record-all).
void SetRecordAll(bool all);
bool RecordAll();
// Changes whenever the list or the record-all switch does: a capture thread reads the list again
// only then.
uint64_t RecordingListVersion();
// The address a request names: from four characters after "--i" to one before "--o".
std::string RequestedAddress(const std::string& request);
// The files chosen so far in this run, with the address each records (for the window's view
// of recordings; it reads their sizes itself).
struct RecordingFile {
    std::string address;
    std::string path;
};
std::vector<RecordingFile> RecordingFiles();
// The requests of the recording list, in order.
std::vector<std::string> RecordingRequests();
// Closes every open file and frees the table (program exit).
void ReleaseFlvFileTable();
// Empties the recording list and the file table (tests only).
void ResetRecordingForTest();
