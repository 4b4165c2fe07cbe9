#pragma once

#include <memory>
#include <string>

#include "analyse/StreamUriExtract.h"
#include "decoder/VideoStreamDecoder.h"
#include "flow/TcpReassembler.h"
#include "netunpack/NetUnpack.h"

// A TCP connection the analyser follows, from the segment that opened its request on: the
// direction that sent the request is the flow's "to server" side. It holds the per-connection
// unpacker with the collected bytes, both directions put back in order, and for RTMP the
// decoder of the server's media and the address this very connection carried.
struct TcpConnection {
    TcpConnection(const ConnectionKey& key, FlowMemory* memory) : flow(key, memory) {}
    ~TcpConnection() {
        if (decoder && decoderCount != nullptr) --*decoderCount;
    }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    const ConnectionKey& Key() const { return flow.Key(); }

    TcpFlow flow;
    std::unique_ptr<CPayloadNetUnpack> unpacker;  // first frame, then the bytes collected
    StreamType type = STREAM_NONE;
    // A connect command whose codec words have not come yet (clients that send it in several
    // segments): collected, but neither RTMP nor reported until they do.
    bool pendingConnect = false;
    bool collecting = true;   // under the collection limit
    HttpSearchMemo searches;  // of the HTTP extraction, resumed as the bytes grow
    // The stream address this connection carried, once found, and its endpoint texts.
    std::string address;
    std::string clientIp, serverIp;
    // RTMP: rebuilds the server's media.
    std::unique_ptr<CRtmp2H264AacDecoder> decoder;
    size_t* decoderCount = nullptr;  // the analyser's count of live decoders
};
