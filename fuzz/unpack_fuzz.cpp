// One frame through the unpacker chain, the classification, the payload unpackers and the
// three address extractors. The first input byte picks the link layer the frame is read with
// (low two bits: Ethernet, Linux cooked capture, its version 2, a type that is not read); the
// frame is the rest.

#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "analyse/StreamUriExtract.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "netunpack/NetUnpack.h"

namespace {

volatile unsigned g_sink;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Every view of the frame lies inside the frame and reads cleanly.
unsigned TouchViews(CTCPNetUnpack& u) {
    using fuzzsupport::Touch;
    const unsigned char* base = u.FrameData();
    const int baseLen = u.FrameLen();
    unsigned sum = 0;
    const int network = u.Layout().networkOffset;
    Check(network <= baseLen, "network header beyond the frame");
    if (u.LinkHeader() != nullptr) {
        sum += Touch(u.LinkHeader(), network, base, baseLen);
        sum += u.EtherType();
    } else {
        Check(u.IPHeader() == nullptr, "an IP header without a link header");
    }
    if (u.EthernetHeader() != nullptr)
        Check(u.LinkType() == LINK_ETHERNET, "Ethernet of another link");
    if (u.IPHeader() != nullptr) {
        Check(u.IPHeader() == base + network, "IP header away from the network offset");
        Check(u.IPHeaderLen() >= (u.IsIPv6() ? 40 : 20), "IP header shorter than its minimum");
        sum += Touch(u.IPHeader(), u.IPHeaderLen(), base, baseLen);
        Check(u.IPTotalLen() <= baseLen - network, "IP total length beyond the frame");
        Check(u.IPTotalLen() >= u.IPHeaderLen() || !u.IsIPv6(), "IPv6 total inside its headers");
        unsigned char a[16], b[16];
        u.SourceAddress(a);
        u.DestinationAddress(b);
        sum += a[0] + b[3] + u.IPProtocol();
    }
    if (u.TCPHeader() != nullptr) {
        Check(u.TCPHeaderLen() >= 20, "TCP header shorter than 20 bytes");
        sum += Touch(u.TCPHeader(), u.TCPHeaderLen(), base, baseLen);
        sum += u.SourcePort() + u.DestinationPort();
        Check(u.PayloadLen() >= 0, "negative payload length");
        sum += Touch(u.Payload(), u.PayloadLen(), base, baseLen);
    } else {
        Check(u.Payload() == nullptr && u.PayloadLen() == 0, "payload without a TCP header");
    }
    sum += Touch(u.GetData(), u.GetDataLen(), base, baseLen);
    Check(u.Classify() == u.GetStreamType(), "Classify differs from the stored type");
    return sum;
}

int g_linkType = LINK_ETHERNET;

template <class P>
unsigned ThroughPayloadUnpacker(const fuzzsupport::ExactCopy& frame, int copy) {
    P p;
    p.SetLinkType(g_linkType);
    p.SetData(frame.data(), frame.size(), copy);
    unsigned sum = TouchViews(p);
    const int n = frame.size() < CVideoStreamAnalyse::kMaxFirstFrameBytes
                      ? frame.size()
                      : CVideoStreamAnalyse::kMaxFirstFrameBytes;
    p.AppendData(p.FrameData(), n, 1);
    if (p.TCPHeader() != nullptr && p.PayloadLen() > 0)
        p.AppendData(p.Payload(), p.PayloadLen(), 0);
    const unsigned char* data = p.GetData();
    if (data != nullptr)
        sum += fuzzsupport::Touch(data, p.GetDataLen(), p.FrameData(), p.FrameLen());
    p.DropFrameView();
    Check(p.GetData() == nullptr && p.FrameData() == nullptr, "frame view kept after the drop");
    // The collected bytes read as a frame again, as the address detection does.
    CTCPNetUnpack again;
    again.SetLinkType(p.LinkType());
    again.SetData(p.GetAppendedData(), p.GetAppendedLen(), 0);
    sum += TouchViews(again);
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 70000) return 0;  // beyond what a capture hands over (snapshot length)
    static const int kLinks[4] = {LINK_ETHERNET, LINK_LINUX_SLL, LINK_LINUX_SLL2, 105};
    g_linkType = kLinks[data[0] & 3];
    fuzzsupport::ExactCopy frame(data + 1, size - 1);
    unsigned sum = 0;

    CTCPNetUnpack view;
    view.SetLinkType(g_linkType);
    view.SetData(frame.data(), frame.size(), 0);
    sum += TouchViews(view);
    {
        // The layout handed to another thread gives the same views there.
        CTCPNetUnpack laid;
        laid.SetLinkType(g_linkType);
        laid.SetLaidOutData(frame.data(), frame.size(), view.Layout());
        Check(laid.Payload() == view.Payload() && laid.PayloadLen() == view.PayloadLen() &&
                  laid.IPHeader() == view.IPHeader() && laid.IsIPv6() == view.IsIPv6(),
              "a carried layout gives other views");
    }
    const StreamType type = view.Classify();
    Check(StreamLabel(type) != nullptr || type == STREAM_NONE, "a type without a label");

    {
        // An owned copy gives the same layers.
        CTCPNetUnpack owned;
        owned.SetLinkType(g_linkType);
        owned.SetData(frame.data(), frame.size(), 1);
        sum += TouchViews(owned);
        Check(owned.GetStreamType() == type, "an owned copy classifies differently");
        Check(owned.PayloadLen() == view.PayloadLen(), "an owned copy has another payload");
        // A view set again over another frame forgets the first.
        owned.SetData(nullptr, 0, 0);
        Check(owned.TCPHeader() == nullptr && owned.IPHeader() == nullptr &&
                  owned.GetStreamType() == STREAM_NONE,
              "layers or stream type kept after an empty frame");
    }

    sum += ThroughPayloadUnpacker<CHTTPNetUnpack>(frame, 0);
    sum += ThroughPayloadUnpacker<CRTSPNetUnpack>(frame, 0);
    sum += ThroughPayloadUnpacker<CRTMPNetUnpack>(frame, 1);

    // The extractors read a connection's collected bytes, which begin with a frame.
    std::string a = ExtractRtmpUri(frame.data(), frame.size());
    std::string b = ExtractRtspUri(frame.data(), frame.size());
    std::string c = ExtractHttpUri(frame.data(), frame.size());
    sum += static_cast<unsigned>(a.size() + b.size() + c.size());
    if (view.TCPHeader() != nullptr && view.PayloadLen() > 0) {
        fuzzsupport::ExactCopy payload(view.Payload(), static_cast<size_t>(view.PayloadLen()));
        sum += static_cast<unsigned>(ExtractRtmpUri(payload.data(), payload.size()).size() +
                                     ExtractRtspUri(payload.data(), payload.size()).size() +
                                     ExtractHttpUri(payload.data(), payload.size()).size());
        sum += FindBytes(payload.data(), payload.size(), "rtmp", false) != nullptr;
    }
    g_sink = sum;
    return 0;
}
