#include <gtest/gtest.h>

#include <random>

#include "decoder/RtmpChunks.h"
#include "decoder/VideoStreamDecoder.h"

using namespace rtmpchunks;

namespace {

Bytes AsBytes(const CZMemory* m) {
    return m ? Bytes(m->data, m->data + m->length) : Bytes();
}

Bytes Feed(CRtmp2H264AacDecoder& d, const Bytes& b) {
    return AsBytes(d.DecodeToFlvTag(b.data(), static_cast<int>(b.size())));
}

// Every tag the bytes yield, fed as one segment and drained.
std::vector<Bytes> All(CRtmp2H264AacDecoder& d, const Bytes& b) {
    std::vector<Bytes> tags;
    const CZMemory* t = d.DecodeToFlvTag(b.data(), static_cast<int>(b.size()));
    while (t != nullptr) {
        tags.push_back(AsBytes(t));
        t = d.DecodeToFlvTag(nullptr, 0);
    }
    return tags;
}

// The opening a real server sends: window size, bandwidth, stream begin, chunk size 128.
Bytes Opening(uint32_t chunkSize = 128) {
    Bytes b;
    Bytes ack;
    Put32(ack, 2500000);
    Append(b, Message(0, 2, 0, 5, ack, 128, 0));
    Bytes bw = ack;
    bw.push_back(2);
    Append(b, Message(1, 2, 0, 6, bw, 128));
    Append(b, Message(1, 2, 0, 4, Bytes{0, 0, 0, 0, 0, 1}, 128));
    Append(b, SetChunkSize(chunkSize, 1));
    return b;
}

}  // namespace

// --- Rules that stand as they were ---

TEST(RtmpDecoder, TwoVideoMessagesInOneSegmentComeOutOnePerCallWhateverTheNextCallBrings) {
    CRtmp2H264AacDecoder d;
    const Bytes p1 = Payload(300, 1), p2 = Payload(200, 2), p3 = Payload(100, 3);
    Bytes seg = Message(0, 6, 40, 9, p1, 4096);
    Append(seg, Message(0, 6, 80, 9, p2, 4096));
    EXPECT_EQ(Feed(d, seg), Tag(9, 40, p1));
    EXPECT_EQ(Feed(d, Message(0, 6, 120, 9, p3, 4096)), Tag(9, 80, p2));
    EXPECT_EQ(AsBytes(d.DecodeToFlvTag(nullptr, 0)), Tag(9, 120, p3));
    EXPECT_EQ(d.DecodeToFlvTag(nullptr, 0), nullptr);
}

TEST(RtmpDecoder, TenThousandByteVideoInThreeChunksOfDefault4096ComesOutWhole) {
    CRtmp2H264AacDecoder d;
    const Bytes p = Payload(10000, 7);
    const Bytes tag = Feed(d, Message(0, 6, 0, 9, p, 4096, 1));
    ASSERT_EQ(tag.size(), 11u + 10000u);
    EXPECT_EQ(tag[1], 0x00);
    EXPECT_EQ(tag[2], 0x27);
    EXPECT_EQ(tag[3], 0x10);
    EXPECT_EQ(tag, Tag(9, 0, p));
}

TEST(RtmpDecoder, TimestampBytesOfTypeZeroHeaderReachTheTag) {
    CRtmp2H264AacDecoder d;
    const Bytes tag = Feed(d, Message(0, 4, 0x01F4, 8, Payload(20, 1), 4096));
    ASSERT_GE(tag.size(), 8u);
    EXPECT_EQ(Bytes(tag.begin() + 4, tag.begin() + 8), (Bytes{0x00, 0x01, 0xF4, 0x00}));
}

