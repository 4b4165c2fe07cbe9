// Hostile input to the TLS reader: damaged records of real sessions, wrong keys, lying hello
// fields, malformed key log lines. Nothing may crash, what comes out is always a prefix of the
// true plaintext, and each direction ends at most once, for the reason the damage calls for.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "TlsStreams.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnection.h"

namespace {

using tlstest::Chunk;
using tlstest::Gathered;

// Offsets of the record headers of one direction's bytes.
std::vector<size_t> RecordOffsets(const std::string& s) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 5 <= s.size();) {
        at.push_back(i);
        i += 5 + (static_cast<size_t>(static_cast<unsigned char>(s[i + 3])) << 8 |
                  static_cast<unsigned char>(s[i + 4]));
    }
    return at;
}

struct Session {
    std::vector<Chunk> chunks;
    std::string whole[2];
    std::string keys;

    explicit Session(const std::string& name) {
        chunks = tlstest::ReadConnection(tlstest::Path(name, ".pcap"));
        for (const Chunk& c : chunks)
            if (c.direction < 2) whole[c.direction] += c.bytes;
        keys = tlstest::ReadText(tlstest::Path(name, ".keys"));
    }

    // The capture's chunks again, with one direction's bytes replaced (cut where they end).
    std::vector<Chunk> With(int direction, const std::string& bytes) const {
        std::vector<Chunk> out;
        size_t at = 0;
        for (const Chunk& c : chunks) {
            if (c.direction != direction) {
                out.push_back(c);
                continue;
            }
            if (at >= bytes.size()) continue;
            out.push_back({direction, bytes.substr(at, c.bytes.size())});
            at += c.bytes.size();
        }
        return out;
    }
};

Gathered Decrypt(const std::vector<Chunk>& chunks, const std::string& keyText) {
    KeyLog keys;
    keys.AddText(keyText);
    Gathered got;
    TlsConnection tls(&keys, &got);
    tlstest::Feed(tls, chunks);
    return got;
}

bool IsPrefix(const std::string& part, const std::string& whole) {
    return whole.compare(0, part.size(), part) == 0;
}

struct Damage {
    const char* what;
    const char* capture;
    int direction;
    // Changes the direction's bytes; gets the offsets of its records.
    std::function<void(std::string&, const std::vector<size_t>&)> change;
    int end;       // the reason the direction ends with, or kNotEnded
    bool shorter;  // the plaintext stops early
};

TEST(TlsHostile, DamagedRecordsOfRealSessions) {
    const Damage kDamage[] = {
        {"a bit flipped in a server application record (1.3)", "tls13-aes128gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 2] + 40] ^= 1; },
         TlsConnection::kAuthFailed, true},
        {"a bit flipped in a server application record (1.2)", "tls12-aes128gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 2] + 40] ^= 1; },
         TlsConnection::kAuthFailed, true},
        {"the explicit nonce changed (1.2 GCM)", "tls12-aes256gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 2] + 5] ^= 0x80; },
         TlsConnection::kAuthFailed, true},
        {"the tag changed (1.2 ChaCha20)", "tls12-chacha20", 0,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 1] - 1] ^= 0x10; },
         TlsConnection::kAuthFailed, true},
        {"the header's version changed, which the tag covers (1.3)", "tls13-chacha20", 1,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 2] + 2] = 0x01; },
         TlsConnection::kAuthFailed, true},
        {"two records swapped (sequence numbers)", "tls13-aes256gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) {
             const size_t a = r[r.size() - 3], b = r[r.size() - 2], c = r[r.size() - 1];
             s = s.substr(0, a) + s.substr(b, c - b) + s.substr(a, b - a) + s.substr(c);
         },
         TlsConnection::kAuthFailed, true},
        {"a length past the record bound", "tls13-aes128gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) {
             s[r[r.size() - 2] + 3] = 0x41;
             s[r[r.size() - 2] + 4] = 0x01;
         },
         TlsConnection::kRecordTooLong, true},
        {"a length longer than what follows", "tls12-chacha20", 1,
         [](std::string& s, const std::vector<size_t>& r) {
             s[r.back() + 3] = 0x41;
             s[r.back() + 4] = 0x00;
         },
         TlsConnection::kNotEnded, true},
        {"a length shorter than the record", "tls13-aes128gcm", 0,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 2] + 4] -= 5; },
         TlsConnection::kAuthFailed, true},
        {"a record type no peer sends", "tls12-aes128gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) { s[r[r.size() - 2]] = 0x18; },
         TlsConnection::kNotTls, true},
        {"cut in the middle of the last record", "tls13-aes256gcm", 1,
         [](std::string& s, const std::vector<size_t>& r) { s.resize(r.back() + 9); },
         TlsConnection::kNotEnded, true},
        {"application data before the keys changed (1.2)", "tls12-aes128gcm", 0,
         [](std::string& s, const std::vector<size_t>& r) { s[r[1]] = 23; },
         TlsConnection::kBadHandshake, true},
    };
    for (const Damage& d : kDamage) {
        SCOPED_TRACE(d.what);
        const Session session(d.capture);
        const Gathered truth = Decrypt(session.chunks, session.keys);
        std::string bytes = session.whole[d.direction];
        d.change(bytes, RecordOffsets(bytes));
        const Gathered got = Decrypt(session.With(d.direction, bytes), session.keys);
        EXPECT_TRUE(IsPrefix(got.plain[d.direction], truth.plain[d.direction]));
        if (d.shorter) {
            EXPECT_LT(got.plain[d.direction].size(), truth.plain[d.direction].size());
        }
        EXPECT_EQ(got.ends[d.direction], d.end == TlsConnection::kNotEnded ? 0 : 1);
        EXPECT_EQ(got.endReason[d.direction], d.end)
            << TlsConnection::EndText(got.endReason[d.direction]);
        // TLS 1.3's directions have keys of their own: the other one reads on.
        if (std::string(d.capture).rfind("tls13", 0) == 0) {
            EXPECT_EQ(got.plain[1 - d.direction], truth.plain[1 - d.direction]);
        }
    }
}

