#pragma once

#include <pcap/pcap.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>

#include "analyse/FrameQueue.h"

#include "netunpack/NetUnpack.h"

class CNetDataPackageAnalyse;

// Handed to the capture thread and, as user data, to the loop callback.
struct CaptureThreadParam {
    CNetDataPackageAnalyse* owner = nullptr;
    pcap_t* handle = nullptr;
    pcap_handler callback = nullptr;
};

// Root of the analysers: owns one capture handle and the thread that runs its packet loop, and
// dispatches every frame layer by layer to the hooks.
class CNetDataPackageAnalyse {
  public:
    static const int kSnapLen = 65536;
    static const int kPromiscuous = 1;
    static const int kReadTimeoutMs = 1000;
    static const int kSourceStringSize = 1024;
    static const size_t kFileBufferSize = 1 << 20;

    CNetDataPackageAnalyse();
    CNetDataPackageAnalyse(const CNetDataPackageAnalyse&) = delete;
    CNetDataPackageAnalyse& operator=(const CNetDataPackageAnalyse&) = delete;
    virtual ~CNetDataPackageAnalyse();

    virtual void packet_handler(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    virtual void AnalyseUri(CNetUnpack* unpacker, StreamType type) = 0;
    // 0 success, -1 failure.
    virtual int StartFromDevice(pcap_if_t* device);
    // 0 success, 1 no source string, 2 the file cannot be opened.
    virtual int StartFromFile(std::string path);
    // Safe in any state and more than once.
    virtual void Stop();
    virtual int IsTcpSuppressed() = 0;
    virtual void OnEthernet(CTCPNetUnpack* unpacker) {}
    virtual void OnIP(CTCPNetUnpack* unpacker) {}
    virtual void OnTCP(CTCPNetUnpack* unpacker) {}
    virtual void OnStreamData(CNetUnpack* unpacker, StreamType type) = 0;
    // Whether the hooks do anything with a TCP segment that carries no payload. When they do not,
    // a capture file's such segments (half of all, the acknowledgements) are counted and not
    // dispatched.
    virtual bool HandlesEmptySegments() const { return true; }
    // Called on the capture thread once the loop has ended (end of file, or stop), after the
    // last frame.
    virtual void OnCaptureEnd() {}
    // Capture time of the frame being handled, in microseconds.
    int64_t FrameTimeUs() const { return m_frameTimeUs; }

    // The caller owns the list and releases it with pcap_freealldevs; null on failure.
    static pcap_if_t* FindAllDevices();
    static void* packet_handler_thread(void* param);

    bool IsOpen() const { return m_handle != nullptr; }
    bool IsCapturing() const { return m_hasThread; }
    // True once a file capture has read its last frame (or a live loop ended by itself).
    bool LoopEnded() const { return m_loopEnded.load(); }
    // The report of the last failed open, and why it failed in the capture library's words
    // (both empty when it did not fail).
    const std::string& LastOpenMessage() const { return m_lastOpenMessage; }
    const std::string& LastOpenError() const { return m_lastOpenError; }
    // Frames handed to packet_handler so far.
    unsigned long long FramesSeen() const { return m_frames.load(std::memory_order_relaxed); }
    // Bytes of the capture file read so far, for progress; 0 for live devices.
    long long FilePosition() const;

  protected:
    // Starts the capture thread on the open handle; logs and returns non-zero on failure.
    int StartCaptureThread();

    pcap_t* m_handle = nullptr;
    pthread_t m_thread{};
    bool m_hasThread = false;
    CaptureThreadParam m_param;
    // Logs a failed open: the report, then the detail, both as errors.
    void OpenFailed(const std::string& message, const std::string& detail);

    std::string m_lastOpenMessage;
    std::string m_lastOpenError;

  private:
    static void LoopCallback(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    static void ReaderCallback(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    static void* ReaderThread(void* self);

    // Capture files are read on a thread of their own, so reading overlaps the analysis; the
    // frames are still analysed on the one capture thread, in order.
    std::unique_ptr<FrameQueue> m_queue;
    pthread_t m_reader{};
    bool m_hasReader = false;

    // How the reading thread took the frame being handled apart, or null.
    const FrameLayout* m_frameLayout = nullptr;
    CTCPNetUnpack m_unpacker;  // the capture thread's view of the frame being handled
    static FrameLayout ClassifyFrame(const struct pcap_pkthdr* header, const u_char* data);
    // Only the capture thread writes the count.
    void CountFrame() {
        m_frames.store(m_frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    int64_t m_frameTimeUs = 0;
    std::atomic<bool> m_loopEnded{false};
    std::atomic<unsigned long long> m_frames{0};
    unsigned m_exceptionsLogged = 0;
    FILE* m_file = nullptr;  // the capture file's stream, owned by the capture library
    bool m_classic = false;  // the file is read by the reading thread itself
    ClassicCaptureFormat m_classicFormat;
    std::atomic<long long> m_position{0};  // of the reading thread in such a file
};
