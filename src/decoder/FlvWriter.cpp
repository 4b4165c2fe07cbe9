#include "decoder/FlvWriter.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/LogOut.h"
#include "platform/AppDirectory.h"

namespace {

constexpr size_t kMaxPathLength = 250;

std::mutex g_listLock;
std::vector<std::string> g_recordingList;
std::atomic<bool> g_recordAll{false};
std::atomic<uint64_t> g_listVersion{0};

std::mutex g_tableLock;
std::map<std::string, std::unique_ptr<FlvFileState>> g_flvFileTable;

bool IsRequested(const char* address) {
    if (g_recordAll.load(std::memory_order_relaxed)) return true;
    std::lock_guard<std::mutex> guard(g_listLock);
    for (const std::string& request : g_recordingList) {
        const std::string wanted = RequestedAddress(request);
        if (!wanted.empty() && wanted == address) return true;
    }
    return false;
}

std::string FlvKey(const char* clientIp, int clientPort, const char* serverIp, int serverPort) {
    return std::string(clientIp) + std::to_string(clientPort) + serverIp +
           std::to_string(serverPort);
}

FlvFileState* StateOf(const std::string& key) {
    std::lock_guard<std::mutex> guard(g_tableLock);
    std::unique_ptr<FlvFileState>& slot = g_flvFileTable[key];
    if (!slot) slot = std::make_unique<FlvFileState>();
    return slot.get();
}

// This run's file for a key: <key>.flv, or <key>-N.flv when an earlier run left a recording
// there, so that nothing already recorded is touched.
std::string ChooseRecordingPath(const std::string& folder, const std::string& key) {
    std::string path = folder + "/" + key + ".flv";
    for (int n = 2; n < 100000; ++n) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size == 0)) break;
        path = folder + "/" + key + "-" + std::to_string(n) + ".flv";
    }
    return path;
}

std::string ErrorText(int error) {
    char buffer[256];
    // The GNU form returns the text, which may not be in the buffer.
    const char* text = strerror_r(error, buffer, sizeof(buffer));
    return text != nullptr ? std::string(text) : std::string("unknown error");
}

}  // namespace

std::string RequestedAddress(const std::string& request) {
    const size_t in = request.find("--i");
    const size_t out = request.find("--o");
    if (in == std::string::npos || out == std::string::npos) return std::string();
    const size_t start = in + 4;
    if (out < 1 || out - 1 <= start) return std::string();
    return request.substr(start, out - 1 - start);
}

size_t AddRecordingRequest(const std::string& request) {
    std::lock_guard<std::mutex> guard(g_listLock);
    const size_t before = g_recordingList.size();
    g_recordingList.push_back(request);
    g_listVersion.fetch_add(1, std::memory_order_release);
    return before;
}

std::vector<std::string> RequestedAddresses() {
    std::lock_guard<std::mutex> guard(g_listLock);
    std::vector<std::string> addresses;
    for (const std::string& request : g_recordingList) {
        std::string a = RequestedAddress(request);
        if (!a.empty()) addresses.push_back(std::move(a));
    }
    return addresses;
}

void SetRecordAll(bool all) {
    g_recordAll.store(all, std::memory_order_relaxed);
    g_listVersion.fetch_add(1, std::memory_order_release);
}

bool RecordAll() {
    return g_recordAll.load(std::memory_order_relaxed);
}

uint64_t RecordingListVersion() {
    return g_listVersion.load(std::memory_order_acquire);
}

size_t RecordingRequestCount() {
    std::lock_guard<std::mutex> guard(g_listLock);
    return g_recordingList.size();
}

bool FlvFileState::Put(const void* bytes, size_t count) {
    if (count == 0) return true;
    if (std::fwrite(bytes, 1, count, file) == count) return true;
    if (writeError == 0) writeError = errno != 0 ? errno : EIO;
    return false;
}

bool FlvFileState::PutSize(uint32_t size) {
    const unsigned char b[4] = {
        static_cast<unsigned char>(size >> 24), static_cast<unsigned char>(size >> 16),
        static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    return Put(b, 4);
}

uint8_t FlvFileState::WriteTag(const unsigned char* tag, int tagLen) {
    if (file == nullptr) return 255;
    if (tag == nullptr || tagLen <= 0) return 0;
    if (prevTagSize == 0) {
        // A file starts at a key frame, after the decoder configurations.
        if (tagLen < 12 || tag[0] != 9 || (tag[11] & 0x10) == 0) return 0;
        static const unsigned char kHeader[9] = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9};
        Put(kHeader, sizeof(kHeader));
        PutSize(0);
        if (firstVideoTag.length > 0) {
            Put(firstVideoTag.data, static_cast<size_t>(firstVideoTag.length));
            PutSize(static_cast<uint32_t>(firstVideoTag.length));
        }
        if (firstAudioConfig.length >= 8 && tagLen >= 8) {
            std::memcpy(firstAudioConfig.data + 4, tag + 4, 4);
            Put(firstAudioConfig.data, static_cast<size_t>(firstAudioConfig.length));
            PutSize(static_cast<uint32_t>(firstAudioConfig.length));
        }
    } else {
        PutSize(prevTagSize);
    }
    Put(tag, static_cast<size_t>(tagLen));
    prevTagSize = static_cast<uint32_t>(tagLen);
    return 0;
}

