#include "analyse/NetDataPackageAnalyse.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Exception.h"
#include "common/LogOut.h"

namespace {
// Enough to see a fault, not enough to flood the log when every frame of a capture fails.
const unsigned kMaxExceptionsLogged = 10;

int CapturedLength(const struct pcap_pkthdr* header) {
    return header->caplen > static_cast<bpf_u_int32>(CNetDataPackageAnalyse::kSnapLen)
               ? CNetDataPackageAnalyse::kSnapLen
               : static_cast<int>(header->caplen);
}
}  // namespace

CNetDataPackageAnalyse::CNetDataPackageAnalyse() = default;

CNetDataPackageAnalyse::~CNetDataPackageAnalyse() {
    if (m_handle != nullptr || m_hasThread) CNetDataPackageAnalyse::Stop();
}

pcap_if_t* CNetDataPackageAnalyse::FindAllDevices() {
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof(errbuf));
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) == -1) {
        LogOut(LOG_ERROR, errbuf);
        return nullptr;
    }
    return devices;
}

void CNetDataPackageAnalyse::OpenFailed(const std::string& message, const std::string& detail) {
    m_lastOpenMessage = message;
    m_lastOpenError = detail;
    LogOut(LOG_ERROR, message);
    if (!detail.empty()) LogOut(LOG_ERROR, detail);
}

int CNetDataPackageAnalyse::StartFromFile(std::string path) {
    m_lastOpenMessage.clear();
    m_lastOpenError.clear();
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof(errbuf));
    // The source string is "file://" + path in a fixed buffer; a path that does not fit, or one
    // that holds a NUL, cannot be named.
    if (path.empty() || path.size() + 7 >= static_cast<size_t>(kSourceStringSize) ||
        path.find('\0') != std::string::npos) {
        OpenFailed("can not open this pcap file.",
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
        OpenFailed("pcap file error, open other file please.",
                   why.find(path) != std::string::npos ? why : path + ": " + why);
        return 2;
    }
    // Frames of another link layer would be read as Ethernet and give nonsense.
    if (pcap_datalink(m_handle) != DLT_EN10MB) {
        const char* name = pcap_datalink_val_to_name(pcap_datalink(m_handle));
        OpenFailed("this program only run at ethernet.",
                   path + ": link type " +
                       (name ? std::string(name) : std::to_string(pcap_datalink(m_handle))) +
                       " is not Ethernet");
        pcap_close(m_handle);
        m_handle = nullptr;
        return 2;
    }
    m_file = pcap_file(m_handle);
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
    m_position.store(sizeof(fileHeader));
    return 0;
}

int CNetDataPackageAnalyse::StartFromDevice(pcap_if_t* device) {
    m_lastOpenMessage.clear();
    m_lastOpenError.clear();
    char errbuf[PCAP_ERRBUF_SIZE];
    std::memset(errbuf, 0, sizeof(errbuf));
    if (device == nullptr) return 0;
    for (pcap_addr_t* a = device->addresses; a != nullptr; a = a->next) {
        if (a->addr == nullptr || a->addr->sa_family != AF_INET) continue;
        m_handle = pcap_open_live(device->name, kSnapLen, kPromiscuous, kReadTimeoutMs, errbuf);
        if (m_handle == nullptr) {
            OpenFailed("can't open network device.", errbuf);
            return -1;
        }
        if (pcap_datalink(m_handle) != DLT_EN10MB) {
            OpenFailed("this program only run at ethernet.",
                       std::string(device->name) + " is not an Ethernet interface");
            return -1;  // the handle stays until Stop
        }
        return 0;
    }
    return 0;
}

int CNetDataPackageAnalyse::StartCaptureThread() {
    // Never run a loop without a handle.
    if (m_handle == nullptr || m_hasThread) return 1;
    m_param.owner = this;
    m_param.handle = m_handle;
    m_param.callback = &CNetDataPackageAnalyse::LoopCallback;
    m_loopEnded.store(false);
    if (m_file != nullptr) {
        m_queue.reset(new FrameQueue());
        m_hasReader =
            pthread_create(&m_reader, nullptr, &CNetDataPackageAnalyse::ReaderThread, this) == 0;
        if (!m_hasReader) m_queue.reset();  // read on the capture thread instead
    }
    if (pthread_create(&m_thread, nullptr, &CNetDataPackageAnalyse::packet_handler_thread,
                       &m_param) != 0) {
        LogOut(LOG_ERROR, "启动解包线程失败。");
        if (m_hasReader) {
            pcap_breakloop(m_handle);
            m_queue->Cancel();
            pthread_join(m_reader, nullptr);
            m_hasReader = false;
        }
        m_queue.reset();
        return 1;
    }
    m_hasThread = true;
    return 0;
}

