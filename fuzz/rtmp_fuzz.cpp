// An RTMP byte stream, cut into segments by 2-byte lengths, through CRtmp2H264AacDecoder: the
// FLV tag path as the analyser drives it (each segment, then draining with no bytes) and the
// H.264 path on a second decoder. A segment whose first byte is 0xFD with two or more bytes
// stands for a gap: its next bytes (up to four, big-endian) give the missing length.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"
#include "decoder/VideoStreamDecoder.h"

namespace {

const int kMaxDrain = 1024;  // as the analyser: at most so many tags per segment
volatile unsigned g_sink;

void Fail(const char* what, int length) {
    std::fprintf(stderr, "%s (length %d)\n", what, length);
    std::abort();
}

unsigned CheckTag(const CZMemory* tag) {
    if (tag->data == nullptr || tag->length <= 0) Fail("an empty tag was returned", tag->length);
    const unsigned char* t = tag->data;
    const int n = tag->length;
    if (n < 11) Fail("a tag shorter than its header", n);
    if (t[0] != 8 && t[0] != 9) Fail("a tag that is neither audio nor video", n);
    if (((t[1] << 16) | (t[2] << 8) | t[3]) != n - 11) Fail("a tag whose size field lies", n);
    // Byte 7 is the timestamp extension; the stream id (8 to 10) is always 0.
    if (t[8] != 0 || t[9] != 0 || t[10] != 0) Fail("a tag with a stream id", n);
    unsigned sum = 0;
    for (int i = 0; i < n; ++i) sum += t[i];
    return sum;
}

unsigned CheckH264(const CZMemory* out) {
    if (out->data == nullptr || out->length <= 0) Fail("an empty H.264 buffer was returned", 0);
    unsigned sum = 0;
    for (int i = 0; i < out->length; ++i) sum += out->data[i];
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    CRtmp2H264AacDecoder flv;
    CRtmp2H264AacDecoder h264;
    unsigned sum = 0;
    for (const auto& segment : fuzzsupport::SplitChunks(data, size)) {
        if (segment.second >= 2 && segment.first[0] == 0xFD) {
            uint32_t missing = 0;
            for (size_t i = 1; i < segment.second && i <= 4; ++i)
                missing = (missing << 8) | segment.first[i];
            CVideoStreamDecoder& base = flv;
            base.Gap(missing);
            h264.Gap(missing);
            continue;
        }
        fuzzsupport::ExactCopy bytes(segment.first, segment.second);
        CZMemory* tag = flv.DecodeToFlvTag(bytes.data(), bytes.size());
        for (int n = 0; tag != nullptr && n < kMaxDrain; ++n) {
            sum += CheckTag(tag);
            tag = flv.DecodeToFlvTag(nullptr, 0);
        }
        CZMemory* out = h264.DecodeToH264(bytes.data(), bytes.size());
        for (int n = 0; out != nullptr && n < kMaxDrain; ++n) {
            sum += CheckH264(out);
            out = h264.DecodeToH264(nullptr, 0);
        }
    }
    g_sink = sum;
    return 0;
}
