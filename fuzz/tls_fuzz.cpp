// Both directions of one TLS connection through the record layer, the hello parsers and, with the
// key log lines the input carries, the key schedules and the AEAD decryption.
//
// Input: one byte of switches (bit 0: read with the key log, bit 1: wrap every chunk of bytes
// in a handshake record of its own), then chunks (2-byte length, see SplitChunks) whose first
// byte says what the rest is: 0 client bytes, 1 server bytes, 2 a gap in the client's bytes,
// 3 a gap in the server's, 4 key log text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnection.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct Sink : TlsSink {
    int ends[2] = {0, 0};
    uint64_t bytes[2] = {0, 0};
    volatile unsigned char last = 0;
    void OnPlaintext(int d, const unsigned char* data, size_t length) override {
        Check(d == 0 || d == 1, "a direction that is neither");
        Check(ends[d] == 0, "plaintext after the end");
        Check(length > 0 && length <= (1u << 14) + 1, "a record's plaintext beyond its bound");
        last = data[length - 1];  // the whole block is readable
        bytes[d] += length;
    }
    void OnEnd(int d, int reason) override {
        Check(d == 0 || d == 1, "a direction that is neither");
        Check(reason != TlsConnection::kNotEnded, "an end without a reason");
        ++ends[d];
        Check(ends[d] == 1, "a direction ended twice");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const bool withKeys = (data[0] & 1) != 0;
    const bool wrap = (data[0] & 2) != 0;
    KeyLog keys;
    Sink sink;
    TlsConnection tls(withKeys ? &keys : nullptr, &sink);
    for (const auto& chunk : fuzzsupport::SplitChunks(data + 1, size - 1)) {
        if (chunk.second == 0) continue;
        const size_t n = chunk.second - 1;
        const uint8_t kind = chunk.first[0] % 5;
        if (kind <= 1 && wrap) {
            std::string record = {22, 3, 1, static_cast<char>(n >> 8), static_cast<char>(n)};
            record.append(reinterpret_cast<const char*>(chunk.first + 1), n);
            fuzzsupport::ExactCopy bytes(reinterpret_cast<const uint8_t*>(record.data()),
                                         record.size());
            tls.OnBytes(kind, bytes.data(), record.size());
            continue;
        }
        fuzzsupport::ExactCopy bytes(chunk.first + 1, n);
        switch (kind) {
            case 0:
            case 1:
                tls.OnBytes(kind, bytes.data(), n);
                break;
            case 2:
            case 3:
                tls.OnGap(kind - 2, static_cast<uint32_t>(n + 1));
                break;
            case 4:
                keys.AddText(std::string(reinterpret_cast<const char*>(bytes.data()), n));
                break;
        }
        Check(keys.Sessions() <= KeyLog::kMaxSessions, "key log beyond its bound");
    }
    for (int d = 0; d < 2; ++d) {
        Check(sink.bytes[d] == tls.PlaintextBytes(d), "plaintext counted wrong");
        Check((sink.ends[d] == 1) == (tls.EndOf(d) != TlsConnection::kNotEnded),
              "an end not reported");
    }
    Check(!tls.Keyed() || withKeys, "keys without a key log");
    return 0;
}