TEST(TlsHostile, TruncatedAnywhereGivesAPrefix) {
    for (const char* name : {"tls12-chacha20", "tls13-aes128gcm"}) {
        const Session session(name);
        const Gathered truth = Decrypt(session.chunks, session.keys);
        for (int d = 0; d < 2; ++d) {
            for (size_t cut = 0; cut < session.whole[d].size(); cut += 611) {
                const Gathered got =
                    Decrypt(session.With(d, session.whole[d].substr(0, cut)), session.keys);
                ASSERT_TRUE(IsPrefix(got.plain[d], truth.plain[d])) << name << " " << cut;
                ASSERT_EQ(got.ends[d], 0) << name << " " << cut;
            }
        }
    }
}

TEST(TlsHostile, GapEndsTheDirectionOnce) {
    const Session session("tls13-aes128gcm");
    std::vector<Chunk> chunks;
    bool gapped = false;
    for (const Chunk& c : session.chunks) {
        if (c.direction == 1 && !gapped && c.bytes.size() > 1000) {
            chunks.push_back({3, {}});
            gapped = true;
        }
        chunks.push_back(c);
    }
    chunks.push_back({3, {}});
    const Gathered got = Decrypt(chunks, session.keys);
    EXPECT_EQ(got.ends[1], 1);
    EXPECT_EQ(got.endReason[1], TlsConnection::kGap);
}

