// Recordings of real RTMP play sessions (tests/data/rtmp-*.pcap, made by
// scripts/captures/rtmp.sh) must hold exactly the media the server sent, checked with ffmpeg.

#include <dirent.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <sys/stat.h>
#include <unistd.h>
#include "netunpack/NetUnpack.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestFrames.h"
#include "common/LogOut.h"
#include "decoder/FlvWriter.h"
#include "decoder/RtmpCapture.h"
#include "decoder/VideoStreamDecoder.h"

namespace {

const char* const kAddress = "rtmp://127.0.0.1/live/stream1";

using rtmpcapture::ReadRtmpSegments;
using rtmpcapture::Segment;

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string text;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), p)) > 0) text.append(buffer, n);
    const int rc = pclose(p);
    if (status != nullptr) *status = rc;
    return text;
}

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

struct Packet {
    int stream;
    long dts;
    std::string size, hash;
};

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// What ffmpeg demuxes: the packets in file order (stream, dts, size and MD5 of the data), and
// per stream the header facts (codec, extradata size and MD5, picture size, sample rate...).
struct Demuxed {
    std::vector<Packet> packets;
    std::map<int, std::map<std::string, std::string>> streams;
    std::map<std::string, int> byType;  // "video"/"audio" -> stream number
};

Demuxed ParseFramemd5(const std::string& text) {
    Demuxed out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            // "#key N: value"
            const size_t space = line.find(' '), colon = line.find(':');
            if (space == std::string::npos || colon == std::string::npos || colon < space) continue;
            const std::string key = line.substr(1, space - 1);
            const std::string number = Trim(line.substr(space + 1, colon - space - 1));
            if (number.empty() || !isdigit(static_cast<unsigned char>(number[0]))) continue;
            const int stream = std::atoi(number.c_str());
            const std::string value = Trim(line.substr(colon + 1));
            out.streams[stream][key] = value;
            if (key == "media_type") out.byType[value] = stream;
            continue;
        }
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, ',')) f.push_back(Trim(field));
        if (f.size() < 6) continue;
        out.packets.push_back({std::stoi(f[0]), std::stol(f[1]), f[4], f[5]});
    }
    return out;
}

Demuxed Demux(const std::string& flv) {
    return ParseFramemd5(
        Shell("ffmpeg -v error -i '" + flv + "' -c copy -f framemd5 - 2>/dev/null"));
}

std::vector<Packet> OfStream(const std::vector<Packet>& all, int stream) {
    std::vector<Packet> out;
    for (const Packet& p : all) {
        if (p.stream == stream) out.push_back(p);
    }
    return out;
}

// Index of the source packet equal to p (size and data), from the start; -1 if none.
long Find(const std::vector<Packet>& src, const Packet& p) {
    for (size_t i = 0; i < src.size(); ++i)
        if (src[i].size == p.size && src[i].hash == p.hash) return static_cast<long>(i);
    return -1;
}

