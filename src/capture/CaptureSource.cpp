#include "capture/CaptureSource.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstring>

#include "common/LogOut.h"
#include "netunpack/ZMemory.h"

CaptureSource::~CaptureSource() {
    Stop();
}

bool CaptureSource::AcceptLinkType(const std::string& what) {
    // Frames of another link layer would be taken apart as something they are not.
    const int link = pcap_datalink(m_handle);
    if (IsKnownLinkType(link)) {
        m_linkType = link;
        return true;
    }
    const char* name = pcap_datalink_val_to_name(link);
    Failed("this program only run at ethernet.",
           what + ": link type " + (name ? std::string(name) : std::to_string(link)) +
               " is not Ethernet or Linux cooked capture");
    return false;
}

void CaptureSource::Failed(const std::string& message, const std::string& detail) {
    m_errorMessage = message;
    m_errorDetail = detail;
}

int CaptureSource::OpenFile(const std::string& path) {
    m_errorMessage.clear();
    m_errorDetail.clear();
    m_damage = CaptureDamage();
    m_damageReport.clear();
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof(errbuf));
    // The source string is "file://" + path in a fixed buffer; a path that does not fit, or one
    // that holds a NUL, cannot be named.
    if (path.empty() || path.size() + 7 >= static_cast<size_t>(kSourceStringSize) ||
        path.find('\0') != std::string::npos) {
        Failed("can not open this pcap file.",
               path.empty() ? "no file name given" : "file name too long");
        return 1;
    }
    // A large stdio buffer: reading a capture in 4 KiB system calls costs more than the
    // analysis of its frames.
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
        setvbuf(file, nullptr, _IOFBF, kFileBufferSize);
        m_handle = pcap_fopen_offline(file, errbuf);
        if (m_handle == nullptr) std::fclose(file);
    } else {
        std::snprintf(errbuf, sizeof(errbuf), "%s: %s", path.c_str(), std::strerror(errno));
    }
    if (m_handle == nullptr) {
        std::string why(errbuf);
        Failed("pcap file error, open other file please.",
               why.find(path) != std::string::npos ? why : path + ": " + why);
        return 2;
    }
    if (!AcceptLinkType(path)) {
        pcap_close(m_handle);
        m_handle = nullptr;
        return 2;
    }
    m_file = pcap_file(m_handle);
    BlockPool::SetHugePages(true);
    // A file in the classic format is read by the reading thread itself, straight into the
    // blocks it hands over, instead of a copy a frame through the library's stdio reads; the
    // library has checked its header.
    unsigned char fileHeader[24];
    m_classic = m_file != nullptr &&
                pread(fileno(m_file), fileHeader, sizeof(fileHeader), 0) ==
                    static_cast<ssize_t>(sizeof(fileHeader)) &&
                FrameQueue::IsClassicCaptureFile(fileHeader, &m_classicFormat);
    if (m_classic && pcap_snapshot(m_handle) > 0)
        m_classicFormat.snapLength = static_cast<uint32_t>(pcap_snapshot(m_handle));
    m_classicFormat.linkType = m_linkType;
    m_position.store(sizeof(fileHeader));
    // Where the library's loop will read its first record: just after the headers it has read.
    const long at = std::ftell(m_file);
    m_libraryOffset = at < 0 ? 0 : at;
    m_libraryFrames = 0;
    return 0;
}