TEST(RtmpDecoder, ChunkStreamNineAndMultiByteIdsAreNeverTaken) {
    CRtmp2H264AacDecoder d;
    EXPECT_EQ(Feed(d, Message(0, 9, 0, 9, Payload(50, 1), 4096)), Bytes());
    EXPECT_FALSE(d.IsRegistered(9));
    // A two-byte basic header (id 0): the byte after it is no chunk stream to follow.
    Bytes two = Message(0, 0, 0, 9, Payload(50, 2), 4096);
    EXPECT_EQ(Feed(d, two), Bytes());
    // Still able to take a good message afterwards.
    const Bytes p = Payload(30, 3);
    EXPECT_EQ(Feed(d, Message(0, 6, 0, 9, p, 4096)), Tag(9, 0, p));
}

TEST(RtmpDecoder, StreamIdAbove255UnregistersAndCleanHeaderRegistersAgain) {
    CRtmp2H264AacDecoder d;
    const Bytes a = Payload(40, 1);
    EXPECT_EQ(Feed(d, Message(0, 4, 0, 8, a, 4096, 1)), Tag(8, 0, a));
    EXPECT_TRUE(d.IsRegistered(4));
    // Stream id 256: bytes 00 01 00 00, the tested bytes are 01 00 00.
    EXPECT_EQ(Feed(d, Message(0, 4, 20, 8, Payload(40, 2), 4096, 256)), Bytes());
    EXPECT_FALSE(d.IsRegistered(4));
    const Bytes b = Payload(40, 3);
    EXPECT_EQ(Feed(d, Message(0, 4, 40, 18, b, 4096, 1)), Bytes());  // data: registers, no tag
    EXPECT_TRUE(d.IsRegistered(4));
    const Bytes c = Payload(40, 4);
    EXPECT_EQ(Feed(d, Message(1, 4, 20, 8, c, 4096)), Tag(8, 60, c));
}

TEST(RtmpDecoder, OutOfStepMessageOf65535BytesIsNeverTakenAndScanGoesOnInsideIt) {
    CRtmp2H264AacDecoder d;
    // The payload hides a good header; the scan finds it once the big header is refused.
    const Bytes inner = Payload(100, 9);
    Bytes payload = Payload(200, 8);
    for (auto& c : payload) c |= 0xC0;  // no header-like bytes in the filler
    Append(payload, Message(0, 6, 5, 9, inner, 4096));
    payload.resize(65535, 0xFF);
    Bytes seg = Header(0, 6, 0, 65535, 9, 1);
    Append(seg, payload);
    EXPECT_EQ(Feed(d, seg), Tag(9, 5, inner));
}

TEST(RtmpDecoder, SequenceHeaderConvertsToStartCodedSpsAndPps) {
    CRtmp2H264AacDecoder d;
    const Bytes sps = Payload(25, 1), pps = Payload(4, 2);
    Bytes p{0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 25};
    Append(p, sps);
    Append(p, Bytes{0x01, 0x00, 0x04});
    Append(p, pps);
    const Bytes seg = Message(0, 6, 0, 9, p, 4096);
    const CZMemory* out = d.DecodeToH264(seg.data(), static_cast<int>(seg.size()));
    Bytes expected{0, 0, 0, 1};
    Append(expected, sps);
    Append(expected, Bytes{0, 0, 0, 1});
    Append(expected, pps);
    Append(expected, Bytes{0, 0, 0, 1});
    ASSERT_EQ(expected.size(), 41u);
    EXPECT_EQ(AsBytes(out), expected);
}

TEST(RtmpDecoder, NalUnitsConvertAndAudioYieldsNothing) {
    CRtmp2H264AacDecoder d;
    const Bytes n1 = Payload(10, 1), n2 = Payload(6, 2);
    Bytes p{0x27, 0x01, 0, 0, 0};
    Put32(p, 10);
    Append(p, n1);
    Put32(p, 6);
    Append(p, n2);
    Bytes seg = Message(0, 6, 0, 9, p, 4096);
    Append(seg, Message(0, 4, 0, 8, Bytes{0xAF, 0x01, 1, 2, 3}, 4096));
    Bytes expected = n1;
    Append(expected, Bytes{0, 0, 0, 1});
    Append(expected, n2);
    Append(expected, Bytes{0, 0, 0, 1});
    EXPECT_EQ(AsBytes(d.DecodeToH264(seg.data(), static_cast<int>(seg.size()))), expected);
    EXPECT_EQ(d.DecodeToH264(nullptr, 0), nullptr);  // the audio message
    EXPECT_EQ(d.BufferedBytes(), 0);
}

