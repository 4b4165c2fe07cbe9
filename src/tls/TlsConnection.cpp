#include "tls/TlsConnection.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cstring>

#include "common/ByteReader.h"

namespace {

enum Cipher { kAes128Gcm, kAes256Gcm, kChaCha20 };

struct Suite {
    uint16_t id;
    Cipher cipher;
    bool sha384;
    bool tls13;
};

// The AEAD suites: TLS 1.3's three, and TLS 1.2's GCM and ChaCha20-Poly1305 suites (their keys
// come from the master secret whatever the key exchange was).
const Suite kSuites[] = {
    {0x1301, kAes128Gcm, false, true}, {0x1302, kAes256Gcm, true, true},
    {0x1303, kChaCha20, false, true},  {0x009C, kAes128Gcm, false, false},
    {0x009D, kAes256Gcm, true, false}, {0x009E, kAes128Gcm, false, false},
    {0x009F, kAes256Gcm, true, false}, {0xC02B, kAes128Gcm, false, false},
    {0xC02C, kAes256Gcm, true, false}, {0xC02F, kAes128Gcm, false, false},
    {0xC030, kAes256Gcm, true, false}, {0xCCA8, kChaCha20, false, false},
    {0xCCA9, kChaCha20, false, false}, {0xCCAA, kChaCha20, false, false},
};

const Suite* FindSuite(uint16_t id) {
    for (const Suite& s : kSuites)
        if (s.id == id) return &s;
    return nullptr;
}

size_t KeyLength(Cipher c) {
    return c == kAes128Gcm ? 16 : 32;
}

const EVP_CIPHER* CipherOf(Cipher c) {
    switch (c) {
        case kAes128Gcm:
            return EVP_aes_128_gcm();
        case kAes256Gcm:
            return EVP_aes_256_gcm();
        case kChaCha20:
            return EVP_chacha20_poly1305();
    }
    return nullptr;
}

// SHA-256 of "HelloRetryRequest": the random of a ServerHello that is a retry request.
const uint8_t kRetryRandom[32] = {0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C,
                                  0x02, 0x1E, 0x65, 0xB8, 0x91, 0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB,
                                  0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

const size_t kTagLength = 16;

bool Kdf(const char* name, OSSL_PARAM* params, uint8_t* out, size_t length) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, name, nullptr);
    if (kdf == nullptr) return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (ctx == nullptr) return false;
    const bool ok = EVP_KDF_derive(ctx, out, length, params) > 0;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

// HKDF-Expand-Label with an empty context (RFC 8446, 7.1).
bool ExpandLabel(bool sha384, const std::vector<uint8_t>& secret, const char* label, uint8_t* out,
                 size_t length) {
    std::vector<unsigned char> info;
    const std::string full = std::string("tls13 ") + label;
    info.push_back(static_cast<unsigned char>(length >> 8));
    info.push_back(static_cast<unsigned char>(length));
    info.push_back(static_cast<unsigned char>(full.size()));
    info.insert(info.end(), full.begin(), full.end());
    info.push_back(0);
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    char digest[8];
    std::strcpy(digest, sha384 ? "SHA384" : "SHA256");
    std::vector<uint8_t> key = secret;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key.data(), key.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
        OSSL_PARAM_construct_end()};
    return Kdf(OSSL_KDF_NAME_HKDF, params, out, length);
}

// The TLS 1.2 PRF (RFC 5246, 5) over the master secret: the key block.
bool KeyBlock(bool sha384, const std::vector<uint8_t>& master, const uint8_t* serverRandom,
              const uint8_t* clientRandom, uint8_t* out, size_t length) {
    std::vector<unsigned char> seed;
    const char label[] = "key expansion";
    seed.insert(seed.end(), label, label + sizeof label - 1);
    seed.insert(seed.end(), serverRandom, serverRandom + 32);
    seed.insert(seed.end(), clientRandom, clientRandom + 32);
    char digest[8];
    std::strcpy(digest, sha384 ? "SHA384" : "SHA256");
    std::vector<uint8_t> secret = master;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, secret.data(), secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size()),
        OSSL_PARAM_construct_end()};
    return Kdf(OSSL_KDF_NAME_TLS1_PRF, params, out, length);
}

}  // namespace

