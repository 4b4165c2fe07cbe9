// A sequence of frames through a whole CVideoStreamUriAnalyse: tracking, the three
// extractors, the RTMP media step and the FLV writer in a private application folder, with a
// recording request for every stream it finds.

#include <pcap/pcap.h>

#include <cstdint>
#include <memory>
#include <set>

#include "FrameChunks.h"
#include "FuzzSupport.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "common/LogOut.h"
#include "decoder/FlvWriter.h"

namespace {

// Streams found get recorded; the list never shrinks, so a fuzzing run adds only so many.
const size_t kMaxDynamicRequests = 256;
std::set<std::string> g_requested;
volatile unsigned g_sink;

void CheckTag(const unsigned char* tag, int length) {
    bool ok = tag != nullptr && length >= 11 && (tag[0] == 8 || tag[0] == 9) &&
              ((tag[1] << 16) | (tag[2] << 8) | tag[3]) == length - 11;
    if (!ok) {
        std::fprintf(stderr, "malformed FLV tag from the decoder (length %d)\n", length);
        std::abort();
    }
    unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum += tag[i];
    g_sink = sum;
}

void RecordEverything(const unsigned char* tag, int length, const char* clientIp, int clientPort,
                      const char* serverIp, int serverPort, const char* address) {
    CheckTag(tag, length);
    if (g_requested.size() < kMaxDynamicRequests && g_requested.insert(address).second) {
        AddRecordingRequest(std::string("--i ") + address + " --o");
    }
    OnRtmpTag(tag, length, clientIp, clientPort, serverIp, serverPort, address);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::AppFolder();
    SetLoggingQuiet(true);
    // The addresses the seeds use.
    for (const char* address : {"rtmp://10.0.1.1/live/fuzz", "rtmp://10.0.1.1/live/a",
                                "rtmp://10.0.1.1:1936/live/fuzz"}) {
        g_requested.insert(address);
        AddRecordingRequest(std::string("--i ") + address + " --o");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    {
        auto analyser = std::make_unique<CVideoStreamUriAnalyse>();
        analyser->SetStreamDataCallback(&RecordEverything);
        struct pcap_pkthdr header {};
        for (const auto& chunk : fuzzsupport::SplitChunks(data, size)) {
            if (chunk.second == 0) continue;
            const int control = chunk.first[0];
            std::vector<unsigned char> built;
            const unsigned char* frame = chunk.first + 1;
            size_t frameLen = chunk.second - 1;
            if (control < 0x80) {
                built = framechunks::Wrap(control, frame, frameLen);
                frame = built.data();
                frameLen = built.size();
            }
            fuzzsupport::ExactCopy copy(frame, frameLen);
            header.caplen = header.len = static_cast<bpf_u_int32>(frameLen);
            header.ts.tv_usec += 1000;
            // An empty frame still arrives as a valid pointer, as from the capture library.
            static const unsigned char kNothing[1] = {0};
            analyser->packet_handler(nullptr, &header, copy.data() ? copy.data() : kNothing);
        }
        if (analyser->Connections().Size() > CVideoStreamAnalyse::kMaxConnections ||
            analyser->Streams().size() > CVideoStreamUriAnalyse::kMaxStreams ||
            analyser->DecoderCount() > CVideoStreamUriAnalyse::kMaxDecoders) {
            std::fprintf(stderr, "an analyser table grew past its bound\n");
            std::abort();
        }
    }
    // Each input starts with no files and no file states.
    ReleaseFlvFileTable();
    fuzzsupport::EmptyFolder(fuzzsupport::AppFolder() + "/Videos");
    return 0;
}