TEST(RtmpDecoder, ConversionOfLyingLengthsStaysInsideTheTag) {
    CRtmp2H264AacDecoder d;
    // NAL length far past the end, then a sequence header whose counts lie.
    Bytes p{0x27, 0x01, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 1, 2, 3};
    const Bytes seg1 = Message(0, 6, 0, 9, p, 4096);
    EXPECT_EQ(AsBytes(d.DecodeToH264(seg1.data(), static_cast<int>(seg1.size()))),
              (Bytes{1, 2, 3, 0, 0, 0, 1}));
    Bytes q{0x17, 0x00, 0, 0, 0, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 9};
    const Bytes seg2 = Message(0, 6, 0, 9, q, 4096);
    const CZMemory* out = d.DecodeToH264(seg2.data(), static_cast<int>(seg2.size()));
    ASSERT_NE(out, nullptr);
    EXPECT_LE(out->length, 4 + 2 + 4);
}

// --- Rules the real servers' chunk streams change ---

TEST(RtmpDecoder, TypeOneHeadersAreFollowedBecauseTheirBytesNineToElevenArePayload) {
    CRtmp2H264AacDecoder d;
    Bytes seg = Opening(4096);
    const Bytes first{0x17, 0x00, 0, 0, 0, 1, 2, 3};
    Append(seg, Message(0, 6, 0, 9, first, 4096));
    // AVC NAL packet: payload bytes 1 to 3 are 01 00 00, where a type-0 stream id would be.
    Bytes nal{0x27, 0x01, 0x00, 0x00, 0x00};
    Append(nal, Payload(60, 4));
    Append(seg, Message(1, 6, 40, 9, nal, 4096));
    const auto tags = All(d, seg);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0], Tag(9, 0, first));
    EXPECT_EQ(tags[1], Tag(9, 40, nal));
    EXPECT_TRUE(d.IsRegistered(6));
}

TEST(RtmpDecoder, TypeTwoAndThreeHeadersStartMessagesWithAccumulatedTimestamps) {
    CRtmp2H264AacDecoder d;
    const Bytes a = Payload(30, 1), b = Payload(31, 2), c = Payload(31, 3), e = Payload(31, 4);
    Bytes seg = Message(0, 4, 1000, 8, a, 4096);
    Append(seg, Message(1, 4, 23, 8, b, 4096));  // delta 23, new length
    Append(seg, Message(2, 4, 24, 8, c, 4096));  // delta 24, same length
    Append(seg, Message(3, 4, 0, 8, e, 4096));   // same delta again
    const auto tags = All(d, seg);
    ASSERT_EQ(tags.size(), 4u);
    EXPECT_EQ(tags[0], Tag(8, 1000, a));
    EXPECT_EQ(tags[1], Tag(8, 1023, b));
    EXPECT_EQ(tags[2], Tag(8, 1047, c));
    EXPECT_EQ(tags[3], Tag(8, 1071, e));
}

TEST(RtmpDecoder, TypeThreeAfterTypeZeroTakesTheTimestampFieldAsDelta) {
    CRtmp2H264AacDecoder d;
    const Bytes a = Payload(10, 1), b = Payload(10, 2);
    Bytes seg = Message(0, 4, 40, 8, a, 4096);
    Append(seg, Message(3, 4, 0, 8, b, 4096));
    const auto tags = All(d, seg);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[1], Tag(8, 80, b));
}

TEST(RtmpDecoder, DataMessageYieldsNothingAndMediaAfterItLeavesInTheSameCallSoNullMeansNoneLeft) {
    CRtmp2H264AacDecoder d;
    const Bytes v = Payload(100, 1);
    Bytes seg = Message(0, 4, 0, 18, Payload(60, 2), 4096);  // metadata
    Append(seg, Message(0, 6, 0, 9, v, 4096));
    EXPECT_EQ(Feed(d, seg), Tag(9, 0, v));
    EXPECT_EQ(Feed(d, Message(1, 4, 0, 20, Payload(30, 3), 4096)), Bytes());  // alone: null
    const Bytes a = Payload(20, 4);
    EXPECT_EQ(Feed(d, Message(0, 4, 5, 8, a, 4096)), Tag(8, 5, a));
}

