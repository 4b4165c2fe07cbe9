// strevix-cli: the stream-address analyser without a window.

#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Version.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "cli/CliReportWindow.h"
#include "common/Exception.h"
#include "common/LogOut.h"
#include "database/SqliteDataBase.h"
#include "decoder/FlvWriter.h"
#include "session/CaptureSession.h"

namespace {

const char* kUsage =
    "usage: strevix-cli (-r FILE | [-i IFACE]... [-B KIB]) [--record ADDRESS]... [--record-all] "
    "[--sightings] "
    "[--json] [--tls-keylog FILE]...";

struct Options {
    std::string file;
    std::vector<std::string> interfaces;
    std::vector<std::string> records;
    std::vector<std::string> keyLogs;
    long bufferKiB = 0;  // 0: the default capture buffer
    bool sightings = false;
    bool json = false;
    bool recordAll = false;
};

void PrintHelp() {
    std::printf(
        "%s\n\n"
        "Finds the addresses of video streams (RTMP, RTSP, HTTP/HLS) in network traffic.\n\n"
        "  -r FILE            analyse a capture file to its end, then exit\n"
        "  -i IFACE           capture live on IFACE (repeatable); without -r or -i, every\n"
        "                     interface with an IPv4 address, until SIGINT or SIGTERM\n"
        "  -B KIB             the kernel's capture buffer of each interface, in KiB\n"
        "                     (default 65536), and as much again for frames waiting for\n"
        "                     the analysis; on exit the packets captured and dropped are\n"
        "                     printed on stderr, and every few seconds while drops rise\n"
        "  --record ADDRESS   record the stream ADDRESS into Videos/ in the application folder\n"
        "                     (repeatable): RTMP to <connection>.flv; HLS playlists (.m3u8)\n"
        "                     as their segments joined into one .ts or .mp4, HTTP-FLV (.flv)\n"
        "                     and progressive files (.ts, .mp4) as their bodies, each under\n"
        "                     <digest of the address>-<name>.<ext>; RTSP (any address its\n"
        "                     session carried) to <connection>.mkv\n"
        "  --record-all       record every RTMP, HLS and RTSP stream found\n"
        "  --sightings        print every sighting instead of each new stream\n"
        "  --json             one JSON object a line: list, number, protocol, address\n"
        "  --tls-keylog FILE  read TLS sessions (HTTPS, RTMPS) with the secrets of this key\n"
        "                     log, as browsers, curl and ffmpeg write it to SSLKEYLOGFILE\n"
        "                     (repeatable; read again as it grows)\n"
        "  -h, --help         this text\n"
        "  --version          the version\n\n"
        "Each new stream is printed as one line: PROTOCOL-address.\n"
        "Live capture needs CAP_NET_RAW and CAP_NET_ADMIN (or root).\n",
        kUsage);
}

// 0 parsed, 1 done (help/version), 2 usage error.
int ParseArguments(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            PrintHelp();
            return 1;
        } else if (a == "--version") {
            std::printf("strevix-cli " STREVIX_VERSION "\n");
            return 1;
        } else if (a == "-r") {
            if (!value(&v) || !o->file.empty()) return 2;
            o->file = v;
        } else if (a == "-i") {
            if (!value(&v)) return 2;
            o->interfaces.push_back(v);
        } else if (a == "-B") {
            if (!value(&v) || v.empty() || v.size() > 7 ||
                v.find_first_not_of("0123456789") != std::string::npos) {
                return 2;
            }
            o->bufferKiB = std::stol(v);
            if (o->bufferKiB <= 0 || o->bufferKiB > (1L << 21)) return 2;  // up to 2 GiB
        } else if (a == "--record") {
            if (!value(&v) || v.empty()) return 2;
            o->records.push_back(v);
        } else if (a == "--record-all") {
            o->recordAll = true;
        } else if (a == "--sightings") {
            o->sightings = true;
        } else if (a == "--json") {
            o->json = true;
        } else if (a == "--tls-keylog") {
            if (!value(&v) || v.empty()) return 2;
            o->keyLogs.push_back(v);
        } else {
            return 2;
        }
    }
    if (!o->file.empty() && (!o->interfaces.empty() || o->bufferKiB != 0)) return 2;
    return 0;
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "strevix-cli: %s\n", message.c_str());
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void ShowProgress(long long done, long long total, unsigned long long frames) {
    if (total <= 0) return;
    int percent = static_cast<int>(done * 100 / total);
    std::fprintf(stderr, "\r%3d%%  %lld / %lld MB  %llu frames", percent, done >> 20, total >> 20,
                 frames);
    std::fflush(stderr);
}