void* CNetDataPackageAnalyse::packet_handler_thread(void* param) {
    auto* block = static_cast<CaptureThreadParam*>(param);
    if (block == nullptr) return nullptr;
    CNetDataPackageAnalyse* owner = block->owner;
    if (owner != nullptr && owner->m_queue) {
        const bool skipEmpty = !owner->HandlesEmptySegments();
        owner->m_queue->Drain([block, owner, skipEmpty](const struct pcap_pkthdr* header,
                                                        const u_char* data,
                                                        const FrameLayout& layout) {
            if (skipEmpty && layout.tcpHeaderLen > 0 && layout.payloadLen <= 0) {
                owner->CountFrame();
                return;
            }
            owner->m_frameLayout = &layout;
            block->callback(reinterpret_cast<u_char*>(block), header, data);
            owner->m_frameLayout = nullptr;
        });
    } else {
        pcap_loop(block->handle, 0, block->callback, reinterpret_cast<u_char*>(block));
    }
    if (owner != nullptr) {
        try {
            owner->OnCaptureEnd();
        } catch (...) {
            LogOut(LOG_ERROR, "CNetDataPackageAnalyse::OnCaptureEnd exception.");
        }
        owner->m_loopEnded.store(true);
    }
    return nullptr;
}

void* CNetDataPackageAnalyse::ReaderThread(void* self) {
    auto* owner = static_cast<CNetDataPackageAnalyse*>(self);
    if (owner->m_classic) {
        owner->m_queue->ReadClassicFile(fileno(owner->m_file), sizeof(pcap_file_header),
                                        owner->m_classicFormat,
                                        &CNetDataPackageAnalyse::ClassifyFrame, &owner->m_position);
    } else {
        pcap_loop(owner->m_handle, 0, &CNetDataPackageAnalyse::ReaderCallback,
                  reinterpret_cast<u_char*>(owner));
    }
    owner->m_queue->Finish();
    return nullptr;
}

void CNetDataPackageAnalyse::ReaderCallback(u_char* user, const struct pcap_pkthdr* header,
                                            const u_char* data) {
    auto* owner = reinterpret_cast<CNetDataPackageAnalyse*>(user);
    if (!owner->m_queue->Push(header, data, ClassifyFrame(header, data)))
        pcap_breakloop(owner->m_handle);
}

FrameLayout CNetDataPackageAnalyse::ClassifyFrame(const struct pcap_pkthdr* header,
                                                  const u_char* data) {
    if (header == nullptr || data == nullptr) return FrameLayout();
    CTCPNetUnpack unpacker;
    unpacker.SetData(data, CapturedLength(header), 0);
    // The header block of a request or response is found here too, while the bytes are hot.
    if (unpacker.GetStreamType() == STREAM_HTTP) unpacker.HttpHeaderPart();
    return unpacker.Layout();
}

void CNetDataPackageAnalyse::LoopCallback(u_char* user, const struct pcap_pkthdr* header,
                                          const u_char* data) {
    auto* block = reinterpret_cast<CaptureThreadParam*>(user);
    if (block == nullptr || block->owner == nullptr) return;
    CNetDataPackageAnalyse* owner = block->owner;
    // Nothing may leave the capture thread: an uncaught exception there ends the process.
    try {
        owner->packet_handler(user, header, data);
    } catch (const ExceptionBase& e) {
        if (owner->m_exceptionsLogged < kMaxExceptionsLogged) {
            ++owner->m_exceptionsLogged;
            LogOut(LOG_ERROR, e.GetDescription());
        }
    } catch (...) {
        if (owner->m_exceptionsLogged < kMaxExceptionsLogged) {
            ++owner->m_exceptionsLogged;
            LogOut(LOG_ERROR, "CNetDataPackageAnalyse::packet_handler exception.");
        }
    }
}

void CNetDataPackageAnalyse::packet_handler(u_char* user, const struct pcap_pkthdr* header,
                                            const u_char* data) {
    if (header == nullptr || data == nullptr) return;
    CountFrame();
    m_frameTimeUs = int64_t{header->ts.tv_sec} * 1000000 + header->ts.tv_usec;
    try {
        // A view into the capture buffer; nothing is copied. One unpacker serves every frame.
        CTCPNetUnpack& unpacker = m_unpacker;
        const FrameLayout* layout = m_frameLayout;  // set for this frame only, by the drain
        if (layout == nullptr) {
            unpacker.SetData(data, CapturedLength(header), 0);
        } else {
            unpacker.SetLaidOutData(data, CapturedLength(header), *layout);
        }
        OnEthernet(&unpacker);
        if (unpacker.EthernetHeader() != nullptr && unpacker.EtherType() == 0x0800) {
            OnIP(&unpacker);
            if (unpacker.IPHeader() != nullptr && unpacker.IPProtocol() == 6 &&
                IsTcpSuppressed() != 1) {
                OnTCP(&unpacker);
            }
        }
    } catch (...) {
        STREVIX_THROW("CNetDataPackageAnalyse::packet_handler exception.",
                      "CNetDataPackageAnalyse::packet_handler");
    }
}

void CNetDataPackageAnalyse::Stop() {
    if (m_handle != nullptr) pcap_breakloop(m_handle);
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
    m_queue.reset();
    if (m_handle != nullptr) {
        pcap_close(m_handle);
        m_handle = nullptr;
        m_file = nullptr;
        m_classic = false;
    }
}

long long CNetDataPackageAnalyse::FilePosition() const {
    if (m_file == nullptr) return 0;
    if (m_classic && m_hasReader) return m_position.load();
    long pos = std::ftell(m_file);
    return pos < 0 ? 0 : pos;
}
