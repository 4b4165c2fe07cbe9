#include "netunpack/UdpUnpack.h"

#include "common/ByteReader.h"

bool UnpackUdp(const CIPNetUnpack& frame, UdpDatagram* out) {
    const unsigned char* ip = frame.IPHeader();
    const int headerLen = frame.IPHeaderLen();
    const int total = frame.IPTotalLen();
    if (ip == nullptr || frame.IPProtocol() != 17 || total <= headerLen) return false;
    const ByteReader packet(ip, static_cast<size_t>(total));
    // A fragment's payload is not a datagram of its own.
    if (!frame.IsIPv6() && (packet.Be16At(6) & 0x3FFF) != 0) return false;
    if (frame.IsIPv6() && headerLen != CIPNetUnpack::kIPv6HeaderLen) return false;
    ByteReader udp(ip + headerLen, static_cast<size_t>(total - headerLen));
    out->sourcePort = udp.Be16();
    out->destinationPort = udp.Be16();
    const uint16_t length = udp.Be16();
    udp.Skip(2);  // checksum
    if (!udp.Ok() || length < 8 || !udp.Has(length - 8u)) return false;
    out->payload = udp.Here();
    out->length = length - 8;
    return true;
}