// One direction's record protection: cipher, key, and the IV (the whole 12-byte one, or TLS 1.2
// GCM's 4-byte salt).
struct TlsConnection::Aead {
    Cipher cipher = kAes128Gcm;
    bool tls13 = false;
    unsigned char key[32] = {};
    unsigned char iv[12] = {};
    EVP_CIPHER_CTX* ctx = nullptr;

    Aead() : ctx(EVP_CIPHER_CTX_new()) {}
    ~Aead() { EVP_CIPHER_CTX_free(ctx); }
    Aead(const Aead&) = delete;
    Aead& operator=(const Aead&) = delete;

    // Sets up the key schedule once per key; records then only change the nonce.
    bool Start() {
        return ctx != nullptr &&
               EVP_DecryptInit_ex(ctx, CipherOf(cipher), nullptr, nullptr, nullptr) == 1 &&
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr) == 1 &&
               EVP_DecryptInit_ex(ctx, nullptr, nullptr, key, nullptr) == 1;
    }

    // Authenticates and decrypts in one step: out holds the plaintext only when true.
    bool Open(const unsigned char* nonce, const unsigned char* aad, size_t aadLength,
              const unsigned char* in, size_t length, const unsigned char* tag,
              unsigned char* out) {
        int n = 0;
        if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) != 1) return false;
        if (EVP_DecryptUpdate(ctx, nullptr, &n, aad, static_cast<int>(aadLength)) != 1)
            return false;
        if (length > 0 && EVP_DecryptUpdate(ctx, out, &n, in, static_cast<int>(length)) != 1)
            return false;
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagLength),
                                const_cast<unsigned char*>(tag)) != 1)
            return false;
        return EVP_DecryptFinal_ex(ctx, out + length, &n) == 1;
    }
};

TlsConnection::TlsConnection(KeyLog* keys, TlsSink* sink) : m_keys(keys), m_sink(sink) {}

TlsConnection::~TlsConnection() = default;

const char* TlsConnection::EndText(int reason) {
    switch (reason) {
        case kNotEnded:
            return "not ended";
        case kGap:
            return "bytes lost";
        case kNotTls:
            return "not TLS";
        case kRecordTooLong:
            return "record too long";
        case kBadHandshake:
            return "malformed handshake";
        case kNoKeys:
            return "no keys in the key log";
        case kUnsupported:
            return "unsupported version or cipher suite";
        case kAuthFailed:
            return "record failed authentication";
        case kBacklog:
            return "waited too long for the other direction";
    }
    return "?";
}

void TlsConnection::Finish(int d, End reason) {
    Dir& dir = m_dirs[d];
    if (dir.end != kNotEnded) return;
    // The buffers go once the call that ended the direction is over (Release): the parse that
    // ended it may still hold pointers into them.
    dir.end = reason;
    if (reason == kNoKeys || reason == kUnsupported) m_unreadable = true;
    if (m_sink != nullptr) m_sink->OnEnd(d, reason);
}

void TlsConnection::Release(int d) {
    Dir& dir = m_dirs[d];
    if (dir.end == kNotEnded) return;
    std::vector<unsigned char>().swap(dir.raw);
    dir.rawStart = 0;
    std::vector<unsigned char>().swap(dir.body);
    dir.aead.reset();
    if (m_dirs[1 - d].end != kNotEnded) std::vector<unsigned char>().swap(m_plain);
}

void TlsConnection::OnGap(int direction, uint32_t /*length*/) {
    Finish(direction & 1, kGap);
    Release(direction & 1);
}

