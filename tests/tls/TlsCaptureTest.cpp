// Real HTTPS sessions (scripts/captures/tls.sh): curl and nginx over TLS 1.2 and 1.3 with each
// AEAD cipher, decrypted with curl's key log, against what tshark read from the same capture.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "TlsStreams.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnection.h"

namespace {

using tlstest::Chunk;
using tlstest::Gathered;

struct Capture {
    const char* name;
    uint16_t version;
    uint16_t suite;
};

const Capture kCaptures[] = {
    {"tls12-aes128gcm", 0x0303, 0xC02F}, {"tls12-aes256gcm", 0x0303, 0xC030},
    {"tls12-chacha20", 0x0303, 0xCCA8},  {"tls13-aes128gcm", 0x0304, 0x1301},
    {"tls13-aes256gcm", 0x0304, 0x1302}, {"tls13-chacha20", 0x0304, 0x1303},
    {"tls13-retry", 0x0304, 0x1301},  // a HelloRetryRequest, a second ClientHello
};

using tlstest::ReadTruth;
using tlstest::Truth;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The decrypted directions hold exactly the exchanges tshark saw, request lines in order, and
// the bodies nginx served.
void ExpectTruth(const Gathered& got, const Truth& truth) {
    ASSERT_FALSE(truth.requests.empty());
    EXPECT_EQ(got.plain[0].rfind(truth.requests[0] + "\r\n", 0), 0u) << got.plain[0].substr(0, 80);
    size_t at = 0;
    for (const std::string& request : truth.requests) {
        at = got.plain[0].find(request + "\r\n", at);
        ASSERT_NE(at, std::string::npos) << request;
        ++at;
    }
    EXPECT_EQ(Count(got.plain[0], " HTTP/1.1\r\n"), truth.requests.size());
    ASSERT_FALSE(truth.responses.empty());
    EXPECT_EQ(got.plain[1].rfind("HTTP/1.1 " + truth.responses[0], 0), 0u);
    EXPECT_EQ(Count(got.plain[1], "HTTP/1.1 200 OK\r\n"), truth.responses.size());
    EXPECT_NE(got.plain[1].find("#EXTM3U\n#EXT-X-VERSION:3\n"), std::string::npos);
    EXPECT_NE(got.plain[1].find("\r\n\r\n" + std::string(188 * 200, 'G')), std::string::npos);
}

class TlsCapture : public ::testing::TestWithParam<Capture> {
  protected:
    void SetUp() override {
        chunks = tlstest::ReadConnection(tlstest::Path(GetParam().name, ".pcap"));
        ASSERT_FALSE(chunks.empty());
        keyText = tlstest::ReadText(tlstest::Path(GetParam().name, ".keys"));
        ASSERT_FALSE(keyText.empty());
        truth = ReadTruth(GetParam().name);
    }
    std::vector<Chunk> chunks;
    std::string keyText;
    Truth truth;
};

TEST_P(TlsCapture, DecryptsWhatTsharkReads) {
    KeyLog keys;
    ASSERT_TRUE(keys.ReadFile(tlstest::Path(GetParam().name, ".keys")));
    EXPECT_EQ(keys.Sessions(), 1u);
    EXPECT_EQ(keys.MalformedLines(), 0u);
    Gathered got;
    TlsConnection tls(&keys, &got);
    tlstest::Feed(tls, chunks);
    EXPECT_EQ(tls.Version(), GetParam().version);
    EXPECT_EQ(tls.CipherSuite(), GetParam().suite);
    EXPECT_EQ(tls.ServerName(), truth.sni);
    EXPECT_TRUE(tls.Keyed());
    EXPECT_FALSE(tls.Unreadable());
    EXPECT_EQ(got.ends[0] + got.ends[1], 0) << TlsConnection::EndText(got.endReason[0]) << " / "
                                            << TlsConnection::EndText(got.endReason[1]);
    ExpectTruth(got, truth);
}

// A capture read as it happened, but each direction one byte at a time, or the client's
// direction entirely before the server's: the same plaintext.
TEST_P(TlsCapture, SameBytesWhateverTheSegmentsAndOrder) {
    KeyLog keys;
    keys.AddText(keyText);
    Gathered whole;
    {
        TlsConnection tls(&keys, &whole);
        tlstest::Feed(tls, chunks);
    }
    Gathered bytewise;
    {
        TlsConnection tls(&keys, &bytewise);
        for (const Chunk& c : chunks)
            for (char b : c.bytes) {
                const unsigned char u = static_cast<unsigned char>(b);
                tls.OnBytes(c.direction, &u, 1);
            }
    }
    Gathered clientFirst;
    {
        TlsConnection tls(&keys, &clientFirst);
        for (int d = 0; d < 2; ++d)
            for (const Chunk& c : chunks)
                if (c.direction == d)
                    tls.OnBytes(d, reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                c.bytes.size());
    }
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(bytewise.plain[d], whole.plain[d]) << d;
        EXPECT_EQ(clientFirst.plain[d], whole.plain[d]) << d;
        EXPECT_EQ(bytewise.ends[d] + clientFirst.ends[d], 0);
    }
}