TEST(RtmpDecoder, SetChunkSize128IsHonouredBecauseRealServersAnnounceIt) {
    CRtmp2H264AacDecoder d;
    Bytes seg = Opening(128);
    const Bytes p = Payload(1000, 5);
    Append(seg, Message(0, 6, 0, 9, p, 128));
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{Tag(9, 0, p)});
    EXPECT_EQ(d.ChunkSize(), 128);
}

TEST(RtmpDecoder, SmallChunkSizesAreHonouredAndZeroOrTopBitValuesIgnored) {
    CRtmp2H264AacDecoder d;
    Bytes seg = SetChunkSize(0);
    Append(seg, SetChunkSize(0x80000010u, 1));
    Append(seg, SetChunkSize(7, 1));
    const Bytes p = Payload(50, 6);
    Append(seg, Message(0, 6, 0, 9, p, 7));
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{Tag(9, 0, p)});
    EXPECT_EQ(d.ChunkSize(), 7);
}

TEST(RtmpDecoder, SetChunkSize60000IsTakenAsAWholeMessageBecausePlausibleHeadersAreReal) {
    CRtmp2H264AacDecoder d;
    Bytes seg = SetChunkSize(60000);
    EXPECT_FALSE(d.IsRegistered(2));
    const Bytes p = Payload(50000, 7);
    Append(seg, Message(0, 6, 0, 9, p, 60000));
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{Tag(9, 0, p)});
    EXPECT_EQ(d.ChunkSize(), 60000);
    EXPECT_TRUE(d.IsRegistered(2));
}

TEST(RtmpDecoder, SetChunkSizeOnOtherChunkStreamIsNotApplied) {
    CRtmp2H264AacDecoder d;
    Bytes payload;
    Put32(payload, 300);
    Bytes seg = Message(0, 3, 0, 1, payload, 4096, 0);
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{});
    EXPECT_EQ(d.ChunkSize(), 4096);
}

TEST(RtmpDecoder, InterleavedAudioAndVideoChunksEachBuildTheirOwnMessage) {
    CRtmp2H264AacDecoder d;
    Bytes seg = Opening(128);
    const Bytes v = Payload(500, 1), a = Payload(200, 2), a2 = Payload(200, 3);
    // Video chunk, audio chunk, video chunk, audio chunk (audio done), video chunks.
    Append(seg, Header(0, 6, 0, 500, 9, 1));
    seg.insert(seg.end(), v.begin(), v.begin() + 128);
    Append(seg, Header(0, 4, 0, 200, 8, 1));
    seg.insert(seg.end(), a.begin(), a.begin() + 128);
    seg.push_back(0xC6);
    seg.insert(seg.end(), v.begin() + 128, v.begin() + 256);
    seg.push_back(0xC4);
    seg.insert(seg.end(), a.begin() + 128, a.end());
    seg.push_back(0xC6);
    seg.insert(seg.end(), v.begin() + 256, v.begin() + 384);
    Append(seg, Header(2, 4, 23));  // a second audio message in the middle of the video
    seg.insert(seg.end(), a2.begin(), a2.begin() + 128);
    seg.push_back(0xC6);
    seg.insert(seg.end(), v.begin() + 384, v.end());
    seg.push_back(0xC4);
    seg.insert(seg.end(), a2.begin() + 128, a2.end());
    const auto tags = All(d, seg);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[0], Tag(8, 0, a));
    EXPECT_EQ(tags[1], Tag(9, 0, v));
    EXPECT_EQ(tags[2], Tag(8, 23, a2));
}

