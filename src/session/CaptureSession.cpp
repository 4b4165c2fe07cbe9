#include "session/CaptureSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

#include "decoder/FlvWriter.h"

CaptureSession::CaptureSession() : m_callback(&OnRtmpTag) {
    // Only recorded streams' tags are handed over.
    m_hooks.wanted = &IsRecordingRequested;
    m_hooks.version = &RecordingListVersion;
    m_hooks.prime = &PrimeRtmpTags;
}

CaptureSession::~CaptureSession() {
    Stop();
    if (m_devices != nullptr) pcap_freealldevs(m_devices);
}

void CaptureSession::ForgetInterfaces() {
    m_interfaces.clear();
    if (m_devices != nullptr) pcap_freealldevs(m_devices);
    m_devices = nullptr;
}

void CaptureSession::ListInterfaces() {
    ForgetInterfaces();
    m_devices = CNetDataPackageAnalyse::FindAllDevices();
    int index = -1;
    for (pcap_if_t* d = m_devices; d != nullptr; d = d->next) {
        ++index;
        // The first IPv4 address, unless it is 0.0.0.0; an interface without one shows its
        // first IPv6 address.
        const sockaddr_in* v4 = nullptr;
        const sockaddr_in6* v6 = nullptr;
        for (pcap_addr_t* a = d->addresses; a != nullptr; a = a->next) {
            if (a->addr != nullptr && a->addr->sa_family == AF_INET) {
                v4 = reinterpret_cast<const sockaddr_in*>(a->addr);
                break;
            }
            if (a->addr != nullptr && a->addr->sa_family == AF_INET6 && v6 == nullptr)
                v6 = reinterpret_cast<const sockaddr_in6*>(a->addr);
        }
        char address[INET6_ADDRSTRLEN + 1];
        if (v4 != nullptr) {
            if (v4->sin_addr.s_addr == 0) continue;
            const unsigned char* b = reinterpret_cast<const unsigned char*>(&v4->sin_addr.s_addr);
            std::snprintf(address, sizeof(address), "%3d.%3d.%3d.%3d", b[0], b[1], b[2], b[3]);
        } else if (v6 == nullptr ||
                   inet_ntop(AF_INET6, &v6->sin6_addr, address, sizeof(address)) == nullptr) {
            continue;
        }
        m_interfaces.push_back(Interface{d->name != nullptr ? d->name : "", address, d, index});
    }
}

pcap_if_t* CaptureSession::FindDevice(const std::string& name) const {
    for (pcap_if_t* d = m_devices; d != nullptr; d = d->next) {
        if (d->name != nullptr && name == d->name) return d;
    }
    return nullptr;
}

std::unique_ptr<CVideoStreamUriAnalyse> CaptureSession::NewAnalyser() const {
    auto a = m_withoutDatabase
                 ? std::make_unique<CVideoStreamUriAnalyse>(std::list<NetDataFilterInfo>())
                 : std::make_unique<CVideoStreamUriAnalyse>();
    a->SetStreamDataCallback(m_callback);
    a->SetRecordingHooks(m_hooks);
    a->SetRecordingListFixed(m_listFixed);
    if (m_bufferSize > 0) a->SetCaptureBufferSize(m_bufferSize);
    if (!m_keyLogs.empty()) {
        std::unique_ptr<KeyLog> keys(new KeyLog());
        for (const std::string& path : m_keyLogs) keys->ReadFile(path);
        a->SetTlsKeyLog(std::move(keys));
    }
    return a;
}

bool CaptureSession::SetTlsKeyLogs(const std::vector<std::string>& paths, std::string* unreadable) {
    // Kept even when one cannot be read yet: each analyser reads it again as sessions need keys.
    m_keyLogs = paths;
    for (const std::string& path : paths) {
        KeyLog probe;
        if (!probe.ReadFile(path)) {
            if (unreadable != nullptr) *unreadable = path;
            return false;
        }
    }
    return true;
}

TlsUnread CaptureSession::TlsUnreadSessions() const {
    TlsUnread all = m_stoppedTls;
    for (const auto& a : m_analysers) all.Merge(a->Tls().Unread());
    return all;
}

bool CaptureSession::StartDevice(pcap_if_t* device, std::string* message, std::string* detail) {
    if (m_analysers.empty()) m_stoppedTls = TlsUnread();
    auto a = NewAnalyser();
    if (a->StartFromDevice(device) != 0) {
        if (message != nullptr) *message = a->LastOpenMessage();
        if (detail != nullptr) *detail = a->LastOpenError();
        return false;
    }
    m_fileSession = false;
    m_analysers.push_back(std::move(a));
    return true;
}

bool CaptureSession::StartFile(const std::string& path, std::string* message, std::string* detail) {
    if (m_analysers.empty()) m_stoppedTls = TlsUnread();
    auto a = NewAnalyser();
    if (a->StartFromFile(path) != 0) {
        if (message != nullptr) *message = a->LastOpenMessage();
        if (detail != nullptr) *detail = a->LastOpenError();
        return false;
    }
    m_fileSession = true;
    m_analysers.push_back(std::move(a));
    return true;
}

void CaptureSession::Stop() {
    // All devices stop taking frames at once, then each finishes what it holds in that time.
    for (auto& a : m_analysers) a->EndCapture();
    for (auto& a : m_analysers) a->Stop();
    for (auto& a : m_analysers) {
        if (a->Stats().live) m_stopped.emplace_back(a->DeviceName(), a->Stats());
        m_stoppedTls.Merge(a->Tls().Unread());
    }
    m_analysers.clear();
}

const CVideoStreamUriAnalyse* CaptureSession::File() const {
    return m_fileSession && !m_analysers.empty() ? m_analysers.front().get() : nullptr;
}

bool CaptureSession::FileEnded() const {
    return File() != nullptr && File()->LoopEnded();
}

long long CaptureSession::FilePosition() const {
    return File() != nullptr ? File()->FilePosition() : 0;
}

unsigned long long CaptureSession::FramesSeen() const {
    unsigned long long n = 0;
    for (const auto& a : m_analysers) n += a->FramesSeen();
    return n;
}

std::string CaptureSession::DamageReport() const {
    return FileEnded() ? File()->DamageReport() : std::string();
}

std::vector<std::pair<std::string, CaptureStats>> CaptureSession::Stats() const {
    std::vector<std::pair<std::string, CaptureStats>> stats = m_stopped;
    for (const auto& a : m_analysers) {
        if (a->Stats().live) stats.emplace_back(a->DeviceName(), a->Stats());
    }
    return stats;
}

unsigned long long CaptureSession::Dropped() const {
    unsigned long long n = 0;
    for (const auto& s : Stats()) n += s.second.Dropped();
    return n;
}
