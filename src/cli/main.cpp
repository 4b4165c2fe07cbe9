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

namespace {

const char* kUsage =
    "usage: strevix-cli (-r FILE | [-i IFACE]...) [--record ADDRESS]... [--sightings] [--json]";

struct Options {
    std::string file;
    std::vector<std::string> interfaces;
    std::vector<std::string> records;
    bool sightings = false;
    bool json = false;
};

void PrintHelp() {
    std::printf(
        "%s\n\n"
        "Finds the addresses of video streams (RTMP, RTSP, HTTP/HLS) in network traffic.\n\n"
        "  -r FILE            analyse a capture file to its end, then exit\n"
        "  -i IFACE           capture live on IFACE (repeatable); without -r or -i, every\n"
        "                     interface with an IPv4 address, until SIGINT or SIGTERM\n"
        "  --record ADDRESS   write the RTMP stream ADDRESS to Videos/<connection>.flv in the\n"
        "                     application folder (repeatable)\n"
        "  --sightings        print every sighting instead of each new stream\n"
        "  --json             one JSON object a line: list, number, protocol, address\n"
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
        } else if (a == "--record") {
            if (!value(&v) || v.empty()) return 2;
            o->records.push_back(v);
        } else if (a == "--sightings") {
            o->sightings = true;
        } else if (a == "--json") {
            o->json = true;
        } else {
            return 2;
        }
    }
    if (!o->file.empty() && !o->interfaces.empty()) return 2;
    return 0;
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "strevix-cli: %s\n", message.c_str());
}

// The interfaces the desktop program would list: those whose first IPv4 address is not 0.0.0.0.
bool Listable(const pcap_if_t* d) {
    for (pcap_addr_t* a = d->addresses; a != nullptr; a = a->next) {
        if (a->addr == nullptr || a->addr->sa_family != AF_INET) continue;
        return reinterpret_cast<const sockaddr_in*>(a->addr)->sin_addr.s_addr != 0;
    }
    return false;
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

class Session {
  public:
    ~Session() { StopAll(); }

    std::vector<std::unique_ptr<CVideoStreamUriAnalyse>> analysers;

    void StopAll() {
        for (auto& a : analysers) a->Stop();
        analysers.clear();
    }
};

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
    CliReportWindow window(
        stdout, options.sightings,
        options.json ? CliReportWindow::Format::Json : CliReportWindow::Format::Text,
        options.file.empty() || isatty(STDOUT_FILENO));
    SetReportWindow(&window);
    for (const std::string& address : options.records) {
        AddRecordingRequest("--i " + address + " --o");
    }

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
    auto newAnalyser = [withoutDatabase]() {
        return withoutDatabase
                   ? std::make_unique<CVideoStreamUriAnalyse>(std::list<NetDataFilterInfo>())
                   : std::make_unique<CVideoStreamUriAnalyse>();
    };
    pcap_if_t* devices = nullptr;
    {
        Session session;
        try {
            if (!options.file.empty()) {
                auto a = newAnalyser();
                a->SetStreamDataCallback(&OnRtmpTag);
                if (a->StartFromFile(options.file) != 0) {
                    Fail(a->LastOpenMessage() + " (" + a->LastOpenError() + ")");
                    status = 1;
                } else {
                    session.analysers.push_back(std::move(a));
                }
            } else {
                devices = CNetDataPackageAnalyse::FindAllDevices();
                std::vector<pcap_if_t*> chosen;
                for (const std::string& name : options.interfaces) {
                    pcap_if_t* found = nullptr;
                    for (pcap_if_t* d = devices; d != nullptr; d = d->next) {
                        if (name == d->name) found = d;
                    }
                    if (found == nullptr) {
                        Fail("can't open network device. (no interface named " + name + ")");
                        status = 1;
                        break;
                    }
                    chosen.push_back(found);
                }
                if (status == 0 && options.interfaces.empty()) {
                    for (pcap_if_t* d = devices; d != nullptr; d = d->next) {
                        if (Listable(d)) chosen.push_back(d);
                    }
                    if (chosen.empty()) {
                        Fail("no interface with an IPv4 address to capture on");
                        status = 1;
                    }
                }
                for (size_t i = 0; status == 0 && i < chosen.size(); ++i) {
                    auto a = newAnalyser();
                    a->SetStreamDataCallback(&OnRtmpTag);
                    if (a->StartFromDevice(chosen[i]) != 0) {
                        Fail(a->LastOpenMessage() + " (" + chosen[i]->name + ": " +
                             a->LastOpenError() + ")");
                        status = 1;
                    } else {
                        session.analysers.push_back(std::move(a));
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
            for (;;) {
                // A file's end is noticed quickly; a live capture only waits for a signal.
                timespec wait{0, (fileMode ? 2 : 200) * 1000 * 1000};
                int sig = sigtimedwait(&stopSignals, nullptr, &wait);
                if (sig == SIGINT || sig == SIGTERM) break;
                if (fileMode && session.analysers.front()->LoopEnded()) break;
                if (progress && ++ticks % 100 == 0) {
                    ShowProgress(session.analysers.front()->FilePosition(), total,
                                 session.analysers.front()->FramesSeen());
                    shown = true;
                }
            }
            if (shown) std::fprintf(stderr, "\r%*s\r", 60, "");
            if (fileMode && session.analysers.front()->LoopEnded())
                damage = session.analysers.front()->DamageReport();
        }
        session.StopAll();
    }
    // After everything read before the damage has been reported.
    if (!damage.empty()) {
        std::fflush(stdout);
        Fail(options.file + ": " + damage);
        status = 1;
    }
    if (devices != nullptr) pcap_freealldevs(devices);
    SetReportWindow(nullptr);
    std::fflush(stdout);
    ReleaseFlvFileTable();
    try {
        if (!withoutDatabase) delete CSqliteDataBase::GetInstance();
    } catch (...) {
    }
    ShutdownLogging();
    return status;
}
