#pragma once

#include <memory>
#include <new>
#include <string>

#include "analyse/StreamUriExtract.h"
#include "decoder/VideoStreamDecoder.h"
#include "flow/TcpReassembler.h"
#include "netunpack/NetUnpack.h"

// The connection direction of a segment: source to destination.
inline ConnectionKey KeyOf(const CTCPNetUnpack& u) {
    uint64_t addresses[4];
    u.AddressWords(addresses);
    const uint32_t ports = u.Ports();
    return ConnectionKey::FromWords(
        addresses, ConnectionKey::TailOf(static_cast<uint16_t>(ports >> 16),
                                         static_cast<uint16_t>(ports), u.IsIPv6()));
}

// What only an RTMP connection needs: the decoder of the server's media and the address this very
// connection carried, with its endpoint texts for the recorder.
struct RtmpMedia {
    ~RtmpMedia() {
        if (decoder && decoderCount != nullptr) --*decoderCount;
    }
    std::string address;
    std::string clientIp, serverIp;
    std::unique_ptr<CRtmp2H264AacDecoder> decoder;
    size_t* decoderCount = nullptr;  // the analyser's count of live decoders
    // The client publishes: the media flows to the server, and the decoder reads that direction.
    bool publishing = false;
    // Whether the address is being recorded, as of the recording list's version `wantedAt`.
    bool wanted = false;
    uint64_t wantedAt = ~uint64_t{0};
    // While it is not: what a recording started later needs of the tags passed by (the first
    // video tag with the latest video timestamp, the first AAC sequence header).
    CZMemory notedVideo;
    CZMemory notedAudio;
    bool notesPending = false;
};

// A TCP connection the analyser follows, from the segment that opened its request on: the
// direction that sent the request is the flow's "to server" side. It holds the per-connection
// unpacker with the collected bytes and both directions put back in order. One is made for every
// request seen, so it is kept small and in one piece: the unpacker lives inside it.
struct TcpConnection {
    TcpConnection(const ConnectionKey& key, FlowMemory* memory) : flow(key, memory) {}
    ~TcpConnection() {
        if (unpacker != nullptr) unpacker->~CPayloadNetUnpack();
    }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    // From the block pool: the table reaches its entries at random.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size);

    const ConnectionKey& Key() const { return flow.Key(); }
    bool Publishing() const { return rtmp && rtmp->publishing; }

    // Makes the unpacker, of one of the three payload classes (they add no members).
    template <class Unpacker>
    CPayloadNetUnpack* MakeUnpacker() {
        static_assert(sizeof(Unpacker) <= sizeof(m_unpackerBytes), "unpacker does not fit");
        unpacker = ::new (static_cast<void*>(m_unpackerBytes)) Unpacker();
        return unpacker;
    }

    TcpFlow flow;
    CPayloadNetUnpack* unpacker = nullptr;  // first frame, then the bytes collected
    StreamType type = STREAM_NONE;
    // A connect command whose codec words have not come yet (clients that send it in several
    // segments): collected, but neither RTMP nor reported until they do.
    bool pendingConnect = false;
    bool collecting = true;  // under the collection limit
    // Where the first frame's payload starts and the frame ends in the collected bytes, and how
    // much of that frame was too big to keep.
    int payloadStart = 0;
    int firstFrameEnd = 0;
    int firstFrameCut = 0;
    HttpSearchMemo searches;  // of the HTTP extraction, resumed as the bytes grow
    HttpHostWait hostWait;    // an HTTP collection that waits for a "Host"
    // All the bytes collected, those only counted included.
    int CollectedLen() const { return unpacker->GetAppendedLen() + hostWait.Hidden(); }
    std::unique_ptr<RtmpMedia> rtmp;  // RTMP connections only

  private:
    alignas(CPayloadNetUnpack) unsigned char m_unpackerBytes[sizeof(CPayloadNetUnpack)];
};