int CaptureSource::OpenDevice(pcap_if_t* device) {
    m_errorMessage.clear();
    m_errorDetail.clear();
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof(errbuf));
    if (device == nullptr) return 0;
    // An interface with an IPv4 or IPv6 address, or "any", which has none.
    bool addressed = device->name != nullptr && std::strcmp(device->name, "any") == 0;
    for (pcap_addr_t* a = device->addresses; a != nullptr && !addressed; a = a->next) {
        addressed =
            a->addr != nullptr && (a->addr->sa_family == AF_INET || a->addr->sa_family == AF_INET6);
    }
    if (!addressed) return 0;
    BlockPool::SetHugePages(false);
    // The queue is written before the device starts taking frames: under a tight CPU share
    // that takes a while, and traffic would wait for it in the kernel's ring.
    m_queue.reset(new FrameQueue(LiveQueueBlocks(), true));
    // Opened in steps, for a capture buffer of our size; the failures read as the one-call
    // open words them.
    pcap_t* p = pcap_create(device->name, errbuf);
    if (p == nullptr) {
        m_queue.reset();
        Failed("can't open network device.", errbuf);
        return -1;
    }
    int status = pcap_set_snaplen(p, kSnapLen);
    if (status == 0) status = pcap_set_promisc(p, kPromiscuous);
    if (status == 0) status = pcap_set_timeout(p, kReadTimeoutMs);
    if (status == 0 && m_bufferSize > 0) status = pcap_set_buffer_size(p, m_bufferSize);
    if (status == 0) status = pcap_activate(p);
    if (status < 0) {
        const std::string name = device->name;
        std::string why;
        if (status == PCAP_ERROR) {
            why = name + ": " + pcap_geterr(p);
        } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
                   status == PCAP_ERROR_PROMISC_PERM_DENIED) {
            why = name + ": " + pcap_statustostr(status) + " (" + pcap_geterr(p) + ")";
        } else {
            why = name + ": " + pcap_statustostr(status);
        }
        pcap_close(p);
        m_queue.reset();
        Failed("can't open network device.", why);
        return -1;
    }
    m_handle = p;
    m_live = true;
    m_deviceName = device->name;
    m_pushed.store(0);
    m_received.store(0);
    m_droppedByKernel.store(0);
    m_droppedByInterface.store(0);
    if (!AcceptLinkType(device->name)) return -1;  // the handle stays until Stop
    return 0;
}

size_t CaptureSource::LiveQueueBlocks() const {
    // As much again as the kernel's buffer.
    return m_bufferSize > 0 ? static_cast<size_t>(m_bufferSize) / FrameQueue::kBlockSize
                            : FrameQueue::kMaxFullBlocks;
}

CaptureStats CaptureSource::Stats() const {
    CaptureStats s;
    s.live = !m_deviceName.empty();  // named when a device was opened, kept after Stop
    s.captured = m_pushed.load(std::memory_order_relaxed);
    s.received = m_received.load(std::memory_order_relaxed);
    s.droppedByKernel = m_droppedByKernel.load(std::memory_order_relaxed);
    s.droppedByInterface = m_droppedByInterface.load(std::memory_order_relaxed);
    s.notAnalysed = m_notAnalysed.load(std::memory_order_relaxed);
    return s;
}

bool CaptureSource::Start(FrameSink& sink) {
    // Never run a loop without a handle.
    if (m_handle == nullptr || m_hasThread) return false;
    m_sink = &sink;
    m_loopEnded.store(false);
    m_stopping.store(false);
    m_notAnalysed.store(0);
    m_framesAtStart = m_frames.load();
    if (m_file != nullptr || m_live) {
        // A live device's queue was made when it was opened.
        if (!m_queue)
            m_queue.reset(
                new FrameQueue(m_live ? LiveQueueBlocks() : FrameQueue::kMaxFullBlocks, m_live));
        m_queue->SetSkipEmpty(sink.SkipsEmptySegments());
        m_hasReader = pthread_create(&m_reader, nullptr, &CaptureSource::ReaderThread, this) == 0;
        if (!m_hasReader) m_queue.reset();  // read on the capture thread instead
    }
    if (pthread_create(&m_thread, nullptr, &CaptureSource::CaptureThread, this) != 0) {
        if (m_hasReader) {
            pcap_breakloop(m_handle);
            m_queue->Cancel();
            pthread_join(m_reader, nullptr);
            m_hasReader = false;
        }
        m_queue.reset();
        return false;
    }
    m_hasThread = true;
    return true;
}

void* CaptureSource::CaptureThread(void* self) {
    auto* source = static_cast<CaptureSource*>(self);
    // Named for top -H and profilers.
    pthread_setname_np(pthread_self(), "strevix-analyse");
    // Live, the reading thread must win when the two want the same CPU: what it does not take
    // from the kernel's ring in time is lost, while the analysis can catch up from the queue.
    if (source->m_live && source->m_hasReader) {
        const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, thread);
        if (errno == 0) setpriority(PRIO_PROCESS, thread, nice + kAnalysisNice);
    }
    source->RunLoop();
    return nullptr;
}

