// The same TCP segment under every link layer, tag stack and IP version the unpacker reads.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestFrames.h"
#include "netunpack/NetUnpack.h"

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Extension;
using testframes::Frame;
using testframes::FrameOptions;

namespace {
const Endpoint kClient{{192, 168, 1, 5}, 50000};
const Endpoint kServer{{10, 0, 0, 7}, 8080};
const std::string kRequest = "GET /live/index.m3u8 HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n";

// The frame in a block of exactly its size, so over-reads are caught.
struct Exact {
    Exact(const Bytes& b, size_t n) : size(static_cast<int>(n)), bytes(new unsigned char[n + 1]) {
        std::memcpy(bytes.get(), b.data(), n);
    }
    int size;
    std::unique_ptr<unsigned char[]> bytes;
};

struct Wrapping {
    std::string name;
    int link;
    std::vector<int> tags;
    bool ipv6;
    std::vector<Extension> extensions;
    int networkOffset;  // where the IP header starts
};

std::vector<Wrapping> Wrappings() {
    const std::vector<Extension> chain = {{0, 8}, {60, 16}, {43, 24}, {44, 8}, {60, 8}};
    std::vector<Wrapping> out;
    struct Link {
        const char* name;
        int type, header;
    };
    for (const Link& l : {Link{"eth", 1, 14}, Link{"sll", 113, 16}, Link{"sll2", 276, 20}}) {
        const std::vector<std::vector<int>> stacks = {
            {}, {0x8100}, {0x88A8, 0x8100}, {0x88A8, 0x8100, 0x8100}};
        for (const std::vector<int>& tags : stacks) {
            const int at = l.header + 4 * static_cast<int>(tags.size());
            const std::string base = std::string(l.name) + "/" + std::to_string(tags.size());
            out.push_back({base + "/v4", l.type, tags, false, {}, at});
            out.push_back({base + "/v6", l.type, tags, true, {}, at});
            out.push_back({base + "/v6ext", l.type, tags, true, chain, at});
        }
    }
    return out;
}

FrameOptions OptionsOf(const Wrapping& w) {
    FrameOptions o;
    o.link = w.link;
    o.vlanTags = w.tags;
    o.ipv6 = w.ipv6;
    o.extensions = w.extensions;
    o.dataOffset = 8;  // with options
    o.seq = 1000;
    return o;
}

// Every view lies inside the frame's captured bytes, and the layout says the frame fits.
void ExpectInBounds(const CTCPNetUnpack& u, int size, const std::string& what) {
    const unsigned char* begin = u.FrameData();
    const unsigned char* end = begin + size;
    auto inside = [&](const unsigned char* p, int n) {
        return p == nullptr || (p >= begin && n >= 0 && p + n <= end);
    };
    // A total length shorter than the headers it holds leaves a layout that is parsed again
    // rather than trusted.
    const bool lyingTotal =
        u.TCPHeader() != nullptr && u.IPTotalLen() < u.IPHeaderLen() + u.TCPHeaderLen();
    EXPECT_EQ(u.Layout().FitsFrame(size), !lyingTotal) << what;
    EXPECT_TRUE(inside(u.IPHeader(), u.IPHeaderLen())) << what;
    EXPECT_TRUE(inside(u.IPHeader(), u.IPTotalLen())) << what;
    EXPECT_TRUE(inside(u.TCPHeader(), u.TCPHeaderLen())) << what;
    EXPECT_TRUE(inside(u.Payload(), u.PayloadLen())) << what;
    if (u.TCPHeader() == nullptr) {
        EXPECT_EQ(u.PayloadLen(), 0) << what;
    }
}

}  // namespace