void TlsConnection::OnBytes(int direction, const unsigned char* data, size_t length) {
    const int d = direction & 1;
    Dir& dir = m_dirs[d];
    if (dir.end != kNotEnded || data == nullptr || length == 0) return;
    if (dir.rawStart == dir.raw.size()) {
        // Nothing held: whole records are read where they lie, only the rest is kept.
        dir.raw.clear();
        dir.rawStart = 0;
        const size_t used = Pump(d, data, length);
        if (dir.end == kNotEnded) dir.raw.assign(data + used, data + length);
    } else {
        dir.raw.insert(dir.raw.end(), data, data + length);
        dir.rawStart += Pump(d, dir.raw.data() + dir.rawStart, dir.raw.size() - dir.rawStart);
    }
    Settle(d);
    // The other direction may have been waiting for what this one just said.
    Dir& other = m_dirs[1 - d];
    if (other.end == kNotEnded && other.raw.size() > other.rawStart) {
        other.rawStart +=
            Pump(1 - d, other.raw.data() + other.rawStart, other.raw.size() - other.rawStart);
        Settle(1 - d);
    }
}

void TlsConnection::Settle(int d) {
    Dir& dir = m_dirs[d];
    if (dir.end == kNotEnded) {
        if (dir.rawStart == dir.raw.size()) {
            dir.raw.clear();
            dir.rawStart = 0;
        } else if (dir.rawStart >= (64u << 10)) {
            dir.raw.erase(dir.raw.begin(),
                          dir.raw.begin() + static_cast<std::ptrdiff_t>(dir.rawStart));
            dir.rawStart = 0;
        }
        if (dir.raw.size() - dir.rawStart > kMaxBacklog) Finish(d, kBacklog);
    }
    Release(d);
    Release(1 - d);
}

size_t TlsConnection::Pump(int d, const unsigned char* data, size_t size) {
    Dir& dir = m_dirs[d];
    size_t used = 0;
    while (dir.end == kNotEnded) {
        const size_t available = size - used;
        if (available < 5) break;
        const unsigned char* header = data + used;
        const unsigned char type = header[0];
        const size_t length = static_cast<size_t>(header[3]) << 8 | header[4];
        if (type < 20 || type > 23 || header[1] != 3) {
            Finish(d, kNotTls);
            break;
        }
        if (length > kMaxCiphertext) {
            Finish(d, kRecordTooLong);
            break;
        }
        if (available < 5 + length) break;
        if (!Record(d, type, header + 5, length, header)) break;
        used += 5 + length;
        ++dir.records;
    }
    return used;
}

