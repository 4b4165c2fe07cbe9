#include "analyse/NetDataPackageAnalyse.h"

#include <cstdint>
#include <cstring>

#include "common/Exception.h"
#include "common/LogOut.h"

namespace {
// Enough to see a fault, not enough to flood the log when every frame of a capture fails.
const unsigned kMaxExceptionsLogged = 10;
}  // namespace

CNetDataPackageAnalyse::CNetDataPackageAnalyse() = default;

CNetDataPackageAnalyse::~CNetDataPackageAnalyse() {
    if (m_capture.IsOpen() || m_capture.IsRunning()) CNetDataPackageAnalyse::Stop();
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
    m_filePath = path;
    const int result = m_capture.OpenFile(path);
    if (result != 0) OpenFailed(m_capture.ErrorMessage(), m_capture.ErrorDetail());
    return result;
}

void CNetDataPackageAnalyse::OnDropsStarted(const CaptureStats& stats) {
    LogOut(LOG_WARN, m_capture.DeviceName() + ": packets are being dropped (" +
                         std::to_string(stats.droppedByKernel) + " by the kernel, " +
                         std::to_string(stats.droppedByInterface) +
                         " by the interface, so far): the analysis does not keep up");
}

void CNetDataPackageAnalyse::OnCaptureDamaged(const CaptureDamage&) {
    // The status line of the desktop program shows it too: its analysis ended early.
    LogOut(LOG_ERROR | LOG_STATUS, m_filePath + ": " + m_capture.DamageReport());
}

int CNetDataPackageAnalyse::StartFromDevice(pcap_if_t* device) {
    m_lastOpenMessage.clear();
    m_lastOpenError.clear();
    const int result = m_capture.OpenDevice(device);
    if (result != 0) OpenFailed(m_capture.ErrorMessage(), m_capture.ErrorDetail());
    return result;
}

int CNetDataPackageAnalyse::StartCaptureThread() {
    // Never run a loop without a handle.
    if (!m_capture.IsOpen() || m_capture.IsRunning()) return 1;
    m_param.owner = this;
    m_param.handle = m_capture.Handle();
    m_param.callback = nullptr;
    m_skipEmpty = !HandlesEmptySegments();
    m_unpacker.SetLinkType(m_capture.LinkType());
    if (!m_capture.Start(*this)) {
        LogOut(LOG_ERROR, "启动解包线程失败。");
        return 1;
    }
    return 0;
}

void* CNetDataPackageAnalyse::packet_handler_thread(void* param) {
    auto* block = static_cast<CaptureThreadParam*>(param);
    if (block == nullptr || block->owner == nullptr) return nullptr;
    block->owner->m_capture.RunLoop();
    return nullptr;
}

void CNetDataPackageAnalyse::OnFrame(const struct pcap_pkthdr& header, const unsigned char* bytes,
                                     const FrameLayout* layout) {
    if (layout != nullptr && m_skipEmpty && layout->tcpHeaderLen != 0 && layout->payloadLen <= 0) {
        CountFrame();
        return;
    }
    // Nothing may leave the capture thread: an uncaught exception there ends the process.
    try {
        packet_handler(reinterpret_cast<u_char*>(const_cast<FrameLayout*>(layout)), &header, bytes);
    } catch (const ExceptionBase& e) {
        if (m_exceptionsLogged < kMaxExceptionsLogged) {
            ++m_exceptionsLogged;
            LogOut(LOG_ERROR, e.GetDescription());
        }
    } catch (...) {
        if (m_exceptionsLogged < kMaxExceptionsLogged) {
            ++m_exceptionsLogged;
            LogOut(LOG_ERROR, "CNetDataPackageAnalyse::packet_handler exception.");
        }
    }
}

void CNetDataPackageAnalyse::packet_handler(u_char* user, const struct pcap_pkthdr* header,
                                            const u_char* data) {
    if (header == nullptr || data == nullptr) return;
    CountFrame();
    try {
        // A pcapng block's 64-bit stamp can lie beyond what microseconds hold: such a frame
        // gets the last time they can hold.
        const int64_t kMaxSec = INT64_MAX / 1000000 - 1;
        const int64_t sec = static_cast<int64_t>(header->ts.tv_sec);
        m_frameTimeUs = sec > kMaxSec    ? kMaxSec * 1000000
                        : sec < -kMaxSec ? -kMaxSec * 1000000
                                         : sec * 1000000 + static_cast<int64_t>(header->ts.tv_usec);
        // A view into the capture buffer; nothing is copied. One unpacker serves every frame.
        CTCPNetUnpack& unpacker = m_unpacker;
        const auto* layout = reinterpret_cast<const FrameLayout*>(user);
        const int length = CaptureSource::CapturedLength(header);
        if (layout == nullptr) {
            unpacker.SetData(data, length, 0);
        } else {
            unpacker.SetLaidOutData(data, length, *layout);
        }
        OnEthernet(&unpacker);
        // A frame with a TCP header is IPv4 or IPv6 carrying TCP: nothing more to read for it.
        const bool tcp = unpacker.TCPHeader() != nullptr;
        const uint16_t network = tcp ? 0x0800 : unpacker.EtherType();
        if (network == 0x0800 || network == 0x86DD) {
            OnIP(&unpacker);
            if ((tcp || (unpacker.IPHeader() != nullptr && unpacker.IPProtocol() == 6)) &&
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
    m_capture.Stop();
}
