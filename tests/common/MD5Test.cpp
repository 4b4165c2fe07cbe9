#include <gtest/gtest.h>

#include <string>

#include "common/MD5Checksum.h"

namespace {

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xff);
    return s;
}

std::string Hex(const unsigned char digest[16]) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (int i = 0; i < 16; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

}  // namespace

TEST(MD5, PublishedVectors) {
    EXPECT_EQ(CMD5Checksum::GetMD5(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(CMD5Checksum::GetMD5("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(CMD5Checksum::GetMD5("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(CMD5Checksum::GetMD5("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(CMD5Checksum::GetMD5("abcdefghijklmnopqrstuvwxyz"),
              "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(
        CMD5Checksum::GetMD5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
        "D174AB98D277D9F5A5611C2C9F419D9F");
    std::string eighty;
    for (int i = 0; i < 8; ++i) eighty += "1234567890";
    EXPECT_EQ(CMD5Checksum::GetMD5(eighty), "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(MD5, LengthsAroundThePaddingBoundaries) {
    // 55/56 decide whether the bit count still fits the last block; 64 and beyond span blocks.
    const struct {
        size_t length;
        const char* digest;
    } cases[] = {
        {55, "52C0E574E1198DE5FE3F8F11440DCB1B"},   {56, "46C9907FC908EE68B1E7B8E71286A518"},
        {57, "1C805DD236C35CAB25FCB1BC73802C51"},   {63, "A62F6D59E837867693F042F5B8F5A236"},
        {64, "7160B8FB5E9E4023D549C3971FBAEEAD"},   {65, "70BD662E7AEFBDA85A0F7244167B7897"},
        {127, "ACCE2474D6CC8302120D09C818D17EF7"},  {128, "10B2DA1A82F16D99A81A7203FE9F02CB"},
        {1000, "10046F077F2082AC19676B8079F1CB1A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CMD5Checksum::GetMD5(Pattern(c.length)), c.digest) << c.length;
    }
}

TEST(MD5, BinaryAndNonAsciiBytesAreDigestedWhole) {
    // Embedded zero bytes count: the string's length decides, not a terminator.
    EXPECT_EQ(CMD5Checksum::GetMD5(std::string("\x00\xff\x00\xff\x00\xff", 6)),
              "6AAE5F5580123F99090C5338CE4E65EE");
    EXPECT_EQ(CMD5Checksum::GetMD5("rtmp://127.0.0.1/live/瑞维"),
              "DB7958072D123C888AA4D228C7720ECC");
}

TEST(MD5, PiecewiseUpdatesMatchOneShotAndObjectIsReusable) {
    const std::string text = Pattern(1000);
    const std::string expected = CMD5Checksum::GetMD5(text);
    for (size_t split : {1u, 55u, 63u, 64u, 65u, 129u, 999u}) {
        CMD5Checksum md5;
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        md5.Update(bytes, split);
        md5.Update(bytes + split, text.size() - split);
        unsigned char digest[16];
        md5.Final(digest);
        EXPECT_EQ(Hex(digest), expected) << split;
        // Final starts afresh: the next digest is that of new input only.
        md5.Update(reinterpret_cast<const unsigned char*>("abc"), 3);
        md5.Final(digest);
        EXPECT_EQ(Hex(digest), "900150983CD24FB0D6963F7D28E17F72");
    }
}

TEST(MD5, AlwaysThirtyTwoUpperCaseDigits) {
    for (int i = 0; i < 200; ++i) {
        const std::string digest = CMD5Checksum::GetMD5(Pattern(static_cast<size_t>(i)));
        ASSERT_EQ(digest.size(), 32u);
        EXPECT_EQ(digest.find_first_not_of("0123456789ABCDEF"), std::string::npos) << digest;
    }
}