// The recording decodes cleanly; from its first packet, a key frame, on, every audio and video
// packet equals the served file's, none missing, timestamps rising with one constant offset.
// Returns the index of the first recorded video packet among the source's.
long CheckRecording(const std::string& rec, const std::string& source) {
    int status = 0;
    const std::string errors = Shell("ffmpeg -v error -i '" + rec + "' -f null - 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(errors, "") << rec;
    const std::string firstFlags = Shell(
        "ffprobe -v error -select_streams v -show_entries "
        "packet=flags -of csv=p=0 '" +
        rec + "' | head -1");
    EXPECT_EQ(firstFlags.substr(0, 1), "K") << "the recording starts with a key frame";

    const Demuxed r = Demux(rec), s = Demux(source);
    EXPECT_GT(r.packets.size(), 10u);
    if (r.byType.count("video") == 0 || r.byType.count("audio") == 0 ||
        s.byType.count("video") == 0 || s.byType.count("audio") == 0) {
        ADD_FAILURE() << "no video or no audio in " << rec;
        return -1;
    }
    // The decoder configurations (AVC and AAC sequence headers) are there and the same.
    for (const char* type : {"video", "audio"}) {
        const auto& a = r.streams.at(r.byType.at(type));
        const auto& b = s.streams.at(s.byType.at(type));
        for (const char* key :
             {"extradata", "codec_id", "dimensions", "sample_rate", "channel_layout_name"}) {
            const auto x = a.find(key), y = b.find(key);
            EXPECT_EQ(x == a.end() ? "-" : x->second, y == b.end() ? "-" : y->second)
                << type << " " << key;
        }
    }
    const std::vector<Packet> rv = OfStream(r.packets, r.byType.at("video")),
                              ra = OfStream(r.packets, r.byType.at("audio"));
    const std::vector<Packet> sv = OfStream(s.packets, s.byType.at("video")),
                              sa = OfStream(s.packets, s.byType.at("audio"));
    if (rv.empty() || ra.empty()) {
        ADD_FAILURE() << "no video or no audio in " << rec;
        return -1;
    }
    const long kv = Find(sv, rv[0]);
    const long ka = Find(sa, ra[0]);
    if (kv < 0 || ka < 0) {
        ADD_FAILURE() << "the first packets of " << rec << " are not in the source";
        return -1;
    }
    EXPECT_EQ(rv.size(), sv.size() - static_cast<size_t>(kv)) << "video packets lost at the end";
    EXPECT_EQ(ra.size(), sa.size() - static_cast<size_t>(ka)) << "audio packets lost at the end";
    const long offset = rv[0].dts - sv[static_cast<size_t>(kv)].dts;
    auto same = [offset](const std::vector<Packet>& got, const std::vector<Packet>& want, long k,
                         const char* what) {
        for (size_t i = 0; i < got.size() && static_cast<size_t>(k) + i < want.size(); ++i) {
            const Packet& a = got[i];
            const Packet& b = want[static_cast<size_t>(k) + i];
            ASSERT_EQ(a.size, b.size) << what << " packet " << i;
            ASSERT_EQ(a.hash, b.hash) << what << " packet " << i;
            ASSERT_EQ(a.dts - b.dts, offset) << what << " packet " << i << " timestamp";
            if (i > 0) {
                ASSERT_GT(a.dts, got[i - 1].dts) << what << " timestamps rise";
            }
        }
    };
    same(rv, sv, kv, "video");
    same(ra, sa, ka, "audio");
    // No audio after the key frame is missing.
    for (long i = 0; i < ka; ++i) {
        EXPECT_LE(sa[static_cast<size_t>(i)].dts, sv[static_cast<size_t>(kv)].dts)
            << "audio packet " << i << " after the key frame is missing";
    }
    return kv;
}

std::vector<std::string> FlvFiles(const std::string& folder) {
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return files;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        struct stat st {};
        const std::string path = folder + "/" + name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".flv" &&
            stat(path.c_str(), &st) == 0 && st.st_size > 0) {
            files.push_back(path);
        }
    }
    closedir(dir);
    return files;
}

enum class Request { BeforeStart, WhileRunning };

// Decodes every server-to-client direction of the capture from its client's connect on, as the
// analyser does, and hands the tags to the writer. Returns the recorded file, or "".
std::string Record(const std::string& pcap, Request when, size_t* largestBacklog = nullptr) {
    const std::vector<Segment> segments = ReadRtmpSegments(pcap);
    auto feed = [&](const std::function<void(const CZMemory*, int)>& onTag) {
        std::map<int, std::unique_ptr<CRtmp2H264AacDecoder>> decoders;
        std::set<int> connected;
        for (const Segment& s : segments) {
            if (!s.fromServer) {
                const std::string text(s.payload.begin(), s.payload.end());
                if (text.find("connect") != std::string::npos) connected.insert(s.clientPort);
                continue;
            }
            if (connected.count(s.clientPort) == 0) continue;
            auto& d = decoders[s.clientPort];
            if (!d) d = std::make_unique<CRtmp2H264AacDecoder>();
            for (const CZMemory* t =
                     d->DecodeToFlvTag(s.payload.data(), static_cast<int>(s.payload.size()));
                 t != nullptr; t = d->DecodeToFlvTag(nullptr, 0)) {
                onTag(t, s.clientPort);
            }
            if (largestBacklog != nullptr)
                *largestBacklog =
                    std::max(*largestBacklog, static_cast<size_t>(d->BufferedBytes()));
        }
    };
    size_t total = 0;
    feed([&](const CZMemory*, int) { ++total; });
    const size_t requestAt = when == Request::BeforeStart ? 0 : total * 2 / 5;
    size_t count = 0;
    if (requestAt == 0) AddRecordingRequest(std::string("--i ") + kAddress + " --o");
    feed([&](const CZMemory* t, int port) {
        if (++count == requestAt && requestAt > 0) {
            AddRecordingRequest(std::string("--i ") + kAddress + " --o");
        }
        OnRtmpTag(t->data, t->length, "127001", port, "127001", 1935, kAddress);
    });
    const std::vector<std::string> files = FlvFiles(GetAppDirectory() + "/Videos");
    EXPECT_EQ(files.size(), 1u) << "one recorded connection";
    return files.empty() ? std::string() : files[0];
}