bool TlsConnection::Record(int d, unsigned char type, const unsigned char* fragment, size_t length,
                           const unsigned char* header) {
    Dir& dir = m_dirs[d];
    const bool tls13 = m_version == 0x0304;
    if (!m_serverHelloSeen) {
        // Before the ServerHello only hellos in plaintext (and alerts) make sense. The client's
        // first protected records wait until the server's hello says how to read them.
        if (type == 22 || type == 21) {
            if (type == 22) return Handshake(d, fragment, length);
            return true;
        }
        // After a HelloRetryRequest (TLS 1.3 only) both sides may send the compatibility
        // ChangeCipherSpec around the second ClientHello.
        if (type == 20 && m_retrySeen) return true;
        if (d == kClient && m_clientHelloSeen) return false;
        Finish(d, kBadHandshake);
        return false;
    }
    const bool encrypted = tls13 ? type == 23 : dir.tls12Encrypting;
    if (!encrypted) {
        switch (type) {
            case 20:
                if (tls13) return true;  // the compatibility ChangeCipherSpec
                if (!KeyDirection(d)) return false;
                dir.tls12Encrypting = true;
                dir.seq = 0;
                dir.headerHave = 0;
                dir.bodyHave = dir.bodyLength = 0;
                return true;
            case 21:
                return true;
            case 22:
                return Handshake(d, fragment, length);
            default:
                Finish(d, kBadHandshake);  // application data before the keys changed
                return false;
        }
    }
    if (dir.aead == nullptr && !KeyDirection(d)) return false;
    unsigned char inner = 0;
    const unsigned char* plain = nullptr;
    size_t plainLength = 0;
    if (!Decrypt(d, header, fragment, length, inner, plain, plainLength)) {
        Finish(d, kAuthFailed);
        return false;
    }
    ++dir.seq;
    switch (inner) {
        case 23:
            if (tls13 && !dir.applicationKeys) {
                Finish(d, kBadHandshake);
                return false;
            }
            dir.plaintext += plainLength;
            if (m_sink != nullptr && plainLength > 0) m_sink->OnPlaintext(d, plain, plainLength);
            break;
        case 22:
            if (!Handshake(d, plain, plainLength)) return false;
            break;
        case 21:
            break;
        default:
            Finish(d, kBadHandshake);
            return false;
    }
    if (dir.end != kNotEnded) return false;
    if (tls13) {
        // Keys change at a record boundary: after the Finished, and after a KeyUpdate.
        if (dir.finishedSeen && !dir.applicationKeys) {
            // The application keys are looked up with the direction's next record: a client
            // writes them to its key log only once it has read the server's Finished.
            dir.aead.reset();
            dir.applicationKeys = true;
            dir.headerHave = 0;
            dir.bodyHave = dir.bodyLength = 0;
        } else if (dir.keyUpdate) {
            const Suite* suite = FindSuite(m_suite);
            std::vector<uint8_t> next(dir.secret.size());
            if (suite == nullptr ||
                !ExpandLabel(suite->sha384, dir.secret, "traffic upd", next.data(), next.size())) {
                Finish(d, kUnsupported);
                return false;
            }
            if (!SetTls13Keys(d, next)) return false;
        }
        dir.keyUpdate = false;
    }
    return true;
}

bool TlsConnection::Decrypt(int d, const unsigned char* header, const unsigned char* fragment,
                            size_t length, unsigned char& type, const unsigned char*& plain,
                            size_t& plainLength) {
    Dir& dir = m_dirs[d];
    Aead& aead = *dir.aead;
    unsigned char nonce[12];
    const unsigned char* body = fragment;
    size_t bodyLength = length;
    if (!aead.tls13 && aead.cipher != kChaCha20) {
        // TLS 1.2 GCM: the salt, then the explicit part the record carries first.
        if (length < 8 + kTagLength) return false;
        std::memcpy(nonce, aead.iv, 4);
        std::memcpy(nonce + 4, fragment, 8);
        body += 8;
        bodyLength -= 8;
    } else {
        if (length < kTagLength + (aead.tls13 ? 1 : 0)) return false;
        std::memcpy(nonce, aead.iv, 12);
        for (int i = 0; i < 8; ++i)
            nonce[4 + i] ^= static_cast<unsigned char>(dir.seq >> (56 - 8 * i));
    }
    const size_t cipherLength = bodyLength - kTagLength;
    unsigned char aad[13];
    size_t aadLength = 0;
    if (aead.tls13) {
        std::memcpy(aad, header, 5);
        aadLength = 5;
    } else {
        for (int i = 0; i < 8; ++i) aad[i] = static_cast<unsigned char>(dir.seq >> (56 - 8 * i));
        aad[8] = header[0];
        aad[9] = header[1];
        aad[10] = header[2];
        aad[11] = static_cast<unsigned char>(cipherLength >> 8);
        aad[12] = static_cast<unsigned char>(cipherLength);
        aadLength = 13;
    }
    if (m_plain.size() < kMaxCiphertext + 32) m_plain.resize(kMaxCiphertext + 32);
    if (!aead.Open(nonce, aad, aadLength, body, cipherLength, body + cipherLength, m_plain.data()))
        return false;
    plain = m_plain.data();
    plainLength = cipherLength;
    if (aead.tls13) {
        // The inner plaintext: content, its type, then zeros.
        while (plainLength > 0 && m_plain[plainLength - 1] == 0) --plainLength;
        if (plainLength == 0) {
            type = 0;  // all padding: no content type
            return true;
        }
        type = m_plain[--plainLength];
    } else {
        type = header[0];
    }
    return true;
}

