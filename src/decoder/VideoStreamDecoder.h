#pragma once
// Rebuilds RTMP messages from the captured server-to-client bytes of one connection.

#include <cstdint>
#include <set>
#include <vector>

#include "netunpack/ZMemory.h"

class CVideoStreamDecoder {
  public:
    virtual ~CVideoStreamDecoder() = default;
    // The FLV tag of a completed audio or video message, or null. Valid until the next call.
    // A call with no bytes (null or len 0) returns the next message already buffered, or null.
    virtual CZMemory* DecodeToFlvTag(const unsigned char* data, int len) = 0;
    // Same feeding; a completed H.264 tag comes back as Annex B bytes, anything else as null.
    virtual CZMemory* DecodeToH264(const unsigned char* data, int len) = 0;
    // `length` bytes of the direction are missing before the next bytes fed (the capture lost
    // them).
    virtual void Gap(uint32_t /*length*/) {}

  protected:
    CZMemory m_h264;   // Annex B bytes of the last conversion
    CZMemory m_tag;    // FLV tag of the last completed audio or video message
    CZMemory m_input;  // bytes received and not yet parsed
};

class CRtmp2H264AacDecoder : public CVideoStreamDecoder {
  public:
    CRtmp2H264AacDecoder();
    CZMemory* DecodeToFlvTag(const unsigned char* data, int len) override;
    CZMemory* DecodeToH264(const unsigned char* data, int len) override;
    // Messages that touch the missing bytes are dropped; decoding resumes at the next chunk
    // boundary the bytes after the gap prove, video at its next key frame.
    void Gap(uint32_t length) override;

    // Longest message a type-0 header may declare to be taken for a header at all.
    static constexpr uint32_t kMaxPlausibleLength = 0xFFFE;
    // Longest message followed once the stream is in step (large key frames come with type-1
    // headers); longer ones are passed over without being kept.
    static constexpr uint32_t kMaxMessageLength = 0x100000;
    // Unparsed bytes kept at most; a backlog beyond it is dropped and the parser starts over.
    static constexpr int kMaxInput = 0x100000;
    // After a gap: bytes a candidate chunk boundary may wait for before it is given up and the
    // scan moves on, dropping what it passed.
    static constexpr int kResyncWindow = 256 * 1024;
    // A candidate boundary is proved by a chain of consistent headers that reaches past the end
    // of a message and on through so many more headers.
    static constexpr int kProofHeadersAfterEnd = 3;

    // From the next video message on, keep only the first bytes of each video payload (enough
    // to tell a key frame): the tags of a stream nobody records are only noted, not written, and
    // copying every frame's bytes would be work for nothing. Off by default.
    void OutlineVideo(bool on) { m_outlineVideo = on; }
    // Whether the last tag handed out holds its whole payload (an outlined video tag does not).
    bool LastTagWhole() const { return m_tagWhole; }
    static constexpr uint32_t kOutlineBytes = 2;

    int ChunkSize() const { return m_chunkSize; }
    bool IsRegistered(int chunkStreamId) const { return m_chunkStreams.count(chunkStreamId) != 0; }
    int BufferedBytes() const { return m_input.length; }
    // Out of step after a gap, looking for a chunk boundary to prove.
    bool Resyncing() const { return m_resync; }

  private:
    // What one chunk stream remembers: its last message header and its partly built message.
    struct ChunkStream {
        uint32_t length = 0;          // message length of the last header
        uint8_t type = 0;             // message type of the last header
        uint32_t timestamp = 0;       // absolute timestamp of the last message started
        uint32_t timestampField = 0;  // last timestamp field (absolute after type 0, else delta)
        bool extended = false;        // the last header carried an extended timestamp
        bool open = false;            // a message is partly built
        bool needHeader = false;      // after a loss of step: no continuation until a new header
        bool keep = false;            // the open message's payload is kept (audio or video)
        bool outline = false;         // of that payload only the first kOutlineBytes
        uint32_t taken = 0;           // payload bytes of the open message received so far
        uint32_t messageTimestamp = 0;
        std::vector<unsigned char> payload;  // tag header + payload of the open audio/video
    };

    enum class Step { Wait, Refused, Chunk };
    enum class Proof { Yes, No, More };

    // Where in m_input bytes are missing, and how many.
    struct PendingGap {
        int at;
        uint32_t length;
    };

    // Parses the unparsed bytes until one audio or video message is complete.
    bool Feed(const unsigned char* data, int len);
    Step ReadHeader(const unsigned char* at, int avail, int& headerLen);
    bool ConsumePayload(const unsigned char* at, int n);
    bool CompleteMessage(int chunkStreamId, ChunkStream& cs);
    // True when a completed video message is to be dropped because video waits for a key frame.
    bool WaitsForKeyFrame(const ChunkStream& cs);
    void StartMessage(ChunkStream& cs, uint32_t timestamp);
    void LoseStep();
    // The gap reaches the parser: skipped inside the chunk being read when it fits there,
    // otherwise every open message is dropped and the scan for a proved boundary begins.
    void ApplyGap(uint32_t length);
    void EnterResync();
    // Simulates parsing from a candidate header without touching any state.
    // newlyRegistered: bit per chunk stream that the chain registers by a type-1 header.
    Proof Prove(const unsigned char* at, int avail, unsigned& newlyRegistered) const;
    void ConvertToH264();

    std::set<int> m_chunkStreams;  // chunk streams that carried a plausible header
    int m_chunkSize = 4096;
    bool m_withTagHeader = true;
    bool m_outlineVideo = false;
    bool m_tagWhole = true;

    ChunkStream m_streams[9];  // indexed by chunk stream id; only 2 to 8 are used
    bool m_inStep = false;     // the next byte is a chunk header (not noise)
    int m_chunkStream = 0;     // chunk stream of the chunk whose payload is being read
    uint32_t m_chunkLeft = 0;  // payload bytes of that chunk still to come

    std::vector<PendingGap> m_gaps;  // gaps inside m_input, in order
    bool m_gapSeen = false;          // once bytes went missing, losing step means proving again
    bool m_resync = false;           // scanning for a proved chunk boundary
    bool m_needKeyFrame = false;     // video waits for a key frame after lost video
};