class CaptureRecording : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (!Have("ffmpeg") || !Have("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
        home_ = testframes::TempFolder("rec");
        ASSERT_FALSE(home_.empty());
        setenv("STREVIX_HOME", home_.c_str(), 1);
        ResetRecordingForTest();
    }
    void TearDown() override {
        ResetRecordingForTest();
        if (!home_.empty()) Shell("rm -rf '" + home_ + "'");
    }
    std::string Pcap() const { return std::string(STREVIX_TEST_DATA) + "/" + GetParam() + ".pcap"; }
    std::string Source() const {
        return std::string(STREVIX_TEST_DATA) + "/" + GetParam() + ".flv";
    }
    std::string home_;
};

std::vector<std::string> Captures() {
    std::vector<std::string> names;
    DIR* dir = opendir(STREVIX_TEST_DATA);
    if (dir == nullptr) return names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("rtmp-", 0) != 0 || name.size() < 6 ||
            name.substr(name.size() - 5) != ".pcap")
            continue;
        name.resize(name.size() - 5);
        struct stat st {};
        // Only sessions whose served file is beside the capture.
        if (stat((std::string(STREVIX_TEST_DATA) + "/" + name + ".flv").c_str(), &st) == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Whether tcpdump missed segments of the server's direction (a loaded machine drops some): such a
// capture cannot give an exact recording, whatever the analyser does.
bool CaptureHasGaps(const std::string& path) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), error);
    if (p == nullptr) return true;
    bool gaps = false, started = false;
    uint32_t next = 0;
    struct pcap_pkthdr* h;
    const u_char* d;
    while (!gaps && pcap_next_ex(p, &h, &d) == 1) {
        CTCPNetUnpack u;
        u.SetData(d, static_cast<int>(h->caplen), 0);
        if (u.TCPHeader() == nullptr || u.SourcePort() != 1935 || u.PayloadLen() <= 0) continue;
        const unsigned char* t = u.TCPHeader();
        const uint32_t seq =
            uint32_t(t[4]) << 24 | uint32_t(t[5]) << 16 | uint32_t(t[6]) << 8 | t[7];
        if (started && static_cast<int32_t>(seq - next) > 0) gaps = true;
        if (!started || static_cast<int32_t>(seq + u.PayloadLen() - next) > 0)
            next = seq + static_cast<uint32_t>(u.PayloadLen());
        started = true;
    }
    pcap_close(p);
    return gaps;
}

}  // namespace

TEST_P(CaptureRecording, RequestBeforeTheStreamStartsRecordsAllOfIt) {
    size_t backlog = 0;
    const std::string rec = Record(Pcap(), Request::BeforeStart, &backlog);
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(CheckRecording(rec, Source()), 0) << "the recording starts at the first key frame";
    EXPECT_LT(backlog, 64u * 1024u);
}

TEST_P(CaptureRecording, RequestWhileTheStreamRunsRecordsFromTheNextKeyFrame) {
    const std::string rec = Record(Pcap(), Request::WhileRunning);
    ASSERT_FALSE(rec.empty());
    EXPECT_GT(CheckRecording(rec, Source()), 0);
}