void OnRtmpTag(const unsigned char* tag, int tagLen, const char* clientIp, int clientPort,
               const char* serverIp, int serverPort, const char* address) {
    if (tag == nullptr || tagLen < 11 || clientIp == nullptr || serverIp == nullptr ||
        address == nullptr) {
        return;
    }
    const std::string key = FlvKey(clientIp, clientPort, serverIp, serverPort);
    FlvFileState* state = StateOf(key);

    std::string failure;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (tag[0] == 9) {
            if (state->firstVideoTag.length == 0) {
                state->firstVideoTag.Assign(tag, tagLen);
            } else {
                std::memcpy(state->firstVideoTag.data + 4, tag + 4, 4);
            }
        } else if (tag[0] == 8 && tagLen >= 13 && (tag[11] >> 4) == 10 && tag[12] == 0 &&
                   state->firstAudioConfig.length == 0) {
            // Without it the audio of a recording started mid-stream cannot be decoded.
            state->firstAudioConfig.Assign(tag, tagLen);
        }
        if (state->firstVideoTag.length <= 11 || !IsRequested(address)) return;

        const std::string folder = GetAppDirectory() + "/Videos";
        if (state->path.empty()) {
            platform::MakeFolders(folder);
            state->path = ChooseRecordingPath(folder, key);
            state->address = address;
        }
        if (state->path.size() >= kMaxPathLength) {
            failure = "Cannot write the recording file " + state->path + ": the path is too long";
        } else {
            state->file = std::fopen(state->path.c_str(), "ab+");
            if (state->file == nullptr && errno == ENOENT && platform::MakeFolders(folder)) {
                state->file = std::fopen(state->path.c_str(), "ab+");
            }
            int error = state->file == nullptr ? errno : 0;
            state->writeError = 0;
            state->WriteTag(tag, tagLen);
            if (state->file != nullptr) {
                if (std::fclose(state->file) != 0 && state->writeError == 0)
                    state->writeError = errno;
                state->file = nullptr;
                error = state->writeError;
            }
            if (error != 0) {
                failure =
                    "Cannot write the recording file " + state->path + ": " + ErrorText(error);
            }
        }
        if (failure.empty() || state->reported) return;
        state->reported = true;
    }
    // Outside the lock: LogOut may wait for the window.
    LogOut(LOG_ERROR, failure);
}

std::vector<RecordingFile> RecordingFiles() {
    std::vector<RecordingFile> files;
    std::lock_guard<std::mutex> guard(g_tableLock);
    for (auto& entry : g_flvFileTable) {
        std::lock_guard<std::mutex> inner(entry.second->lock);
        if (!entry.second->path.empty())
            files.push_back({entry.second->address, entry.second->path});
    }
    return files;
}

std::vector<std::string> RecordingRequests() {
    std::lock_guard<std::mutex> guard(g_listLock);
    return g_recordingList;
}

void ReleaseFlvFileTable() {
    std::lock_guard<std::mutex> guard(g_tableLock);
    for (auto& entry : g_flvFileTable) {
        std::lock_guard<std::mutex> inner(entry.second->lock);
        if (entry.second->file != nullptr) {
            std::fclose(entry.second->file);
            entry.second->file = nullptr;
        }
    }
    g_flvFileTable.clear();
}

void ResetRecordingForTest() {
    ReleaseFlvFileTable();
    std::lock_guard<std::mutex> guard(g_listLock);
    g_recordingList.clear();
    g_recordAll.store(false);
    g_listVersion.fetch_add(1);
}

bool IsRecordingRequested(const char* address) {
    return address != nullptr && IsRequested(address);
}

void PrimeRtmpTags(const char* clientIp, int clientPort, const char* serverIp, int serverPort,
                   const CZMemory& firstVideoTag, const CZMemory& firstAudioConfig) {
    if (clientIp == nullptr || serverIp == nullptr) return;
    FlvFileState* state = StateOf(FlvKey(clientIp, clientPort, serverIp, serverPort));
    std::lock_guard<std::mutex> guard(state->lock);
    // As OnRtmpTag would have left it, had it seen every tag noted.
    if (firstVideoTag.length >= 8) {
        if (state->firstVideoTag.length == 0)
            state->firstVideoTag.Assign(firstVideoTag.data, firstVideoTag.length);
        else if (state->firstVideoTag.length >= 8)
            std::memcpy(state->firstVideoTag.data + 4, firstVideoTag.data + 4, 4);
    }
    if (firstAudioConfig.length > 0 && state->firstAudioConfig.length == 0)
        state->firstAudioConfig.Assign(firstAudioConfig.data, firstAudioConfig.length);
}
