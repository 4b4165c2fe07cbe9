#pragma once
// HLS playlists: the segments of a media playlist with their media sequence numbers, or the
// variants of a master playlist; and the resolution of their URIs.

#include <cstdint>
#include <string>
#include <vector>

struct HlsSegment {
    int64_t sequence = 0;
    std::string uri;         // as written in the playlist
    std::string mapUri;      // the EXT-X-MAP init section in force, if any
    bool encrypted = false;  // an EXT-X-KEY other than NONE is in force
};

struct HlsPlaylist {
    // Bounds over what one playlist may name.
    static constexpr size_t kMaxEntries = 100000;
    static constexpr size_t kMaxUri = 4096;

    bool valid = false;  // began with #EXTM3U
    bool master = false;
    bool endList = false;
    int64_t mediaSequence = 0;
    std::vector<HlsSegment> segments;
    std::vector<std::string> variants;  // EXT-X-STREAM-INF URIs, in order
};

// Parses a playlist's text; entries beyond the bounds are left out.
HlsPlaylist ParseHlsPlaylist(const char* text, size_t length);

// A URI of a playlist made absolute against the playlist's own address ("http://host/path?q"):
// absolute URIs stay, "/x" keeps the host, others replace the last path segment. Dot segments
// are removed; the reference's query is kept. Empty when it cannot be resolved.
std::string ResolveUri(const std::string& base, const std::string& reference);
