// Both directions of one HTTP connection through the exchange reader into the recorder, with
// gaps and ends where the input says; and the same bytes as an HLS playlist, its URIs resolved.
//
// Input: one byte of switches, then chunks (2-byte length, see SplitChunks) whose first byte says
// what the rest is: 0 client bytes, 1 server bytes, 2 a gap in the server's bytes, 3 a gap in
// the client's, 4 the server's end.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "http/HlsPlaylist.h"
#include "http/HttpReader.h"
#include "http/HttpRecorder.h"

namespace {

volatile size_t g_sink;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Only plain files in the videos folder, named as the recorder names them.
void CheckFolder(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        Check(lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode),
              "something other than a file in Videos");
        Check(name.find('/') == std::string::npos && name[0] != '.', "a name that is a path");
    }
    closedir(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const std::string videos = fuzzsupport::AppFolder() + "/Videos";
    {
        HttpStreamRecorder recorder(videos);
        recorder.SetRequests(
            {"http://h/a.m3u8", "http://h/v.flv", "http://h/p.mp4", "http://h/x.ts"},
            (data[0] & 1) != 0);
        HttpConnectionReader reader(&recorder);
        for (const auto& chunk : fuzzsupport::SplitChunks(data + 1, size - 1)) {
            if (chunk.second == 0) continue;
            fuzzsupport::ExactCopy bytes(chunk.first + 1, chunk.second - 1);
            const size_t n = chunk.second - 1;
            switch (chunk.first[0] % 5) {
                case 0:
                    reader.OnClientBytes(bytes.data(), n);
                    break;
                case 1:
                    reader.OnServerBytes(bytes.data(), n);
                    break;
                case 2:
                    reader.OnServerGap(n * 1000 + 1);
                    break;
                case 3:
                    reader.OnClientGap(n + 1);
                    break;
                case 4:
                    reader.OnServerEnd();
                    break;
            }
            Check(reader.PendingRequests() <= HttpConnectionReader::kMaxPendingRequests,
                  "requests beyond the bound");
            Check(recorder.HeldBytes() <= HttpStreamRecorder::kMaxHeldBytes,
                  "held bytes beyond the cap");
        }
        reader.OnServerEnd();
        recorder.Finish();
    }
    CheckFolder(videos);
    fuzzsupport::EmptyFolder(videos);

    const HlsPlaylist p = ParseHlsPlaylist(reinterpret_cast<const char*>(data), size);
    Check(p.segments.size() <= HlsPlaylist::kMaxEntries, "segments beyond the bound");
    size_t total = 0;
    for (const HlsSegment& s : p.segments) {
        const std::string r = ResolveUri("http://h/d/a.m3u8?t=1", s.uri);
        Check(r.empty() || r.find("://") != std::string::npos, "a resolved URI without a scheme");
        // The path, after the authority (which "//../x" may fill with dots) and before the query.
        const size_t scheme = r.find("://");
        const size_t path =
            scheme == std::string::npos ? std::string::npos : r.find('/', scheme + 3);
        const std::string tail =
            path == std::string::npos ? "" : r.substr(path, r.find('?', path) - path);
        Check(tail.find("/../") == std::string::npos && tail.find("/./") == std::string::npos,
              "a dot segment left in a resolved path");
        const std::string name = HttpStreamRecorder::FileName(r, ".ts");
        Check(name.find('/') == std::string::npos && name[0] != '.', "a file name that is a path");
        total += r.size();
    }
    g_sink = total + p.variants.size();
    return 0;
}
