#pragma once
// Rebuilds HTTP-carried streams from the responses seen on the wire: an HLS playlist's segments
// joined in media-sequence order (MPEG-TS into .ts, fMP4 after its init section into .mp4), an
// HTTP-FLV body, a progressive file (.ts, .mp4) with partial responses at their offsets.
//
// Files go to the videos folder as <digest>-<label>.<ext>: digest is the first 16 hexadecimal
// digits of the MD5 of the address, label the last path segment of the address without its
// extension, cut to letters, digits, '_' and '-' (at most 24; "stream" when nothing is left).
// No byte of the address can make the name a path.

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "http/HttpReader.h"

class HttpStreamRecorder : public HttpExchangeSink {
  public:
    // Bounds that keep a hostile capture from holding memory.
    static constexpr size_t kMaxPlaylistBytes = size_t{4} << 20;
    static constexpr size_t kMaxSegmentIndex = 200000;
    static constexpr size_t kMaxRecordings = 1024;
    static constexpr size_t kMaxRanges = 4096;
    // Segments waiting for a playlist to name them, and for a segment before them to finish.
    static constexpr size_t kMaxHeldBytes = size_t{32} << 20;
    // Playlist texts and FLV tags being read, all bodies together.
    static constexpr size_t kMaxBufferedBytes = size_t{64} << 20;

    explicit HttpStreamRecorder(std::string videoFolder);
    ~HttpStreamRecorder() override;
    HttpStreamRecorder(const HttpStreamRecorder&) = delete;
    HttpStreamRecorder& operator=(const HttpStreamRecorder&) = delete;

    // The addresses asked for, and whether every HLS-labelled address is.
    void SetRequests(const std::vector<std::string>& addresses, bool all);
    bool Active() const { return m_all || !m_requested.empty(); }

    HttpBodySink* OnResponse(const HttpRequest& request, const HttpResponseHead& head) override;
    // The capture is over: holes and what was held but never placed are reported.
    void Finish();

    // The file name an address is recorded under (without the folder).
    static std::string FileName(const std::string& address, const char* extension);
    // Paths written so far, in the order they were started.
    const std::vector<std::string>& Paths() const { return m_paths; }
    size_t HeldBytes() const { return m_heldBytes; }
    size_t BufferedBytes() const { return m_bufferedBytes; }

    struct Playlist;
    struct Progressive;
    class Body;

  private:
    friend class Body;
    enum Kind { kNone, kPlaylist, kFlv, kMp4, kTs };
    static Kind KindOf(const std::string& target);
    bool Wanted(const std::string& address, Kind kind) const;
    void PlaylistDone(const std::string& address, const std::string& text);
    Playlist* PlaylistFor(const std::string& address);
    Progressive* ProgressiveFor(const std::string& address, const char* extension);
    // Opens a new file for an address; null (logged) when it cannot be.
    FILE* OpenFile(const std::string& address, const char* extension, std::string* path);
    void SegmentDone(Body* body, bool complete);
    void WriteHeld(Playlist& p);
    void DropBody(Body* body);
    void DropOldestUnplaced();

    std::string m_folder;
    std::set<std::string> m_requested;
    bool m_all = false;
    std::set<std::string> m_variants;  // playlists named by a recorded master
    std::map<std::string, std::unique_ptr<Playlist>> m_playlists;
    std::map<std::string, std::unique_ptr<Progressive>> m_progressive;
    struct SegmentRef {
        Playlist* playlist;
        int64_t sequence;  // INT64_MIN for the init section
        bool encrypted;
    };
    std::unordered_map<std::string, SegmentRef> m_segments;
    std::set<std::string> m_hosts;                // of recorded playlists, for held responses
    std::vector<std::unique_ptr<Body>> m_bodies;  // in flight or held
    size_t m_heldBytes = 0;
    size_t m_bufferedBytes = 0;
    std::vector<std::string> m_paths;
    int m_flvFiles = 0;
    size_t m_watchedFlv = 0;  // FLV responses followed before anyone asked for them
};