TEST(RtmpDecoder, ExtendedTimestampsWithOrWithoutRepeatInContinuationChunks) {
    for (bool repeat : {true, false}) {
        CRtmp2H264AacDecoder d;
        Bytes seg = Opening(128);
        const Bytes v = Payload(300, 1), w = Payload(40, 2), x = Payload(40, 3);
        const uint32_t t = 0x01234567;
        Append(seg, Message(0, 6, t, 9, v, 128, 1, repeat));
        Append(seg, Message(1, 6, 40, 9, w, 128));
        // A delta that itself needs the extended field.
        Append(seg, Message(2, 6, 0x01000000, 9, x, 128));
        const auto tags = All(d, seg);
        ASSERT_EQ(tags.size(), 3u) << repeat;
        EXPECT_EQ(tags[0], Tag(9, t, v)) << repeat;
        EXPECT_EQ(tags[0][7], 0x01);
        EXPECT_EQ(tags[1], Tag(9, t + 40, w)) << repeat;
        EXPECT_EQ(tags[2], Tag(9, t + 40 + 0x01000000, x)) << repeat;
    }
}

TEST(RtmpDecoder, NoiseBeforeAHeaderIsPassedOver) {
    CRtmp2H264AacDecoder d;
    Bytes seg;
    // Handshake-like bytes: version 3, time and zeros, then random bytes.
    seg.push_back(0x03);
    Append(seg, Bytes(8, 0));
    Bytes random = Payload(1528, 11);
    for (auto& c : random) c |= 0x80;  // no type-0 byte among them
    Append(seg, random);
    const Bytes p = Payload(80, 12);
    Append(seg, Message(0, 6, 10, 9, p, 4096));
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{Tag(9, 10, p)});
}

TEST(RtmpDecoder, TypeOneToThreeBytesOutOfStepAreNoise) {
    CRtmp2H264AacDecoder d;
    const Bytes p = Payload(30, 1);
    EXPECT_EQ(All(d, Message(1, 6, 10, 9, p, 4096)), std::vector<Bytes>{});
    // Registered, but after a refused byte a type-3 chunk does not start a message.
    EXPECT_EQ(Feed(d, Message(0, 6, 0, 9, p, 4096)), Tag(9, 0, p));
    Bytes seg{0xFF};
    Append(seg, Message(3, 6, 0, 9, p, 4096));
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{});
}