const std::vector<uint8_t>* TlsConnection::Secret(std::vector<uint8_t> KeyLog::Secrets::*slot) {
    if (m_keys == nullptr || !m_clientHelloSeen) return nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const KeyLog::Secrets* s = m_keys->Find(m_clientRandom);
        if (s != nullptr && !(s->*slot).empty()) return &(s->*slot);
        // A live capture: the client may have written the secret since the files were read.
        if (attempt == 0 && m_keys->Refresh() == 0) break;
    }
    return nullptr;
}

bool TlsConnection::KeyDirection(int d) {
    const Suite* suite = FindSuite(m_suite);
    if (suite == nullptr || suite->tls13 != (m_version == 0x0304)) {
        Finish(d, kUnsupported);
        return false;
    }
    if (suite->tls13) {
        const bool traffic = m_dirs[d].applicationKeys;
        const std::vector<uint8_t>* secret = Secret(
            d == kClient
                ? (traffic ? &KeyLog::Secrets::clientTraffic0 : &KeyLog::Secrets::clientHandshake)
                : (traffic ? &KeyLog::Secrets::serverTraffic0 : &KeyLog::Secrets::serverHandshake));
        if (secret == nullptr || secret->size() != (suite->sha384 ? 48u : 32u)) {
            Finish(d, kNoKeys);
            return false;
        }
        return SetTls13Keys(d, *secret);
    }
    const std::vector<uint8_t>* master = Secret(&KeyLog::Secrets::master);
    if (master == nullptr || master->size() != 48) {
        Finish(d, kNoKeys);
        return false;
    }
    const size_t keyLength = KeyLength(suite->cipher);
    const size_t ivLength = suite->cipher == kChaCha20 ? 12 : 4;
    if (m_tls12KeyBlock.empty()) {
        std::vector<unsigned char> block(2 * keyLength + 2 * ivLength);
        if (!KeyBlock(suite->sha384, *master, m_serverRandom, m_clientRandom, block.data(),
                      block.size())) {
            Finish(d, kUnsupported);
            return false;
        }
        m_tls12KeyBlock = std::move(block);
    }
    // No MAC keys for AEAD suites: client key, server key, client IV, server IV.
    auto aead = std::make_unique<Aead>();
    aead->cipher = suite->cipher;
    aead->tls13 = false;
    std::memcpy(aead->key, m_tls12KeyBlock.data() + (d == kClient ? 0 : keyLength), keyLength);
    std::memcpy(aead->iv, m_tls12KeyBlock.data() + 2 * keyLength + (d == kClient ? 0 : ivLength),
                ivLength);
    if (!aead->Start()) {
        Finish(d, kUnsupported);
        return false;
    }
    m_dirs[d].aead = std::move(aead);
    m_keyed = true;
    return true;
}

bool TlsConnection::SetTls13Keys(int d, const std::vector<uint8_t>& secret) {
    const Suite* suite = FindSuite(m_suite);
    Dir& dir = m_dirs[d];
    auto aead = std::make_unique<Aead>();
    aead->cipher = suite->cipher;
    aead->tls13 = true;
    if (!ExpandLabel(suite->sha384, secret, "key", aead->key, KeyLength(suite->cipher)) ||
        !ExpandLabel(suite->sha384, secret, "iv", aead->iv, 12) || !aead->Start()) {
        Finish(d, kUnsupported);
        return false;
    }
    dir.aead = std::move(aead);
    dir.secret = secret;
    dir.seq = 0;
    // A handshake message may not straddle a change of keys.
    dir.headerHave = 0;
    dir.bodyHave = dir.bodyLength = 0;
    m_keyed = true;
    return true;
}