TEST_P(CaptureRecording, StrevixCliRecordsTheSameFile) {
    const std::string cli = std::string(STREVIX_BUILD_DIR) + "/strevix-cli";
    if (access(cli.c_str(), X_OK) != 0) GTEST_SKIP() << "strevix-cli is not built";
    Shell("cp '" + std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll' '" + home_ + "/'");
    int status = 0;
    const std::string out = Shell("STREVIX_HOME='" + home_ + "' '" + cli + "' -r '" + Pcap() +
                                      "' --record " + kAddress + " 2>&1",
                                  &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out,
              testframes::ReadFile(std::string(STREVIX_TEST_DATA) + "/" + GetParam() + ".streams"));
    const std::vector<std::string> files = FlvFiles(home_ + "/Videos");
    // nginx's captures hold the encoder publishing to it as well: its connection carries the
    // address too, and what it sent is the same file.
    ASSERT_EQ(files.size(), GetParam().find("nginx") != std::string::npos ? 2u : 1u);
    for (const std::string& file : files) EXPECT_EQ(CheckRecording(file, Source()), 0) << file;
}

INSTANTIATE_TEST_SUITE_P(Sessions, CaptureRecording, ::testing::ValuesIn(Captures()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                             std::string name = param.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// About a minute of a real session, recorded at test time: nothing drifts, nothing piles up.
TEST(LongSession, MinuteRecordingStaysExact) {
    if (geteuid() != 0 || !Have("ip") || !Have("ss") || !Have("tcpdump") || !Have("ffmpeg") ||
        !Have("ffprobe")) {
        GTEST_SKIP() << "needs root, ip, ss, tcpdump and ffmpeg";
    }
    const std::string probe = "strevix-probe-" + std::to_string(getpid());
    if (std::system(("ip netns add " + probe + " 2>/dev/null && ip netns del " + probe).c_str()) !=
        0)
        GTEST_SKIP() << "network namespaces cannot be made here";
    const std::string work = testframes::TempFolder("long");
    ASSERT_FALSE(work.empty());
    // A capture that lost segments is made again once; twice lost, the machine is too loaded.
    for (int attempt = 0;; ++attempt) {
        int status = 0;
        const std::string log =
            Shell("bash '" + std::string(STREVIX_SOURCE_DIR) +
                      "/scripts/captures/rtmp.sh' --out '" + work + "' --seconds 60 rtmp-long 2>&1",
                  &status);
        ASSERT_EQ(status, 0) << log;
        if (!CaptureHasGaps(work + "/rtmp-long.pcap")) break;
        if (attempt == 1) GTEST_SKIP() << "tcpdump lost segments of the session twice";
    }
    const std::string home = work + "/home";
    ASSERT_TRUE(mkdir(home.c_str(), 0755) == 0);
    setenv("STREVIX_HOME", home.c_str(), 1);
    ResetRecordingForTest();
    size_t backlog = 0;
    const std::string rec = Record(work + "/rtmp-long.pcap", Request::BeforeStart, &backlog);
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(CheckRecording(rec, work + "/rtmp-long.flv"), 0);
    EXPECT_LT(backlog, 64u * 1024u);
    // The recording has no metadata tag: its length is the time of its last packet.
    const std::string duration =
        Shell("ffprobe -v error -show_entries packet=dts_time -of csv=p=0 '" + rec +
              "' | sort -g | tail -1");
    EXPECT_GT(std::atof(duration.c_str()), 59.0) << duration;
    ResetRecordingForTest();
    Shell("rm -rf '" + work + "'");
}

// ---- Sessions whose truth is what the player wrote: NAME.framemd5 (or NAME.N.framemd5, one per
// connection in capture order) beside captures taken on the client's side of an impaired link,
// with other players, or spoiled on purpose (scripts/captures/rtmp.sh). The clean sessions, whose
// truth is the served NAME.flv, go through the same comparison, so a failure here is the
// recorder's and not the comparison's.

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string DataFile(const std::string& name) {
    return std::string(STREVIX_TEST_DATA) + "/" + name;
}

// The client ports of the capture's connections to port 1935, in the order they appear.
std::vector<int> ConnectionOrder(const std::string& pcap) {
    std::vector<int> ports;
    for (const Segment& s : ReadRtmpSegments(pcap)) {
        if (std::find(ports.begin(), ports.end(), s.clientPort) == ports.end())
            ports.push_back(s.clientPort);
    }
    return ports;
}

// Recordings are named after their connection (client address and port, server address and
// port): put them in the capture's connection order.
std::vector<std::string> InConnectionOrder(std::vector<std::string> files,
                                           const std::vector<int>& ports) {
    auto rank = [&ports](const std::string& path) {
        const std::string name = path.substr(path.rfind('/') + 1);
        for (size_t i = 0; i < ports.size(); ++i)
            if (name.find(std::to_string(ports[i])) != std::string::npos) return i;
        return ports.size();
    };
    std::stable_sort(
        files.begin(), files.end(),
        [&rank](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
    return files;
}

// How a recording's packets of one stream stand against the truth's: how many are found in it
// in order, and where the first one that is not (or the first difference, for an exact match).
struct Match {
    size_t recorded = 0, truth = 0, found = 0;
    long firstStray = -1;   // first recorded packet not found in order in the truth
    long firstDiffer = -1;  // first index where the two lists differ
    bool sameLast = false;
};

Match Compare(const std::vector<Packet>& rec, const std::vector<Packet>& truth) {
    Match m;
    m.recorded = rec.size();
    m.truth = truth.size();
    size_t t = 0;
    for (size_t i = 0; i < rec.size(); ++i) {
        size_t j = t;
        while (j < truth.size() && (truth[j].size != rec[i].size || truth[j].hash != rec[i].hash))
            ++j;
        if (j == truth.size()) {
            if (m.firstStray < 0) m.firstStray = static_cast<long>(i);
            continue;
        }
        ++m.found;
        t = j + 1;
    }
    const size_t n = std::min(rec.size(), truth.size());
    for (size_t i = 0; i < n && m.firstDiffer < 0; ++i)
        if (rec[i].size != truth[i].size || rec[i].hash != truth[i].hash)
            m.firstDiffer = static_cast<long>(i);
    if (m.firstDiffer < 0 && rec.size() != truth.size()) m.firstDiffer = static_cast<long>(n);
    m.sameLast = !rec.empty() && !truth.empty() && rec.back().size == truth.back().size &&
                 rec.back().hash == truth.back().hash;
    return m;
}

std::string Describe(const char* type, const Match& m) {
    std::ostringstream s;
    s << type << ": " << m.found << " of " << m.truth << " kept, " << m.recorded << " recorded";
    if (m.firstStray >= 0) s << ", recorded packet " << m.firstStray << " is not in the truth";
    if (m.firstDiffer >= 0) s << ", first difference at " << m.firstDiffer;
    return s.str();
}

class ClientTruth : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (!Have("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
        cli_ = std::string(STREVIX_BUILD_DIR) + "/strevix-cli";
        if (access(cli_.c_str(), X_OK) != 0) GTEST_SKIP() << "strevix-cli is not built";
        home_ = testframes::TempFolder("truth");
        ASSERT_FALSE(home_.empty());
        Shell("cp '" + std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll' '" + home_ + "/'");
    }
    void TearDown() override {
        if (!home_.empty()) Shell("rm -rf '" + home_ + "'");
    }

    // The truths, one per connection: the player's framemd5 files, or the served file.
    std::vector<Demuxed> Truths() const {
        const std::string name = GetParam();
        std::vector<Demuxed> truths;
        if (Exists(DataFile(name + ".framemd5"))) {
            truths.push_back(ParseFramemd5(testframes::ReadFile(DataFile(name + ".framemd5"))));
        } else if (Exists(DataFile(name + ".1.framemd5"))) {
            for (int i = 1; Exists(DataFile(name + "." + std::to_string(i) + ".framemd5")); ++i)
                truths.push_back(ParseFramemd5(
                    testframes::ReadFile(DataFile(name + "." + std::to_string(i) + ".framemd5"))));
        } else {
            truths.push_back(Demux(DataFile(name + ".flv")));
        }
        return truths;
    }

    // Records the stream of the capture's first line with strevix-cli; the files, in connection
    // order.
    std::vector<std::string> RecordAll() {
        const std::string name = GetParam(), pcap = DataFile(name + ".pcap");
        std::string address = testframes::ReadFile(DataFile(name + ".streams"));
        address = address.substr(0, address.find('\n'));
        if (address.rfind("RTMP-", 0) == 0) address = address.substr(5);
        int status = 0;
        const std::string out = Shell("STREVIX_HOME='" + home_ + "' '" + cli_ + "' -r '" + pcap +
                                          "' --record '" + address + "' 2>&1 >/dev/null",
                                      &status);
        EXPECT_EQ(status, 0) << out;
        return InConnectionOrder(FlvFiles(home_ + "/Videos"), ConnectionOrder(pcap));
    }

    std::string cli_, home_;
};

std::vector<std::string> TruthCaptures() {
    std::vector<std::string> names;
    DIR* dir = opendir(STREVIX_TEST_DATA);
    if (dir == nullptr) return names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("rtmp-", 0) != 0 || name.size() < 6 ||
            name.substr(name.size() - 5) != ".pcap")
            continue;
        name.resize(name.size() - 5);
        if (Exists(DataFile(name + ".framemd5")) || Exists(DataFile(name + ".1.framemd5")) ||
            Exists(DataFile(name + ".flv")))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The lines of a file that are not '#' comments: the deleted segments of NAME.gaps, or the
// count of NAME.unwritten.
std::vector<std::string> DataLines(const std::string& path) {
    std::istringstream lines(testframes::ReadFile(path));
    std::vector<std::string> out;
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line[0] != '#') out.push_back(line);
    return out;
}

}  // namespace

// Every connection's recording holds exactly what its player wrote, stream by stream, and
// decodes without a word from ffmpeg; NAME.unwritten gives the number of packets a player
// received at the very end but did not write (GStreamer's rtmp2src holds the last message
// back), which the recording must have beyond the truth. A capture with deleted segments
// (NAME.gaps) is held to less: each recorded packet is one of the truth's, in order, none corrupt;
// the recording runs to the end; and it keeps all but what the gaps cost (the messages touching the
// deleted bytes or open across them, and the video from the gap up to the next key frame, worked
// out per gap from the clean session).
TEST_P(ClientTruth, RecordingHoldsWhatThePlayerGot) {
    const std::vector<Demuxed> truths = Truths();
    const std::vector<std::string> files = RecordAll();
    const std::string gapsFile = DataFile(GetParam() + ".gaps");
    const bool gaps = Exists(gapsFile);
    const std::string unwrittenFile = DataFile(GetParam() + ".unwritten");
    const std::vector<std::string> unwrittenLines =
        Exists(unwrittenFile) ? DataLines(unwrittenFile) : std::vector<std::string>();
    const size_t unwritten = unwrittenLines.empty() ? 0 : std::stoul(unwrittenLines[0]);
    size_t kept = 0, total = 0, extra = 0;
    std::ostringstream report;
    EXPECT_EQ(files.size(), truths.size()) << "one recording per connection";
    for (size_t c = 0; c < truths.size(); ++c) {
        const Demuxed& truth = truths[c];
        const Demuxed rec = c < files.size() ? Demux(files[c]) : Demuxed();
        bool runsToTheEnd = false;
        for (const char* type : {"video", "audio"}) {
            ASSERT_EQ(truth.byType.count(type), 1u) << "truth " << c + 1 << " has no " << type;
            const std::vector<Packet> want = OfStream(truth.packets, truth.byType.at(type));
            const std::vector<Packet> got = rec.byType.count(type) != 0
                                                ? OfStream(rec.packets, rec.byType.at(type))
                                                : std::vector<Packet>();
            const Match m = Compare(got, want);
            kept += m.found;
            total += m.truth;
            report << "\n  connection " << c + 1 << " " << Describe(type, m);
            if (gaps) {
                EXPECT_LT(m.firstStray, 0) << "connection " << c + 1 << " " << type
                                           << ": a recorded packet is not the truth's";
                // Video may end early where a gap took the last key frame; the recording as
                // a whole must not.
                runsToTheEnd = runsToTheEnd || m.sameLast;
            } else if (unwritten > 0) {
                // The truth is what the player wrote of what it received: a prefix.
                EXPECT_TRUE(m.firstDiffer < 0 || m.firstDiffer == static_cast<long>(want.size()))
                    << "connection " << c + 1 << " " << type << " differs from the truth";
                extra += got.size() > want.size() ? got.size() - want.size() : 0;
            } else {
                EXPECT_LT(m.firstDiffer, 0)
                    << "connection " << c + 1 << " " << type << " differs from the truth";
            }
        }
        if (gaps) {
            EXPECT_TRUE(runsToTheEnd) << "connection " << c + 1 << " stops before the end";
        }
        if (c < files.size()) {
            const std::string errors =
                Shell("ffmpeg -v error -i '" + files[c] + "' -f null - 2>&1");
            EXPECT_EQ(errors, "") << "connection " << c + 1;
        }
    }
    std::printf("%s: %zu of %zu packets kept%s\n", GetParam().c_str(), kept, total,
                report.str().c_str());
    if (gaps) {
        // The fifth field of each gap: the packets it may cost (scripts/captures/damage.py).
        size_t allowed = 0;
        for (const std::string& line : DataLines(gapsFile)) {
            std::istringstream fields(line);
            std::string frame, relative, seq, length;
            size_t cost = 0;
            EXPECT_TRUE(fields >> frame >> relative >> seq >> length >> cost) << line;
            allowed += cost;
        }
        EXPECT_GE(kept + allowed, total) << "more lost than " << allowed << " packets";
    } else {
        EXPECT_EQ(kept, total);
        EXPECT_EQ(extra, unwritten) << "packets beyond what the player wrote";
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, ClientTruth, ::testing::ValuesIn(TruthCaptures()),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                             std::string name = param.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });
