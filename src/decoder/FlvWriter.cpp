#include "decoder/FlvWriter.h"
// Placeholder until the writer lands.
#include <mutex>
#include <vector>
namespace {
std::mutex g_lock;
std::vector<std::string> g_requests;
}  // namespace
void OnRtmpTag(const unsigned char*, int, const char*, int, const char*, int, const char*) {}
size_t AddRecordingRequest(const std::string& request) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_requests.push_back(request);
    return g_requests.size() - 1;
}
size_t RecordingRequestCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_requests.size();
}
void ReleaseFlvFileTable() {}