TEST(LinkLayers, EveryWrappingGivesTheSamePayloadViewAndEveryCutStaysInBounds) {
    for (const Wrapping& w : Wrappings()) {
        const Bytes f = Frame(kClient, kServer, kRequest, OptionsOf(w));
        Exact whole(f, f.size());
        CTCPNetUnpack u;
        u.SetLinkType(w.link);
        u.SetData(whole.bytes.get(), whole.size, 0);
        ASSERT_NE(u.Payload(), nullptr) << w.name;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(u.Payload()), u.PayloadLen()), kRequest)
            << w.name;
        EXPECT_EQ(u.GetStreamType(), STREAM_HLS) << w.name;
        EXPECT_EQ(u.IPHeader() - whole.bytes.get(), w.networkOffset) << w.name;
        EXPECT_EQ(u.EtherType(), w.ipv6 ? 0x86DD : 0x0800) << w.name;
        EXPECT_EQ(u.EthernetHeader() != nullptr, w.link == 1) << w.name;
        EXPECT_EQ(u.IsIPv6(), w.ipv6) << w.name;
        EXPECT_EQ(u.IPProtocol(), 6) << w.name;
        EXPECT_EQ(u.TCPHeaderLen(), 32) << w.name;
        EXPECT_EQ(u.SourcePort(), 50000) << w.name;
        EXPECT_EQ(u.DestinationPort(), 8080) << w.name;
        EXPECT_EQ(u.SequenceNumber(), 1000u) << w.name;
        unsigned char src[16] = {}, dst[16] = {}, want[16] = {};
        u.SourceAddress(src);
        u.DestinationAddress(dst);
        if (w.ipv6) {
            testframes::Ipv6Of(kServer.ip, want);
        } else {
            std::memcpy(want, kServer.ip, 4);
        }
        EXPECT_EQ(std::memcmp(dst, want, 16), 0) << w.name;
        EXPECT_EQ(src[w.ipv6 ? 15 : 3], 5) << w.name;

        // The layout carried to another thread gives the same views, and so does a connection's
        // unpacker adopting the frame.
        CTCPNetUnpack laid;
        laid.SetLinkType(w.link);
        laid.SetLaidOutData(whole.bytes.get(), whole.size, u.Layout());
        EXPECT_EQ(laid.Payload(), u.Payload()) << w.name;
        EXPECT_EQ(laid.IsIPv6(), w.ipv6) << w.name;
        CHTTPNetUnpack adopted;
        adopted.AdoptFrame(u);
        EXPECT_EQ(adopted.GetData(), nullptr) << w.name;  // HLS is not what it marks
        EXPECT_EQ(adopted.EtherType(), u.EtherType()) << w.name;

        // Every cut of the frame, as a small snapshot length makes it.
        for (size_t n = 0; n <= f.size(); ++n) {
            Exact cut(f, n);
            CTCPNetUnpack c;
            c.SetLinkType(w.link);
            c.SetData(cut.bytes.get(), cut.size, 0);
            ExpectInBounds(c, cut.size, w.name + " cut at " + std::to_string(n));
            // A cut inside the headers leaves no TCP header; a cut after them, a shorter payload.
            const int headers = static_cast<int>(f.size() - kRequest.size());
            EXPECT_EQ(c.TCPHeader() != nullptr, static_cast<int>(n) >= headers) << w.name << n;
            if (c.TCPHeader() != nullptr) {
                EXPECT_EQ(c.PayloadLen(), static_cast<int>(n) - headers) << w.name << n;
            }
        }
    }
}