TEST(RtmpDecoder, SegmentHoldingSeveralMessagesIsDrainedWithEmptyCalls) {
    CRtmp2H264AacDecoder d;
    Bytes seg = Opening(128);
    std::vector<Bytes> expected;
    for (unsigned i = 0; i < 6; ++i) {
        const Bytes p = Payload(60 + i * 50, i);
        const bool video = i % 2 == 0;
        Append(seg, Message(i < 2 ? 0 : 1, video ? 6 : 4, i < 2 ? 0 : 20, video ? 9 : 8, p, 128));
        // A command in between yields nothing and stops nothing.
        Append(seg, Message(0, 3, 0, 20, Payload(30, 100 + i), 128, 0));
        expected.push_back(Tag(video ? 9 : 8, i < 2 ? 0 : (i / 2) * 20, p));
    }
    const CZMemory* t = d.DecodeToFlvTag(seg.data(), static_cast<int>(seg.size()));
    std::vector<Bytes> got;
    while (t != nullptr) {
        got.push_back(AsBytes(t));
        t = (got.size() % 2) ? d.DecodeToFlvTag(nullptr, 0) : d.DecodeToFlvTag(seg.data(), 0);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(d.BufferedBytes(), 0);
}

TEST(RtmpDecoder, ByteAtATimeGivesTheSameTagsAsOneSegment) {
    Bytes seg = Opening(128);
    for (unsigned i = 0; i < 8; ++i) {
        Append(seg, Message(i < 2 ? 0 : 1, i % 2 ? 4 : 6, i < 2 ? 0 : 33, i % 2 ? 8 : 9,
                            Payload(100 + 90 * i, i), 128));
    }
    Append(seg, Message(0, 6, 0xFFFFFF, 9, Payload(400, 50), 128));
    CRtmp2H264AacDecoder whole, bytewise;
    const auto expected = All(whole, seg);
    ASSERT_EQ(expected.size(), 9u);
    std::vector<Bytes> got;
    for (unsigned char c : seg) {
        for (const CZMemory* t = bytewise.DecodeToFlvTag(&c, 1); t != nullptr;
             t = bytewise.DecodeToFlvTag(nullptr, 0)) {
            got.push_back(AsBytes(t));
        }
    }
    EXPECT_EQ(got, expected);
}

TEST(RtmpDecoder, HeaderAgainOnAnOpenChunkStreamAbandonsTheOpenMessage) {
    CRtmp2H264AacDecoder d;
    const Bytes lost = Payload(300, 1), kept = Payload(40, 2);
    Bytes seg = Opening(128);
    Bytes first = Message(0, 6, 0, 9, lost, 128);
    first.resize(12 + 128);  // its first chunk only
    Append(seg, first);
    Append(seg, Message(1, 6, 40, 9, kept, 128));
    EXPECT_EQ(All(d, seg), std::vector<Bytes>{Tag(9, 40, kept)});
}

TEST(RtmpDecoder, InStepMessagesBeyond64KiBAreTakenAndBeyondTheLimitPassedOver) {
    CRtmp2H264AacDecoder d;
    Bytes seg = Opening(4096);
    const Bytes small = Payload(30, 1);
    Append(seg, Message(0, 6, 0, 9, small, 4096));
    const Bytes key = Payload(200000, 2);  // a large key frame
    Append(seg, Message(1, 6, 40, 9, key, 4096));
    Append(seg,
           Message(1, 6, 40, 9, Payload(CRtmp2H264AacDecoder::kMaxMessageLength + 1, 3), 4096));
    const Bytes after = Payload(50, 4);
    Append(seg, Message(1, 6, 40, 9, after, 4096));
    const auto tags = All(d, seg);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[1], Tag(9, 40, key));
    EXPECT_EQ(tags[2], Tag(9, 120, after));
}

// --- Bounds ---

TEST(RtmpDecoder, UnfinishedMessageAndEndlessNoiseKeepTheBufferSmall) {
    CRtmp2H264AacDecoder d;
    Bytes seg = Header(0, 6, 0, 65534, 9, 1);
    Append(seg, Payload(1000, 1));
    EXPECT_EQ(Feed(d, seg), Bytes());
    EXPECT_EQ(d.BufferedBytes(), 0);  // the partial message is held by its chunk stream
    std::mt19937 rng(5);
    Bytes noise(1400);
    for (int i = 0; i < 2000; ++i) {
        for (auto& c : noise) c = static_cast<unsigned char>(rng());
        d.DecodeToFlvTag(noise.data(), static_cast<int>(noise.size()));
        while (d.DecodeToFlvTag(nullptr, 0) != nullptr) {
        }
        ASSERT_LE(d.BufferedBytes(), CRtmp2H264AacDecoder::kMaxInput);
    }
    EXPECT_LT(d.BufferedBytes(), 64);
}

TEST(RtmpDecoder, UndrainedBacklogIsCappedAndDecodingStartsOver) {
    CRtmp2H264AacDecoder d;
    Bytes seg;
    for (int i = 0; i < 4; ++i) Append(seg, Message(0, 6, 0, 9, Payload(1000, i), 4096));
    for (int i = 0; i < 2000; ++i) {
        d.DecodeToFlvTag(seg.data(), static_cast<int>(seg.size()));
        ASSERT_LE(d.BufferedBytes(), CRtmp2H264AacDecoder::kMaxInput);
    }
    // After the reset a fresh message still comes out.
    const Bytes p = Payload(20, 9);
    CZMemory* t = d.DecodeToFlvTag(nullptr, 0);
    while (t != nullptr) t = d.DecodeToFlvTag(nullptr, 0);
    EXPECT_EQ(Feed(d, Message(0, 6, 7, 9, p, 4096)), Tag(9, 7, p));
}

