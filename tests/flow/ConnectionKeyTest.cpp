// Connection keys of both address families: IPv4 keys keep their texts, and an IPv6 key never
// equals or reads as an IPv4 one.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "flow/ConnectionKey.h"

namespace {
ConnectionKey V4(const unsigned char (&s)[4], uint16_t sp, const unsigned char (&d)[4],
                 uint16_t dp) {
    ConnectionKey k;
    std::memcpy(k.src, s, 4);
    std::memcpy(k.dst, d, 4);
    k.srcPort = sp;
    k.dstPort = dp;
    return k;
}
}  // namespace

TEST(ConnectionKey, FamiliesNeverMeet) {
    const ConnectionKey v4 = V4({192, 168, 1, 5}, 50000, {10, 0, 0, 7}, 1935);
    EXPECT_EQ(v4.Text(), "1921681550000-100071935");
    EXPECT_EQ(ConnectionKey::AddressText(v4.src, false), "19216815");

    // The same bytes as IPv6 addresses (192.168.1.5 then zeros): another key, another text.
    ConnectionKey v6 = v4;
    v6.ipv6 = 1;
    EXPECT_NE(v6, v4);
    EXPECT_EQ(v6.Text(),
              "v6-c0a80105000000000000000000000000"
              "50000-"
              "v6-0a000007000000000000000000000000"
              "1935");
    EXPECT_EQ(ConnectionKey::AddressText(v6.dst, true), "v6-0a000007000000000000000000000000");
    EXPECT_EQ(v6.Reverse().ipv6, 1);
    EXPECT_EQ(v6.Reverse().Reverse(), v6);
    EXPECT_NE(v6.Reverse(), v6);

    // Addresses that differ only past their first four bytes are different keys.
    ConnectionKey other = v6;
    other.dst[15] = 1;
    EXPECT_NE(other, v6);
    other = v6;
    other.src[8] = 1;
    EXPECT_NE(other, v6);
}

TEST(ConnectionKey, Ipv6BytesPastTheFirstWordReachTheLowHashBits) {
    // Hosts of one /64 that differ only in the interface identifier, as on a real network.
    std::set<size_t> buckets;
    for (int i = 0; i < 4096; ++i) {
        ConnectionKey k;
        k.ipv6 = 1;
        k.src[0] = 0x20, k.src[1] = 0x01;
        k.src[14] = static_cast<unsigned char>(i >> 8);
        k.src[15] = static_cast<unsigned char>(i);
        k.srcPort = 443;
        k.dstPort = 50000;
        buckets.insert(ConnectionKeyHash()(k) & 4095);
    }
    EXPECT_GT(buckets.size(), 2400u);  // random placement fills about 63%
}