bool TlsConnection::Handshake(int d, const unsigned char* data, size_t length) {
    Dir& dir = m_dirs[d];
    size_t at = 0;
    while (at < length) {
        if (dir.headerHave < 4) {
            dir.header[dir.headerHave++] = data[at++];
            if (dir.headerHave < 4) continue;
            dir.bodyLength = static_cast<uint32_t>(dir.header[1]) << 16 |
                             static_cast<uint32_t>(dir.header[2]) << 8 | dir.header[3];
            dir.bodyHave = 0;
            const unsigned char type = dir.header[0];
            dir.keepBody = type == 1 || type == 2 || type == 8 || type == 24;
            if (dir.keepBody) {
                if (dir.bodyLength > kMaxHandshakeMessage) {
                    Finish(d, kBadHandshake);
                    return false;
                }
                dir.body.clear();
            }
        }
        const size_t take = std::min<size_t>(length - at, dir.bodyLength - dir.bodyHave);
        if (dir.keepBody) dir.body.insert(dir.body.end(), data + at, data + at + take);
        at += take;
        dir.bodyHave += static_cast<uint32_t>(take);
        if (dir.bodyHave == dir.bodyLength) {
            dir.headerHave = 0;
            const unsigned char* body = dir.keepBody ? dir.body.data() : nullptr;
            if (!HandshakeMessage(d, dir.header[0], body, dir.keepBody ? dir.body.size() : 0))
                return false;
            if (dir.end != kNotEnded) return false;
        }
    }
    return true;
}

bool TlsConnection::HandshakeMessage(int d, unsigned char type, const unsigned char* body,
                                     size_t length) {
    Dir& dir = m_dirs[d];
    const bool ok = [&] {
        switch (type) {
            case 1:
                return d == kClient && !m_serverHelloSeen && ClientHello(body, length);
            case 2:
                return d == kServer && !m_serverHelloSeen && ServerHello(body, length);
            case 8:
                return d == kServer && EncryptedExtensions(body, length);
            case 20:
                dir.finishedSeen = true;
                return true;
            case 24:
                if (m_version != 0x0304 || !dir.applicationKeys || length != 1) return false;
                dir.keyUpdate = true;
                return true;
            default:
                // The first message of either side is its hello.
                return d == kClient ? m_clientHelloSeen : m_serverHelloSeen;
        }
    }();
    if (!ok) {
        Finish(d, kBadHandshake);
        return false;
    }
    return true;
}

namespace {

// A list of extensions: calls f(type, reader over the body) for each; false when they do not
// parse.
template <class F>
bool Extensions(ByteReader& r, F f) {
    if (r.Remaining() == 0) return true;  // none at all
    const size_t total = r.Be16();
    if (!r.Ok() || !r.Has(total)) return false;
    ByteReader list(r.Here(), total);
    while (list.Remaining() > 0) {
        const uint16_t type = list.Be16();
        const size_t length = list.Be16();
        if (!list.Ok() || !list.Has(length)) return false;
        ByteReader body(list.Here(), length);
        if (!f(type, body)) return false;
        list.Skip(length);
    }
    return true;
}

std::string Text(ByteReader& r, size_t length) {
    if (!r.Has(length)) {
        r.Skip(length);
        return {};
    }
    std::string s(reinterpret_cast<const char*>(r.Here()), length);
    r.Skip(length);
    return s;
}

// ALPN's list of protocol names.
bool AlpnList(ByteReader& body, std::vector<std::string>& out) {
    const size_t total = body.Be16();
    if (!body.Ok() || total != body.Remaining()) return false;
    while (body.Remaining() > 0) {
        const size_t n = body.U8();
        if (n == 0 || !body.Has(n)) return false;
        std::string name = Text(body, n);
        if (out.size() < 16) out.push_back(std::move(name));
    }
    return true;
}

}  // namespace