// A live capture: the key log grows while the session runs, and is read in pieces that end in
// the middle of a line.
TEST_P(TlsCapture, KeyLogReadWhileItGrows) {
    char name[] = "/tmp/strevix-keylog-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    KeyLog keys;
    const size_t cut = keyText.size() / 2 + 7;
    {
        FILE* f = std::fopen(name, "wb");
        std::fputs("# SSL/TLS secrets log file\n", f);
        std::fwrite(keyText.data(), 1, cut, f);
        std::fclose(f);
    }
    ASSERT_TRUE(keys.ReadFile(name));
    {
        FILE* f = std::fopen(name, "ab");
        std::fwrite(keyText.data() + cut, 1, keyText.size() - cut, f);
        std::fclose(f);
    }
    ASSERT_TRUE(keys.ReadFile(name));
    ASSERT_TRUE(keys.ReadFile(name));  // nothing new
    std::remove(name);
    EXPECT_EQ(keys.MalformedLines(), 0u);
    EXPECT_EQ(keys.Lines(), static_cast<size_t>(Count(keyText, "\n")));
    Gathered got;
    TlsConnection tls(&keys, &got);
    tlstest::Feed(tls, chunks);
    ExpectTruth(got, truth);
}

// A live capture: the client writes the session's keys after its ClientHello went out, TLS 1.3's
// application secrets only once the server's Finished came in; the connection reads the file
// again when it needs them.
TEST_P(TlsCapture, KeysWrittenDuringTheSession) {
    char name[] = "/tmp/strevix-keylog-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    KeyLog keys;
    ASSERT_TRUE(keys.ReadFile(name));
    Gathered got;
    TlsConnection tls(&keys, &got);
    std::string handshake;
    std::string traffic;
    std::istringstream lines(keyText);
    std::string line;
    while (std::getline(lines, line))
        (line.find("TRAFFIC_SECRET_0") != std::string::npos ? traffic : handshake) += line + "\n";
    auto append = [&](const std::string& text) {
        FILE* f = std::fopen(name, "ab");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    };
    size_t at = 0;
    tlstest::Feed(tls, {chunks[at++]});
    EXPECT_TRUE(tls.ClientHelloSeen());
    append(handshake);
    // Up to the server's first flight, with its Finished.
    while (at < chunks.size() && chunks[at].direction != 1) tlstest::Feed(tls, {chunks[at++]});
    while (at < chunks.size() && chunks[at].direction == 1) tlstest::Feed(tls, {chunks[at++]});
    append(traffic);
    tlstest::Feed(
        tls, std::vector<Chunk>(chunks.begin() + static_cast<std::ptrdiff_t>(at), chunks.end()));
    std::remove(name);
    ExpectTruth(got, truth);
}

