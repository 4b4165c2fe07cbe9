#include "common/TextConvert.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/Exception.h"

const char* const kAnsiCodePage = "UTF-8";

namespace {

// Code points travel as UTF-32LE between the two steps, like UTF-16 on the original platform.
const char* const kWide = "UTF-32LE";
const char32_t kReplacement = 0xFFFD;

class Iconv {
  public:
    Iconv(const char* to, const char* from, const char* function) {
        m_cd = iconv_open(to, from);
        if (m_cd == reinterpret_cast<iconv_t>(-1)) {
            STREVIX_THROW(std::string("unknown code page: ") + from + " -> " + to, function);
        }
    }
    ~Iconv() { iconv_close(m_cd); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // One call of iconv; returns its result and leaves errno as iconv set it.
    size_t Run(const char** in, size_t* inLeft, char** out, size_t* outLeft) {
        return iconv(m_cd, const_cast<char**>(in), inLeft, out, outLeft);
    }
    void ResetState() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }
    void Flush(char** out, size_t* outLeft) { iconv(m_cd, nullptr, nullptr, out, outLeft); }

  private:
    iconv_t m_cd;
};

void AppendCodePoint(std::vector<char32_t>& points, const char* bytes) {
    char32_t c = static_cast<unsigned char>(bytes[0]) |
                 (static_cast<char32_t>(static_cast<unsigned char>(bytes[1])) << 8) |
                 (static_cast<char32_t>(static_cast<unsigned char>(bytes[2])) << 16) |
                 (static_cast<char32_t>(static_cast<unsigned char>(bytes[3])) << 24);
    points.push_back(c);
}

// Text in `codePage` to code points; each undecodable byte becomes U+FFFD.
std::vector<char32_t> Decode(const char* text, const char* codePage, const char* function) {
    Iconv cd(kWide, codePage, function);
    std::vector<char32_t> points;
    const char* in = text;
    size_t inLeft = std::strlen(text);
    char buffer[1024];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof(buffer);
        const size_t result = cd.Run(&in, &inLeft, &out, &outLeft);
        const int error = result == static_cast<size_t>(-1) ? errno : 0;
        for (const char* p = buffer; p + 4 <= out; p += 4) AppendCodePoint(points, p);
        if (error == EILSEQ || error == EINVAL) {
            // Invalid, or cut off at the end: replace one byte and go on after it.
            points.push_back(kReplacement);
            ++in;
            --inLeft;
            cd.ResetState();
        } else if (error != 0 && error != E2BIG) {
            break;
        }
    }
    return points;
}

// Code points to `codePage`; what it cannot hold becomes its default character "?".
std::string Encode(const std::vector<char32_t>& points, const char* codePage,
                   const char* function) {
    Iconv cd(codePage, kWide, function);
    std::vector<char> wide;
    wide.reserve(points.size() * 4);
    for (char32_t c : points) {
        for (int shift = 0; shift < 32; shift += 8) wide.push_back(static_cast<char>(c >> shift));
    }
    std::string text;
    const char* in = wide.data();
    size_t inLeft = wide.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* out = buffer;
        size_t outLeft = sizeof(buffer);
        const size_t result = cd.Run(&in, &inLeft, &out, &outLeft);
        const int error = result == static_cast<size_t>(-1) ? errno : 0;
        text.append(buffer, static_cast<size_t>(out - buffer));
        if (error == EILSEQ || error == EINVAL) {
            text += '?';
            const size_t skip = inLeft < 4 ? inLeft : 4;
            in += skip;
            inLeft -= skip;
        } else if (error != 0 && error != E2BIG) {
            break;
        }
    }
    // Stateful encodings end with their shift back to the initial state.
    char* out = buffer;
    size_t outLeft = sizeof(buffer);
    cd.Flush(&out, &outLeft);
    text.append(buffer, static_cast<size_t>(out - buffer));
    return text;
}

}  // namespace

std::string Utf8ToAnsi(const char* utf8, const char* codePage) {
    if (utf8 == nullptr) return std::string();
    return Encode(Decode(utf8, "UTF-8", "Utf8ToAnsi"), codePage, "Utf8ToAnsi");
}

char* AnsiToUtf8(const char* ansi, const char* codePage) {
    if (ansi == nullptr) return nullptr;
    const std::string utf8 = Encode(Decode(ansi, codePage, "AnsiToUtf8"), "UTF-8", "AnsiToUtf8");
    char* result = new char[utf8.size() + 1]();
    std::memcpy(result, utf8.data(), utf8.size());
    return result;
}

std::string Utf8ToAnsi(const char* utf8) {
    return Utf8ToAnsi(utf8, kAnsiCodePage);
}

char* AnsiToUtf8(const char* ansi) {
    return AnsiToUtf8(ansi, kAnsiCodePage);
}