bool TlsConnection::ClientHello(const unsigned char* data, size_t length) {
    ByteReader r(data, length);
    r.Be16();  // legacy version
    if (!r.Has(32)) return false;
    const bool again = m_clientHelloSeen;  // after a retry request: the same random
    if (again && std::memcmp(m_clientRandom, r.Here(), 32) != 0) return false;
    std::memcpy(m_clientRandom, r.Here(), 32);
    r.Skip(32);
    const size_t session = r.U8();
    r.Skip(session);
    const size_t suites = r.Be16();
    r.Skip(suites);
    const size_t compression = r.U8();
    r.Skip(compression);
    if (!r.Ok() || session > 32 || suites < 2 || suites % 2 != 0 || compression < 1) return false;
    std::string serverName;
    std::vector<std::string> alpn;
    const bool ok = Extensions(r, [&](uint16_t type, ByteReader& body) {
        if (type == 0 && body.Remaining() > 0) {
            const size_t total = body.Be16();
            if (!body.Ok() || total != body.Remaining()) return false;
            while (body.Remaining() > 0) {
                const uint8_t nameType = body.U8();
                const size_t n = body.Be16();
                if (!body.Ok() || !body.Has(n)) return false;
                std::string name = Text(body, n);
                if (nameType == 0 && serverName.empty()) serverName = std::move(name);
            }
        } else if (type == 16) {
            return AlpnList(body, alpn);
        }
        return true;
    });
    if (!ok) return false;
    // A host name is letters, digits, dots and dashes; anything else is not shown.
    for (char c : serverName) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            serverName.clear();
            break;
        }
    }
    m_serverName = serverName;
    m_offeredAlpn = alpn;
    m_clientHelloSeen = true;
    return true;
}

bool TlsConnection::ServerHello(const unsigned char* data, size_t length) {
    ByteReader r(data, length);
    uint16_t version = r.Be16();
    if (!r.Has(32)) return false;
    const bool retry = std::memcmp(r.Here(), kRetryRandom, 32) == 0;
    std::memcpy(m_serverRandom, r.Here(), 32);
    r.Skip(32);
    const size_t session = r.U8();
    r.Skip(session);
    const uint16_t suite = r.Be16();
    r.U8();  // compression
    if (!r.Ok() || session > 32) return false;
    std::string alpn;
    const bool ok = Extensions(r, [&](uint16_t type, ByteReader& body) {
        if (type == 43) {
            version = body.Be16();
            return body.Ok();
        }
        if (type == 16) {
            std::vector<std::string> names;
            if (!AlpnList(body, names) || names.size() != 1) return false;
            alpn = names[0];
        }
        return true;
    });
    if (!ok) return false;
    if (retry) {
        m_retrySeen = true;  // a second ClientHello follows, then the real ServerHello
        return true;
    }
    m_version = version;
    m_suite = suite;
    m_selectedAlpn = alpn;
    m_serverHelloSeen = true;
    const Suite* s = FindSuite(suite);
    if (s == nullptr || (version != 0x0303 && version != 0x0304) ||
        s->tls13 != (version == 0x0304)) {
        Finish(kServer, kUnsupported);
        Finish(kClient, kUnsupported);
    }
    return true;
}

bool TlsConnection::EncryptedExtensions(const unsigned char* data, size_t length) {
    if (m_version != 0x0304) return false;
    ByteReader r(data, length);
    if (length < 2) return false;
    return Extensions(r, [&](uint16_t type, ByteReader& body) {
        if (type != 16) return true;
        std::vector<std::string> names;
        if (!AlpnList(body, names) || names.size() != 1) return false;
        m_selectedAlpn = names[0];
        return true;
    });
}