// Keys that are there but wrong, or missing in part.
TEST(TlsHostile, WrongAndMissingKeys) {
    struct Case {
        const char* what;
        const char* capture;
        std::function<std::string(const std::string&)> keys;
        int end[2];
        bool plain[2];  // whether the direction still reads in full
    };
    auto flipLine = [](const char* label) {
        return [label](const std::string& text) {
            std::string t = text;
            const size_t at = t.find(label);
            const size_t end = t.find('\n', at);
            t[end - 1] = t[end - 1] == '0' ? '1' : '0';  // the secret's last digit
            return t;
        };
    };
    auto dropLine = [](const char* label) {
        return [label](const std::string& text) {
            std::string t = text;
            const size_t at = t.find(label);
            t.erase(at, t.find('\n', at) + 1 - at);
            return t;
        };
    };
    const Case kCases[] = {
        {"master secret wrong",
         "tls12-aes256gcm",
         flipLine("CLIENT_RANDOM"),
         {TlsConnection::kAuthFailed, TlsConnection::kAuthFailed},
         {false, false}},
        {"client application secret wrong",
         "tls13-aes128gcm",
         flipLine("CLIENT_TRAFFIC_SECRET_0"),
         {TlsConnection::kAuthFailed, 0},
         {false, true}},
        {"server handshake secret wrong",
         "tls13-chacha20",
         flipLine("SERVER_HANDSHAKE_TRAFFIC_SECRET"),
         {0, TlsConnection::kAuthFailed},
         {true, false}},
        {"server application secret missing",
         "tls13-aes256gcm",
         dropLine("SERVER_TRAFFIC_SECRET_0"),
         {0, TlsConnection::kNoKeys},
         {true, false}},
        {"secret of the wrong length for the suite",
         "tls13-aes256gcm",
         [](const std::string& text) {
             std::string t = text;
             const size_t at = t.find("CLIENT_HANDSHAKE_TRAFFIC_SECRET");
             const size_t end = t.find('\n', at);
             t.erase(end - 32, 32);  // 48 bytes become 32
             return t;
         },
         {TlsConnection::kNoKeys, 0},
         {false, true}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        const Session session(c.capture);
        const Gathered truth = Decrypt(session.chunks, session.keys);
        const Gathered got = Decrypt(session.chunks, c.keys(session.keys));
        for (int d = 0; d < 2; ++d) {
            EXPECT_EQ(got.endReason[d], c.end[d]) << d;
            EXPECT_EQ(got.ends[d], c.end[d] != 0 ? 1 : 0) << d;
            if (c.plain[d])
                EXPECT_EQ(got.plain[d], truth.plain[d]) << d;
            else
                EXPECT_TRUE(got.plain[d].empty()) << d;
        }
    }
}

// ---- Hellos made here, with fields that lie

std::string U16(size_t v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string U24(size_t v) {
    return static_cast<char>(v >> 16) + U16(v);
}

std::string Extension(uint16_t type, const std::string& body) {
    return U16(type) + U16(body.size()) + body;
}
std::string Sni(const std::string& name) {
    const std::string entry = std::string(1, '\0') + U16(name.size()) + name;
    return Extension(0, U16(entry.size()) + entry);
}
std::string Alpn(const std::vector<std::string>& names) {
    std::string list;
    for (const auto& n : names) list += static_cast<char>(n.size()) + n;
    return Extension(16, U16(list.size()) + list);
}
std::string ClientHelloBody(const std::string& extensions, size_t sessionLength = 32) {
    return U16(0x0303) + std::string(32, 'R') + static_cast<char>(sessionLength) +
           std::string(sessionLength, 'S') + U16(4) + U16(0x1301) + U16(0xC02F) +
           std::string(1, '\1') + std::string(1, '\0') + U16(extensions.size()) + extensions;
}
std::string Message(int type, const std::string& body) {
    return static_cast<char>(type) + U24(body.size()) + body;
}
std::string Records(const std::string& handshake, size_t piece = 1u << 14) {
    std::string out;
    for (size_t at = 0; at < handshake.size(); at += piece) {
        const std::string part = handshake.substr(at, piece);
        out += std::string(1, 22) + U16(0x0301) + U16(part.size()) + part;
    }
    return out;
}

TEST(TlsHostile, ClientHellos) {
    const std::string good = Sni("media.example") + Alpn({"h2", "http/1.1"});
    struct Case {
        const char* what;
        std::string bytes;
        const char* name;  // null: the hello is refused
        size_t alpn;
    };
    const Case kCases[] = {
        {"plain", Records(Message(1, ClientHelloBody(good))), "media.example", 2},
        {"in records of 7 bytes", Records(Message(1, ClientHelloBody(good)), 7), "media.example",
         2},
        {"no extensions", Records(Message(1, ClientHelloBody("").substr(0, 2 + 32 + 33 + 6 + 2))),
         "", 0},
        {"a name with a control character", Records(Message(1, ClientHelloBody(Sni("a\nb")))), "",
         0},
        {"the name's length past its extension",
         Records(Message(1, ClientHelloBody(Extension(0, U16(5) + '\0' + U16(40) + "ab")))),
         nullptr, 0},
        {"extensions longer than the message",
         Records(Message(1, ClientHelloBody(good).substr(0, 80 + good.size() / 2))), nullptr, 0},
        {"an ALPN name of length 0",
         Records(Message(1, ClientHelloBody(Extension(16, U16(1) + '\0')))), nullptr, 0},
        {"a session id of 33", Records(Message(1, ClientHelloBody(good, 33))), nullptr, 0},
        {"a message of 16 MB announced", Records(U24(0x01FFFFFF).substr(0, 0) + "\x01\xff\xff\xff"),
         nullptr, 0},
        {"a first message that is no hello", Records(Message(11, "certificate")), nullptr, 0},
        {"HTTP instead of TLS", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", nullptr, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Gathered got;
        TlsConnection tls(nullptr, &got);
        tls.OnBytes(0, reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        if (c.name != nullptr) {
            EXPECT_TRUE(tls.ClientHelloSeen());
            EXPECT_EQ(tls.ServerName(), c.name);
            EXPECT_EQ(tls.OfferedAlpn().size(), c.alpn);
            EXPECT_EQ(got.ends[0], 0);
        } else {
            EXPECT_FALSE(tls.ClientHelloSeen());
            EXPECT_EQ(got.ends[0], 1);
        }
    }
}

TEST(TlsHostile, ServerHellos) {
    const std::string client = Records(Message(1, ClientHelloBody(Sni("s.example"))));
    auto serverHello = [](uint16_t version, uint16_t suite, const std::string& extensions) {
        return Records(Message(2, U16(version) + std::string(32, 'Q') + '\0' + U16(suite) + '\0' +
                                      U16(extensions.size()) + extensions));
    };
    struct Case {
        const char* what;
        std::string bytes;
        uint16_t version;  // 0: refused
        int end;
    };
    const Case kCases[] = {
        {"TLS 1.2", serverHello(0x0303, 0xC02F, Alpn({"h2"})), 0x0303, 0},
        {"TLS 1.3", serverHello(0x0303, 0x1301, Extension(43, U16(0x0304))), 0x0304, 0},
        {"TLS 1.3 with a TLS 1.2 suite", serverHello(0x0303, 0xC02F, Extension(43, U16(0x0304))),
         0x0304, TlsConnection::kUnsupported},
        {"a suite without AEAD", serverHello(0x0303, 0x002F, ""), 0x0303,
         TlsConnection::kUnsupported},
        {"TLS 1.0", serverHello(0x0301, 0xC02F, ""), 0x0301, TlsConnection::kUnsupported},
        {"two protocols selected", serverHello(0x0303, 0xC02F, Alpn({"h2", "http/1.1"})), 0,
         TlsConnection::kBadHandshake},
        {"supported_versions cut short", serverHello(0x0303, 0x1301, Extension(43, "\x03")), 0,
         TlsConnection::kBadHandshake},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Gathered got;
        TlsConnection tls(nullptr, &got);
        tls.OnBytes(0, reinterpret_cast<const unsigned char*>(client.data()), client.size());
        tls.OnBytes(1, reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(tls.ServerHelloSeen(), c.version != 0);
        if (c.version != 0) {
            EXPECT_EQ(tls.Version(), c.version);
        }
        EXPECT_EQ(got.endReason[1], c.end) << TlsConnection::EndText(got.endReason[1]);
        EXPECT_EQ(got.ends[1], c.end != 0 ? 1 : 0);
    }
}

// A client that says nothing the server answers: what it sends waits, bounded.
TEST(TlsHostile, WaitingIsBounded) {
    const std::string hello = Records(Message(1, ClientHelloBody(Sni("s.example"))));
    Gathered got;
    TlsConnection tls(nullptr, &got);
    tls.OnBytes(0, reinterpret_cast<const unsigned char*>(hello.data()), hello.size());
    const std::string record =
        std::string(1, 23) + U16(0x0303) + U16(16000) + std::string(16000, 'x');
    for (int i = 0; i < 40 && got.ends[0] == 0; ++i)
        tls.OnBytes(0, reinterpret_cast<const unsigned char*>(record.data()), record.size());
    EXPECT_EQ(got.ends[0], 1);
    EXPECT_EQ(got.endReason[0], TlsConnection::kBacklog);
}

// ---- Key logs

TEST(TlsHostile, KeyLogLines) {
    const std::string random(64, 'a');
    const std::string s32(64, 'c');
    const std::string s48(96, 'c');
    struct Case {
        std::string line;
        bool counted;  // a line that is not a comment or blank
        bool malformed;
    };
    const Case kCases[] = {
        {"CLIENT_RANDOM " + random + " " + s48, true, false},
        {"CLIENT_RANDOM\t" + random + "\t" + s48 + "\r", true, false},
        {"  CLIENT_TRAFFIC_SECRET_0 " + random + " " + s32, true, false},
        {"SERVER_HANDSHAKE_TRAFFIC_SECRET " + random + " " + s48, true, false},
        {"EXPORTER_SECRET " + random + " " + s32, true, false},
        {"# CLIENT_RANDOM " + random + " " + s48, false, false},
        {"", false, false},
        {"   ", false, false},
        {"CLIENT_RANDOM " + random.substr(2) + " " + s48, true, true},
        {"CLIENT_RANDOM " + random + "0 " + s48, true, true},
        {"CLIENT_RANDOM " + random + " " + s48.substr(2), true, true},
        {"CLIENT_RANDOM " + random + " " + s32, true, true},
        {"CLIENT_TRAFFIC_SECRET_0 " + random + " " + std::string(80, 'c'), true, true},
        {"CLIENT_RANDOM " + std::string(63, 'a') + "g " + s48, true, true},
        {"CLIENT_RANDOM " + random, true, true},
        {"CLIENT_RANDOM " + random + " " + s48 + " extra", true, true},
        {"SERVER_RANDOM " + random + " " + s48, true, true},
        {"CLIENT_RANDOM " + random + " " + s48 + std::string(1100, ' '), true, true},
        {std::string("CLIENT_RANDOM ") + '\0' + random + " " + s48, true, true},
    };
    for (const Case& c : kCases) {
        KeyLog keys;
        keys.AddLine(c.line);
        EXPECT_EQ(keys.Lines(), c.counted ? 1u : 0u) << c.line;
        EXPECT_EQ(keys.MalformedLines(), c.malformed ? 1u : 0u) << c.line;
        const bool stored =
            c.counted && !c.malformed && c.line.find("EXPORTER") == std::string::npos;
        EXPECT_EQ(keys.Sessions(), stored ? 1u : 0u) << c.line;
    }
}

TEST(TlsHostile, KeyLogFileReplacedOrHoldingHugeLines) {
    char name[] = "/tmp/strevix-keylog-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    auto write = [&](const std::string& text, const char* mode) {
        FILE* f = std::fopen(name, mode);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    };
    auto line = [](char r) {
        return "CLIENT_RANDOM " + std::string(64, r) + " " + std::string(96, 'e') + "\n";
    };
    KeyLog keys;
    // A line of 200 kB, read in several pieces, is one malformed line; the next one counts.
    write(line('1') + std::string(200000, 'x') + "\n" + line('2'), "wb");
    ASSERT_TRUE(keys.ReadFile(name));
    EXPECT_EQ(keys.Sessions(), 2u);
    EXPECT_EQ(keys.MalformedLines(), 1u);
    // Replaced by a shorter file: read from its start.
    write(line('3'), "wb");
    ASSERT_TRUE(keys.ReadFile(name));
    EXPECT_EQ(keys.Sessions(), 3u);
    std::remove(name);
    EXPECT_FALSE(keys.ReadFile(name));
    EXPECT_EQ(keys.Sessions(), 3u);
}

TEST(TlsHostile, KeyLogKeepsTheNewestSessions) {
    KeyLog keys;
    char hex[65];
    const size_t total = KeyLog::kMaxSessions + 10;
    for (size_t i = 0; i < total; ++i) {
        std::snprintf(hex, sizeof hex, "%064zx", i);
        keys.AddLine(std::string("CLIENT_RANDOM ") + hex + " " + std::string(96, 'f'));
    }
    EXPECT_EQ(keys.Sessions(), KeyLog::kMaxSessions);
    uint8_t random[32] = {};
    EXPECT_EQ(keys.Find(random), nullptr);  // session 0, the oldest
    const size_t last = total - 1;
    random[31] = static_cast<uint8_t>(last);
    random[30] = static_cast<uint8_t>(last >> 8);
    random[29] = static_cast<uint8_t>(last >> 16);
    EXPECT_NE(keys.Find(random), nullptr);
}

}  // namespace