// Without its keys the session is reported by name and nothing comes out.
TEST_P(TlsCapture, WithoutKeysOnlyTheServerName) {
    for (bool withLog : {false, true}) {
        KeyLog unrelated;
        unrelated.AddLine("CLIENT_RANDOM " + std::string(64, 'a') + " " + std::string(96, 'b'));
        Gathered got;
        TlsConnection tls(withLog ? &unrelated : nullptr, &got);
        tlstest::Feed(tls, chunks);
        EXPECT_EQ(tls.ServerName(), truth.sni);
        EXPECT_TRUE(tls.Unreadable());
        EXPECT_FALSE(tls.Keyed());
        EXPECT_TRUE(got.plain[0].empty() && got.plain[1].empty());
        EXPECT_EQ(got.ends[1], 1);
        EXPECT_EQ(got.endReason[1], TlsConnection::kNoKeys);
    }
}

// openssl's client and server each send a line, update their keys, and send another: the second
// lines are under the next generation of each side's secret.
TEST(TlsCaptureKeyUpdate, ReadsAcrossKeyUpdates) {
    const std::string name = "tls13-keyupdate";
    KeyLog keys;
    ASSERT_TRUE(keys.ReadFile(tlstest::Path(name, ".keys")));
    std::string expected[2];
    std::string sni;
    std::istringstream in(tlstest::ReadText(tlstest::Path(name, ".truth")));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("sni ", 0) == 0) sni = line.substr(4);
        if (line.rfind("client ", 0) == 0) expected[0] += line.substr(7) + "\n";
        if (line.rfind("server ", 0) == 0) expected[1] += line.substr(7) + "\n";
    }
    ASSERT_FALSE(expected[0].empty());
    ASSERT_FALSE(expected[1].empty());
    Gathered got;
    TlsConnection tls(&keys, &got);
    tlstest::Feed(tls, tlstest::ReadConnection(tlstest::Path(name, ".pcap")));
    EXPECT_EQ(tls.Version(), 0x0304);
    EXPECT_EQ(tls.CipherSuite(), 0x1302);
    EXPECT_EQ(tls.ServerName(), sni);
    EXPECT_EQ(got.plain[0], expected[0]);
    EXPECT_EQ(got.plain[1], expected[1]);
    EXPECT_EQ(got.ends[0] + got.ends[1], 0);
}

// ffmpeg publishing over RTMPS to a TLS terminator in front of nginx: the decrypted directions
// are byte for byte what the terminator passed on in plaintext, in the same capture.
TEST(TlsCaptureRtmps, DecryptedEqualsThePlaintextLeg) {
    for (const char* name : {"rtmps-publish", "rtmps-publish-tls12"}) {
        SCOPED_TRACE(name);
        int tlsPort = 0;
        int plainPort = 0;
        std::istringstream in(tlstest::ReadText(tlstest::Path(name, ".truth")));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("tls-port ", 0) == 0) tlsPort = std::stoi(line.substr(9));
            if (line.rfind("plain-port ", 0) == 0) plainPort = std::stoi(line.substr(11));
        }
        ASSERT_NE(tlsPort, 0);
        ASSERT_NE(plainPort, 0);
        std::string plain[2];
        for (const Chunk& c : tlstest::ReadConnection(tlstest::Path(name, ".pcap"),
                                                      static_cast<uint16_t>(plainPort)))
            if (c.direction < 2) plain[c.direction] += c.bytes;
        ASSERT_GT(plain[0].size(), 1537u);
        KeyLog keys;
        ASSERT_TRUE(keys.ReadFile(tlstest::Path(name, ".keys")));
        Gathered got;
        TlsConnection tls(&keys, &got);
        tlstest::Feed(tls, tlstest::ReadConnection(tlstest::Path(name, ".pcap"),
                                                   static_cast<uint16_t>(tlsPort)));
        EXPECT_TRUE(tls.Keyed());
        EXPECT_EQ(got.plain[0].substr(0, 1), "\x03");  // RTMP's C0
        EXPECT_TRUE(got.plain[0] == plain[0]) << got.plain[0].size() << " " << plain[0].size();
        EXPECT_TRUE(got.plain[1] == plain[1]) << got.plain[1].size() << " " << plain[1].size();
        EXPECT_NE(got.plain[0].find("publish"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, TlsCapture, ::testing::ValuesIn(kCaptures),
                         [](const ::testing::TestParamInfo<Capture>& p) {
                             std::string n = p.param.name;
                             for (char& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

}  // namespace