// As tcpdump says it at its end: the totals, and before them each interface's when there are
// several.
void PrintCaptureStats(const std::vector<std::pair<std::string, CaptureStats>>& stats) {
    if (stats.empty()) return;
    CaptureStats total;
    for (const auto& s : stats) {
        if (stats.size() > 1) {
            std::fprintf(stderr,
                         "%s: %llu packets captured, %llu received by filter, %llu dropped by "
                         "kernel, %llu dropped by interface\n",
                         s.first.c_str(), s.second.captured, s.second.received,
                         s.second.droppedByKernel, s.second.droppedByInterface);
        }
        total.captured += s.second.captured;
        total.received += s.second.received;
        total.droppedByKernel += s.second.droppedByKernel;
        total.droppedByInterface += s.second.droppedByInterface;
        total.notAnalysed += s.second.notAnalysed;
    }
    std::fprintf(stderr, "%llu packets captured\n", total.captured);
    std::fprintf(stderr, "%llu packets received by filter\n", total.received);
    std::fprintf(stderr, "%llu packets dropped by kernel\n", total.droppedByKernel);
    if (total.droppedByInterface != 0)
        std::fprintf(stderr, "%llu packets dropped by interface\n", total.droppedByInterface);
    if (total.notAnalysed != 0)
        std::fprintf(stderr, "%llu packets captured but not analysed before the stop\n",
                     total.notAnalysed);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = ParseArguments(argc, argv, &options);
    if (parsed == 1) return 0;
    if (parsed == 2) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }

    // SIGINT and SIGTERM are taken by the main thread only, by sigtimedwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SetLoggingQuiet(true);
    InitLogging();
    // A live capture's lines leave at once (a pipe waits for them); a file's as the buffer fills.
    CliOutput output(stdout, options.file.empty() || isatty(STDOUT_FILENO));
    CliReportWindow window(
        &output, options.sightings,
        options.json ? CliReportWindow::Format::Json : CliReportWindow::Format::Text);
    SetReportWindow(&window);
    for (const std::string& address : options.records) {
        AddRecordingRequest("--i " + address + " --o");
    }
    if (options.recordAll) SetRecordAll(true);

    int status = 0;
    std::string damage;  // of the capture file
    // The database holds only the filter rules (none by default), so the console runs without
    // one; a database that is there but cannot be opened is still an error.
    std::string copyProblem;  // of an installation's database into the per-user folder
    const std::string database = CSqliteDataBase::DatabasePath(&copyProblem);
    const bool withoutDatabase = access(database.c_str(), F_OK) != 0 && errno == ENOENT;
    if (withoutDatabase) {
        const std::string warning = "no database at " + database +
                                    (copyProblem.empty() ? "" : " (" + copyProblem + ")") +
                                    ": running without filter rules";
        LogOut(LOG_WARN, warning);
        Fail(warning);
    }
    {
        CaptureSession session;
        session.SetWithoutDatabase(withoutDatabase);
        session.SetRecordingListFixed(true);
        std::string unreadable;
        if (!session.SetTlsKeyLogs(options.keyLogs, &unreadable)) {
            Fail("can't read the TLS key log " + unreadable);
            status = 1;
        }
        if (options.bufferKiB > 0)
            session.SetBufferSize(static_cast<int>(options.bufferKiB * 1024));
        try {
            std::string message, detail;
            if (status == 0 && !options.file.empty()) {
                if (!session.StartFile(options.file, &message, &detail)) {
                    Fail(message + " (" + detail + ")");
                    status = 1;
                }
            } else if (status == 0) {
                session.ListInterfaces();
                std::vector<pcap_if_t*> chosen;
                for (const std::string& name : options.interfaces) {
                    pcap_if_t* found = session.FindDevice(name);
                    if (found == nullptr) {
                        Fail("can't open network device. (no interface named " + name + ")");
                        status = 1;
                        break;
                    }
                    chosen.push_back(found);
                }
                if (status == 0 && options.interfaces.empty()) {
                    for (const CaptureSession::Interface& i : session.Interfaces())
                        chosen.push_back(i.device);
                    if (chosen.empty()) {
                        Fail("no interface with an IP address to capture on");
                        status = 1;
                    }
                }
                for (size_t i = 0; status == 0 && i < chosen.size(); ++i) {
                    if (!session.StartDevice(chosen[i], &message, &detail)) {
                        Fail(message + " (" + chosen[i]->name + ": " + detail + ")");
                        status = 1;
                    }
                }
            }
        } catch (const ExceptionBase& e) {
            LogOut(LOG_ERROR, e.GetDescription());
            Fail(e.m_message);
            status = 1;
        }

        if (status == 0) {
            const bool fileMode = !options.file.empty();
            const bool progress = fileMode && isatty(STDERR_FILENO);
            const long long total = fileMode ? FileSize(options.file) : 0;
            bool shown = false;
            int ticks = 0;
            unsigned long long droppedSaid = 0;
            for (;;) {
                // A file's end is noticed quickly; a live capture only waits for a signal.
                timespec wait{0, (fileMode ? 2 : 200) * 1000 * 1000};
                int sig = sigtimedwait(&stopSignals, nullptr, &wait);
                if (sig == SIGINT || sig == SIGTERM) break;
                if (fileMode && session.FileEnded()) break;
                // Losses said while they rise, every few seconds.
                if (!fileMode && ++ticks % 25 == 0) {
                    const unsigned long long dropped = session.Dropped();
                    if (dropped > droppedSaid) {
                        output.Drain();
                        Fail(std::to_string(dropped) + " packets dropped so far");
                        droppedSaid = dropped;
                    }
                }
                if (progress && ++ticks % 100 == 0) {
                    ShowProgress(session.FilePosition(), total, session.FramesSeen());
                    shown = true;
                }
            }
            if (shown) std::fprintf(stderr, "\r%*s\r", 60, "");
            if (fileMode) damage = session.DamageReport();
        }
        session.Stop();
        output.Drain();
        PrintCaptureStats(session.Stats());
        const std::string unread = session.TlsUnreadSessions().Summary();
        if (!unread.empty()) Fail(unread);
    }
    // After everything read before the damage has been reported.
    if (!damage.empty()) {
        output.Drain();
        Fail(options.file + ": " + damage);
        status = 1;
    }
    SetReportWindow(nullptr);
    output.Drain();
    ReleaseFlvFileTable();
    try {
        if (!withoutDatabase) delete CSqliteDataBase::GetInstance();
    } catch (...) {
    }
    ShutdownLogging();
    return status;
}