// IPv6 packets whose headers lie, or that carry no TCP header, give no payload; lengths are
// taken from the payload length field and cut to the capture.
TEST(LinkLayers, Ipv6HeaderChainsAndLengths) {
    struct Case {
        const char* name;
        std::vector<Extension> extensions;
        int protocol;
        int padding;
        int payloadLength;  // the field; -1: true
        int expectPayload;  // -1: no TCP header
        int ipProtocol;     // 6 once the chain leads to TCP, else the first next header
    };
    const int n = static_cast<int>(kRequest.size());
    const Case cases[] = {
        {"first fragment", {{44, 8, 0}}, 6, 0, -1, n, 6},
        {"later fragment", {{44, 8, 185}}, 6, 0, -1, -1, 44},
        {"hop-by-hop past the packet", {{0, 8, 0, 200}}, 6, 0, -1, -1, 0},
        {"options past the capture", {{60, 16, 0, 255}}, 6, 0, -1, -1, 60},
        {"routing one word too long", {{43, 16, 0, 2}}, 6, 0, -1, -1, 6},
        {"nine headers", std::vector<Extension>(9, Extension{60, 8}), 6, 0, -1, -1, 60},
        {"eight headers", std::vector<Extension>(8, Extension{60, 8}), 6, 0, -1, n, 6},
        {"headers past 1023 bytes", {{0, 1024}}, 6, 0, -1, -1, 0},
        {"chain to UDP", {{0, 8}}, 17, 0, -1, -1, 0},
        {"unknown header", {{59, 8}}, 6, 0, -1, -1, 59},
        {"jumbo or offload: 0", {}, 6, 0, 0, n, 6},
        {"0 with a trailer", {}, 6, 6, 0, n + 6, 6},
        {"length past the capture", {}, 6, 0, 60000, n, 6},
        {"trailer not payload", {}, 6, 6, -1, n, 6},
        {"length shorter than the headers", {}, 6, 0, 4, 0, 6},
    };
    for (const Case& c : cases) {
        for (int link : {1, 276}) {
            FrameOptions o;
            o.link = link;
            o.ipv6 = true;
            o.extensions = c.extensions;
            o.protocol = c.protocol;
            o.padding = c.padding;
            o.ipv6PayloadLength = c.payloadLength;
            const Bytes f = Frame(kClient, kServer, kRequest, o);
            for (size_t cut : {f.size(), f.size() - 1, f.size() / 2}) {
                Exact e(f, cut);
                CTCPNetUnpack u;
                u.SetLinkType(link);
                u.SetData(e.bytes.get(), e.size, 0);
                ExpectInBounds(u, e.size, c.name);
                if (cut != f.size()) continue;
                ASSERT_NE(u.IPHeader(), nullptr) << c.name;
                EXPECT_TRUE(u.IsIPv6()) << c.name;
                EXPECT_EQ(u.TCPHeader() == nullptr ? -1 : u.PayloadLen(), c.expectPayload)
                    << c.name;
                EXPECT_EQ(u.IPProtocol(), c.ipProtocol) << c.name;
            }
        }
    }
}

// A frame that is not one of the known layouts is not taken for one.
TEST(LinkLayers, ForeignFramesCarryNoIp) {
    struct Case {
        const char* name;
        int frameLink, readLink;
        std::vector<int> tags;
        int etherType;
        bool ip;
    };
    const Case cases[] = {
        {"nine tags", 1, 1, std::vector<int>(9, 0x8100), 0x0800, false},
        {"eight tags", 1, 1, std::vector<int>(8, 0x8100), 0x0800, true},
        {"ARP in a tag", 1, 1, {0x8100}, 0x0806, false},
        {"cooked read as Ethernet", 113, 1, {}, 0x0800, false},
        {"cooked v2 read as v1", 276, 113, {}, 0x0800, false},
        {"unknown link type", 1, 105, {}, 0x0800, false},
    };
    for (const Case& c : cases) {
        FrameOptions o;
        o.link = c.frameLink;
        o.vlanTags = c.tags;
        o.etherType = c.etherType;
        const Bytes f = Frame(kClient, kServer, kRequest, o);
        Exact e(f, f.size());
        CTCPNetUnpack u;
        u.SetLinkType(c.readLink);
        u.SetData(e.bytes.get(), e.size, 0);
        ExpectInBounds(u, e.size, c.name);
        EXPECT_EQ(u.TCPHeader() != nullptr, c.ip) << c.name;
        EXPECT_EQ(u.GetStreamType(), c.ip ? STREAM_HLS : STREAM_NONE) << c.name;
    }
    // An IPv6 type over bytes that are not IPv6 (version 4).
    Bytes f = Frame(kClient, kServer, kRequest, FrameOptions());
    f[12] = 0x86, f[13] = 0xDD;
    Exact e(f, f.size());
    CTCPNetUnpack u;
    u.SetData(e.bytes.get(), e.size, 0);
    EXPECT_EQ(u.IPHeader(), nullptr);
}
