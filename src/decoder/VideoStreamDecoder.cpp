#include "decoder/VideoStreamDecoder.h"
// Placeholder until the decoder lands.
CZMemory* CRtmp2H264AacDecoder::DecodeToFlvTag(const unsigned char*, int) {
    return nullptr;
}
CZMemory* CRtmp2H264AacDecoder::DecodeToH264(const unsigned char*, int) {
    return nullptr;
}
