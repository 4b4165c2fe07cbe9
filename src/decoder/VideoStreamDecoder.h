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
    // `length` bytes of the direction are missing before the next bytes fed.
    virtual void Gap(uint32_t length) { (void)length; }

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

    // Longest message a type-0 header may declare to be taken for a header at all.
    static constexpr uint32_t kMaxPlausibleLength = 0xFFFE;
    // Longest message followed once the stream is in step (large key frames come with type-1
    // headers); longer ones are passed over without being kept.
    static constexpr uint32_t kMaxMessageLength = 0x100000;
    // Unparsed bytes kept at most; a backlog beyond it is dropped and the parser starts over.
    static constexpr int kMaxInput = 0x100000;

    int ChunkSize() const { return m_chunkSize; }
    bool IsRegistered(int chunkStreamId) const { return m_chunkStreams.count(chunkStreamId) != 0; }
    int BufferedBytes() const { return m_input.length; }

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
        uint32_t taken = 0;           // payload bytes of the open message received so far
        uint32_t messageTimestamp = 0;
        std::vector<unsigned char> payload;  // tag header + payload of the open audio/video
    };

    enum class Step { Wait, Refused, Chunk };

    // Parses the unparsed bytes until one audio or video message is complete.
    bool Feed(const unsigned char* data, int len);
    Step ReadHeader(const unsigned char* at, int avail, int& headerLen);
    bool ConsumePayload(const unsigned char* at, int n);
    bool CompleteMessage(int chunkStreamId, ChunkStream& cs);
    void StartMessage(ChunkStream& cs, uint32_t timestamp);
    void LoseStep();
    void ConvertToH264();

    std::set<int> m_chunkStreams;  // chunk streams that carried a plausible header
    int m_chunkSize = 4096;
    bool m_withTagHeader = true;

    ChunkStream m_streams[9];  // indexed by chunk stream id; only 2 to 8 are used
    bool m_inStep = false;     // the next byte is a chunk header (not noise)
    int m_chunkStream = 0;     // chunk stream of the chunk whose payload is being read
    uint32_t m_chunkLeft = 0;  // payload bytes of that chunk still to come
};
