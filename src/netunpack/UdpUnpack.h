#pragma once
// The UDP layer beside TCP: a datagram inside a frame the IP layer has taken apart. Only the
// recorders look at it, and only for the port pairs a session announced.

#include <cstdint>

#include "netunpack/NetUnpack.h"

struct UdpDatagram {
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    const unsigned char* payload = nullptr;
    int length = 0;
};

// False when the frame holds no whole unfragmented UDP datagram (IPv4, or IPv6 without
// extension headers): the header and the length it claims must lie inside the IP packet.
bool UnpackUdp(const CIPNetUnpack& frame, UdpDatagram* out);