TEST(RtmpDecoder, RandomBytesNeverCrashEitherOutput) {
    std::mt19937 rng(17);
    for (int round = 0; round < 200; ++round) {
        CRtmp2H264AacDecoder d;
        Bytes b(1 + rng() % 3000);
        for (auto& c : b) c = static_cast<unsigned char>(rng() % 4 == 0 ? rng() % 9 : rng());
        for (size_t at = 0; at < b.size();) {
            const size_t n = std::min(b.size() - at, static_cast<size_t>(1 + rng() % 200));
            const bool h264 = round % 2 == 0;
            const CZMemory* t = h264 ? d.DecodeToH264(b.data() + at, static_cast<int>(n))
                                     : d.DecodeToFlvTag(b.data() + at, static_cast<int>(n));
            while (t != nullptr)
                t = h264 ? d.DecodeToH264(nullptr, 0) : d.DecodeToFlvTag(nullptr, 0);
            at += n;
        }
    }
}

// --- Gaps ---

// A video message loses its header and first chunks to a gap; its type-3 continuations follow.
// Taking one of them for a message start would invent a tag; the decoder must wait for a header
// the chain proves, then give audio at once and video from the key frame on. A gap inside one
// chunk's payload spoils only that message.
TEST(RtmpDecoder, GapsDropWhatTheyTouchAndTheDecoderFindsItsWayBack) {
    Bytes seg = Opening(128);
    std::vector<Bytes> tags;
    std::vector<std::pair<size_t, size_t>> spans;  // where each media message lies
    auto add = [&](int fmt, int csid, uint32_t ts, uint8_t type, const Bytes& p) {
        const size_t at = seg.size();
        Append(seg, Message(fmt, csid, ts, type, p, 128));
        spans.push_back({at, seg.size()});
        tags.push_back(Tag(type, 0, p));
    };
    Bytes key = Payload(1000, 1), inter = Payload(900, 2);
    key[0] = 0x17, inter[0] = 0x27;
    add(0, 6, 0, 9, key);
    add(0, 4, 0, 8, Payload(90, 3));
    for (int i = 0; i < 6; ++i) {
        inter[1] = static_cast<unsigned char>(i);
        add(1, 6, 40, 9, i == 4 ? key : inter);
        add(1, 4, 23, 8, Payload(60 + static_cast<size_t>(i), 10 + static_cast<unsigned>(i)));
    }
    struct Case {
        const char* what;
        size_t from, length;
        std::vector<size_t> kept;  // indexes into tags
    };
    const size_t v1 = spans[2].first;  // the first inter frame
    const std::vector<Case> cases = {
        {"header and two chunks of a frame", v1, 12 + 2 * 129, {0, 1, 3, 5, 7, 9, 10, 11, 12, 13}},
        {"inside a chunk of a frame", v1 + 30, 50, {0, 1, 3, 5, 7, 9, 10, 11, 12, 13}},
        {"inside a chunk of audio",
         spans[3].first + 10,
         20,
         {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
    };
    for (const Case& c : cases) {
        CRtmp2H264AacDecoder d;
        std::vector<Bytes> got;
        auto feed = [&](size_t from, size_t to) {
            for (size_t at = from; at < to; at += 300) {
                const int n = static_cast<int>(std::min<size_t>(300, to - at));
                for (const CZMemory* t = d.DecodeToFlvTag(seg.data() + at, n); t != nullptr;
                     t = d.DecodeToFlvTag(nullptr, 0))
                    got.push_back(AsBytes(t));
            }
        };
        feed(0, c.from);
        d.Gap(static_cast<uint32_t>(c.length));
        feed(c.from + c.length, seg.size());
        std::vector<Bytes> want;
        for (size_t i : c.kept) want.push_back(tags[i]);
        ASSERT_EQ(got.size(), want.size()) << c.what;
        for (size_t i = 0; i < got.size(); ++i) {
            // Timestamps after a lost header lag by the deltas it took; the rest is exact.
            got[i][4] = got[i][5] = got[i][6] = got[i][7] = 0;
            EXPECT_EQ(got[i], want[i]) << c.what << " tag " << i;
        }
        EXPECT_FALSE(d.Resyncing()) << c.what;
    }
}