void CaptureSource::RunLoop() {
    if (m_sink == nullptr) return;
    CaptureDamage damage;
    if (m_queue) {
        m_queue->Drain([this](const struct pcap_pkthdr* header, const u_char* data,
                              const FrameLayout* layout) { Deliver(*header, data, layout); },
                       [this](unsigned long long count) {
                           m_frames.store(m_frames.load(std::memory_order_relaxed) + count,
                                          std::memory_order_relaxed);
                           try {
                               m_sink->OnSkippedFrames(count);
                           } catch (...) {
                               // The sink reports its own failures.
                           }
                       });
        damage = m_queue->Damage();
    } else if (m_file != nullptr) {
        damage = LibraryFileLoop(&CaptureSource::LoopCallback);
    } else if (m_handle != nullptr) {
        pcap_loop(m_handle, 0, &CaptureSource::LoopCallback, reinterpret_cast<u_char*>(this));
    }
    m_damage = damage;
    m_damageReport = damage.Report();
    try {
        if (m_damage.Damaged()) m_sink->OnCaptureDamaged(m_damage);
        m_sink->OnCaptureEnd();
    } catch (...) {
        // The sink reports its own failures; the thread still ends in order.
    }
    m_loopEnded.store(true);
}

void CaptureSource::LoopCallback(u_char* user, const struct pcap_pkthdr* header,
                                 const u_char* data) {
    if (header == nullptr || data == nullptr) return;
    auto* source = reinterpret_cast<CaptureSource*>(user);
    if (source->m_file != nullptr) source->NoteLibraryFrame();
    source->Deliver(*header, data, nullptr);
}

inline void CaptureSource::NoteLibraryFrame() {
    ++m_libraryFrames;
    const long at = std::ftell(m_file);
    if (at >= 0) m_libraryOffset = at;
}

CaptureDamage CaptureSource::LibraryFileLoop(pcap_handler callback) {
    CaptureDamage d;
    if (pcap_loop(m_handle, 0, callback, reinterpret_cast<u_char*>(this)) != -1) return d;
    // The library ends the loop with an error only for a file it cannot read on: damage.
    const std::string why = pcap_geterr(m_handle);
    d.kind = why.find("truncated") != std::string::npos     ? CaptureDamage::kCutShort
             : why.find("bigger than") != std::string::npos ? CaptureDamage::kTooLong
                                                            : CaptureDamage::kOther;
    d.frame = m_libraryFrames + 1;
    d.offset = m_libraryOffset;
    d.reason = "is unreadable (" + why + ")";
    return d;
}

inline void CaptureSource::Deliver(const struct pcap_pkthdr& header, const unsigned char* bytes,
                                   const FrameLayout* layout) {
    // Only the capture thread writes the count.
    m_frames.store(m_frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // Nothing may leave the capture thread: an uncaught exception there ends the process.
    try {
        m_sink->OnFrame(header, bytes, layout);
    } catch (...) {
        // The sink reports its own failures; capture goes on with the next frame.
    }
}

void* CaptureSource::ReaderThread(void* self) {
    auto* source = static_cast<CaptureSource*>(self);
    pthread_setname_np(pthread_self(), "strevix-read");
    CaptureDamage damage;
    if (source->m_live) {
        source->LiveLoop();
    } else if (source->m_classic) {
        source->m_queue->ReadClassicFile(fileno(source->m_file), sizeof(pcap_file_header),
                                         source->m_classicFormat, &CaptureSource::ClassifyFrameInto,
                                         &source->m_position, &damage);
    } else {
        damage = source->LibraryFileLoop(&CaptureSource::ReaderCallback);
    }
    // Handed over with the end of the frames, so the capture thread reports it after them.
    source->m_queue->Finish(damage);
    return nullptr;
}

void CaptureSource::ReaderCallback(u_char* user, const struct pcap_pkthdr* header,
                                   const u_char* data) {
    auto* source = reinterpret_cast<CaptureSource*>(user);
    source->NoteLibraryFrame();
    if (!source->m_queue->Push(header, data, ClassifyFrame(header, data, source->m_linkType)))
        pcap_breakloop(source->m_handle);
}

void CaptureSource::LiveCallback(u_char* user, const struct pcap_pkthdr* header,
                                 const u_char* data) {
    if (header == nullptr || data == nullptr) return;
    auto* source = reinterpret_cast<CaptureSource*>(user);
    if (!source->m_queue->PushLive(header, data, &CaptureSource::ClassifyFrameInto,
                                   source->m_linkType)) {
        pcap_breakloop(source->m_handle);
        return;
    }
    source->m_pushed.store(source->m_pushed.load(std::memory_order_relaxed) + 1,
                           std::memory_order_relaxed);
}

void CaptureSource::LiveLoop() {
    timespec last{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &last);
    const int fd = pcap_get_selectable_fd(m_handle);
    while (!m_stopping.load(std::memory_order_relaxed)) {
        // Frames kept back while the analysis was busy must not wait for more traffic: the
        // library may wait for the kernel's next block without a limit.
        if (fd >= 0 && m_queue->Holding()) {
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, kHoldPollMs) == 0) {
                if (!m_queue->Hand()) break;
                continue;
            }
        }
        // A batch: what the kernel has ready, or nothing after the read timeout.
        const int n = pcap_dispatch(m_handle, -1, &CaptureSource::LiveCallback,
                                    reinterpret_cast<u_char*>(this));
        if (n == PCAP_ERROR_BREAK) break;
        if (n < 0) {
            // The device went away or failed: what came before it stays analysed.
            LogOut(LOG_ERROR, "can't read network device. (" + m_deviceName + ": " +
                                  pcap_geterr(m_handle) + ")");
            break;
        }
        if (!m_queue->Hand()) break;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        if (now.tv_sec != last.tv_sec) {
            UpdateStats();
            last = now;
        }
    }
    m_queue->Hand();
    UpdateStats();
}

