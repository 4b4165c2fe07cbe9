#pragma once
// Placeholder: the RTMP chunk-stream decoder is being written (see its issue).

#include "netunpack/ZMemory.h"

class CVideoStreamDecoder {
  public:
    virtual ~CVideoStreamDecoder() = default;
    // The FLV tag of a completed audio or video message, or null. Valid until the next call.
    virtual CZMemory* DecodeToFlvTag(const unsigned char* data, int len) = 0;
    virtual CZMemory* DecodeToH264(const unsigned char* data, int len) = 0;
};

class CRtmp2H264AacDecoder : public CVideoStreamDecoder {
  public:
    CZMemory* DecodeToFlvTag(const unsigned char* data, int len) override;
    CZMemory* DecodeToH264(const unsigned char* data, int len) override;
};
