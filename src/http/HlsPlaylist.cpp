#include "http/HlsPlaylist.h"

#include <cstring>

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The quoted value of attribute `name` in an attribute list, or the bare one.
std::string Attribute(const std::string& line, const char* name) {
    const std::string key = std::string(name) + "=";
    size_t at = 0;
    while ((at = line.find(key, at)) != std::string::npos) {
        // Whole attribute names only: after ':' or ','.
        if (at > 0 && line[at - 1] != ':' && line[at - 1] != ',') {
            at += key.size();
            continue;
        }
        size_t from = at + key.size();
        if (from < line.size() && line[from] == '"') {
            const size_t end = line.find('"', from + 1);
            if (end == std::string::npos) return std::string();
            return line.substr(from + 1, end - from - 1);
        }
        const size_t end = line.find(',', from);
        return line.substr(from, end == std::string::npos ? std::string::npos : end - from);
    }
    return std::string();
}

// Removes "." and ".." segments of a path that starts with '/'; never above the root.
std::string RemoveDots(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 1;
    bool trailing = false;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(at, end - at);
        trailing = false;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            trailing = true;
        } else if (part == ".") {
            trailing = true;
        } else {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string& p : parts) out += "/" + p;
    if (out.empty() || trailing) out += "/";
    return out;
}

}  // namespace

HlsPlaylist ParseHlsPlaylist(const char* text, size_t length) {
    HlsPlaylist p;
    if (text == nullptr) return p;
    size_t at = 0;
    // A byte-order mark may lead.
    if (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) at = 3;
    bool first = true;
    bool inf = false, streamInf = false;
    bool encrypted = false;
    std::string map;
    int64_t next = 0;
    while (at < length) {
        const char* nl = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
        const size_t end = nl != nullptr ? static_cast<size_t>(nl - text) : length;
        std::string line(text + at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t lead = 0;
        while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
        line.erase(0, lead);
        if (line.empty()) continue;
        if (first) {
            if (line != "#EXTM3U") return p;
            p.valid = true;
            first = false;
            continue;
        }
        if (line[0] == '#') {
            if (StartsWith(line, "#EXT-X-MEDIA-SEQUENCE:")) {
                int64_t v = 0;
                bool digits = false;
                for (size_t i = 22; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
                    if (v > (int64_t{1} << 50)) break;
                    v = v * 10 + (line[i] - '0');
                    digits = true;
                }
                if (digits && p.segments.empty()) {
                    p.mediaSequence = v;
                    next = v;
                }
            } else if (StartsWith(line, "#EXTINF:")) {
                inf = true;
            } else if (StartsWith(line, "#EXT-X-STREAM-INF:")) {
                streamInf = true;
                p.master = true;
            } else if (StartsWith(line, "#EXT-X-MEDIA:")) {
                const std::string uri = Attribute(line, "URI");
                if (!uri.empty() && uri.size() <= HlsPlaylist::kMaxUri &&
                    p.variants.size() < HlsPlaylist::kMaxEntries) {
                    p.variants.push_back(uri);
                }
            } else if (StartsWith(line, "#EXT-X-MAP:")) {
                map = Attribute(line, "URI");
                if (map.size() > HlsPlaylist::kMaxUri) map.clear();
            } else if (StartsWith(line, "#EXT-X-KEY:")) {
                const std::string method = Attribute(line, "METHOD");
                encrypted = !method.empty() && method != "NONE";
            } else if (line == "#EXT-X-ENDLIST") {
                p.endList = true;
            }
            continue;
        }
        // A URI line.
        if (line.size() > HlsPlaylist::kMaxUri) {
            inf = streamInf = false;
            ++next;
            continue;
        }
        if (streamInf || (p.master && !inf)) {
            if (p.variants.size() < HlsPlaylist::kMaxEntries) p.variants.push_back(line);
            streamInf = false;
            continue;
        }
        if (p.segments.size() < HlsPlaylist::kMaxEntries) {
            HlsSegment s;
            s.sequence = next;
            s.uri = line;
            s.mapUri = map;
            s.encrypted = encrypted;
            p.segments.push_back(std::move(s));
        }
        ++next;
        inf = false;
    }
    return p;
}

std::string ResolveUri(const std::string& base, const std::string& reference) {
    if (reference.empty()) return std::string();
    const size_t scheme = base.find("://");
    if (scheme == std::string::npos) return std::string();
    const size_t pathStart = base.find('/', scheme + 3);
    const std::string origin = base.substr(0, pathStart);  // scheme and authority
    std::string path;
    const size_t refScheme = reference.find("://");
    if (refScheme != std::string::npos && reference.find_first_of("/?") > refScheme) {
        // Absolute already: its own origin, its path made clean.
        const size_t refPath = reference.find('/', refScheme + 3);
        if (refPath == std::string::npos) return reference + "/";
        const std::string refOrigin = reference.substr(0, refPath);
        const std::string rest = reference.substr(refPath);
        const size_t q = rest.find('?');
        return refOrigin + RemoveDots(rest.substr(0, q)) +
               (q == std::string::npos ? std::string() : rest.substr(q));
    }
    if (StartsWith(reference, "//")) {
        return ResolveUri(base, base.substr(0, scheme + 1) + reference);
    }
    std::string refPath = reference, query;
    const size_t q = reference.find('?');
    if (q != std::string::npos) {
        refPath = reference.substr(0, q);
        query = reference.substr(q);
    }
    if (StartsWith(refPath, "/")) {
        path = refPath;
    } else {
        std::string basePath = pathStart == std::string::npos ? "/" : base.substr(pathStart);
        const size_t bq = basePath.find('?');
        if (bq != std::string::npos) basePath.resize(bq);
        // A bare query keeps the base's whole path.
        if (!refPath.empty()) basePath.resize(basePath.rfind('/') + 1);
        path = basePath + refPath;
    }
    return origin + RemoveDots(path) + query;
}