void CaptureSource::UpdateStats() {
    struct pcap_stat ps {};
    if (m_handle == nullptr || pcap_stats(m_handle, &ps) != 0) return;
    const unsigned long long before = m_droppedByKernel.load() + m_droppedByInterface.load();
    m_received.store(ps.ps_recv, std::memory_order_relaxed);
    m_droppedByKernel.store(ps.ps_drop, std::memory_order_relaxed);
    m_droppedByInterface.store(ps.ps_ifdrop, std::memory_order_relaxed);
    if (before == 0 && ps.ps_drop + ps.ps_ifdrop > 0 && m_sink != nullptr) {
        try {
            m_sink->OnDropsStarted(Stats());
        } catch (...) {
            // Only a report; capture goes on.
        }
    }
}

FrameLayout CaptureSource::ClassifyFrame(const struct pcap_pkthdr* header,
                                         const unsigned char* data, int linkType) {
    FrameLayout layout;
    ClassifyFrameInto(header, data, linkType, &layout);
    return layout;
}

void CaptureSource::ClassifyFrameInto(const struct pcap_pkthdr* header, const unsigned char* data,
                                      int linkType, FrameLayout* layout) {
    if (header == nullptr || data == nullptr) {
        *layout = FrameLayout();
        return;
    }
    CTCPNetUnpack unpacker;
    unpacker.SetLinkType(linkType);
    unpacker.SetData(data, CapturedLength(header), 0);
    // What the analysis asks of a request or response is found here too, while the bytes are
    // hot.
    if (unpacker.GetStreamType() == STREAM_HTTP) {
        unpacker.HttpHeaderPart();
        unpacker.HttpWaitsForHost();
    }
    *layout = unpacker.Layout();
}

void CaptureSource::EndCapture() {
    if (m_stopping.exchange(true)) return;
    clock_gettime(CLOCK_MONOTONIC, &m_stopAsked);
    if (m_handle != nullptr) pcap_breakloop(m_handle);
}

void CaptureSource::Stop() {
    EndCapture();
    if (m_queue && m_live && m_hasThread) {
        // What was captured is analysed, for a while: the queue can hold seconds of traffic.
        for (;;) {
            if (m_loopEnded.load()) break;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long ms = (now.tv_sec - m_stopAsked.tv_sec) * 1000LL +
                                 (now.tv_nsec - m_stopAsked.tv_nsec) / 1000000;
            if (ms >= kStopDrainMs) break;
            timespec pause{0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    if (m_queue) m_queue->Cancel();
    if (m_hasThread) {
        pthread_join(m_thread, nullptr);
        m_thread = pthread_t{};
        m_hasThread = false;
    }
    if (m_hasReader) {
        pthread_join(m_reader, nullptr);
        m_reader = pthread_t{};
        m_hasReader = false;
    }
    if (m_queue && m_live) {
        const unsigned long long analysed = m_frames.load() - m_framesAtStart;
        const unsigned long long pushed = m_pushed.load();
        if (pushed > analysed) m_notAnalysed.store(pushed - analysed);
    }
    m_queue.reset();
    if (m_handle != nullptr) {
        pcap_close(m_handle);
        m_handle = nullptr;
        m_file = nullptr;
        m_classic = false;
        m_live = false;
    }
}

long long CaptureSource::FilePosition() const {
    if (m_file == nullptr) return 0;
    if (m_classic && m_hasReader) return m_position.load();
    long pos = std::ftell(m_file);
    return pos < 0 ? 0 : pos;
}
