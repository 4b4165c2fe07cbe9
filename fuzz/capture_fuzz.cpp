// A capture file through the path of `strevix-cli -r`: the input is written to a file, a
// CVideoStreamUriAnalyse opens it and runs its capture thread to the end, then stops.

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "common/LogOut.h"
#include "decoder/FlvWriter.h"

namespace {

const char* kAddresses[] = {"rtmp://10.0.1.1/live/fuzz", "rtmp://127.0.0.1/live/fuzz"};
std::string g_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = fuzzsupport::AppFolder() + "/input.pcap";
    SetLoggingQuiet(true);
    for (const char* address : kAddresses) {
        AddRecordingRequest(std::string("--i ") + address + " --o");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    FILE* out = std::fopen(g_path.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    std::fclose(out);
    {
        auto analyser = std::make_unique<CVideoStreamUriAnalyse>();
        analyser->SetStreamDataCallback(&OnRtmpTag);
        if (analyser->StartFromFile(g_path) == 0) {
            // A file of at most a megabyte is read in well under this; longer is a hang.
            const timespec pause{0, 20 * 1000};
            for (long waited = 0; !analyser->LoopEnded(); ++waited) {
                if (waited > 30L * 1000 * 1000 / 20) {
                    std::fprintf(stderr, "the capture loop never ended\n");
                    std::abort();
                }
                nanosleep(&pause, nullptr);
            }
        }
        analyser->Stop();
    }
    ReleaseFlvFileTable();
    fuzzsupport::EmptyFolder(fuzzsupport::AppFolder() + "/Videos");
    return 0;
}
