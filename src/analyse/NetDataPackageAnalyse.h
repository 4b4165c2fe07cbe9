#pragma once

#include <pcap/pcap.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/CaptureSource.h"
#include "netunpack/NetUnpack.h"

class CNetDataPackageAnalyse;

// Handed to packet_handler_thread.
struct CaptureThreadParam {
    CNetDataPackageAnalyse* owner = nullptr;
    pcap_t* handle = nullptr;
    pcap_handler callback = nullptr;
};

// Root of the analysers: owns one capture source and dispatches every frame it delivers layer by
// layer to the hooks.
class CNetDataPackageAnalyse : public FrameSink {
  public:
    static const int kSnapLen = CaptureSource::kSnapLen;
    static const int kPromiscuous = CaptureSource::kPromiscuous;
    static const int kReadTimeoutMs = CaptureSource::kReadTimeoutMs;
    static const int kSourceStringSize = CaptureSource::kSourceStringSize;
    static const size_t kFileBufferSize = CaptureSource::kFileBufferSize;

    CNetDataPackageAnalyse();
    CNetDataPackageAnalyse(const CNetDataPackageAnalyse&) = delete;
    CNetDataPackageAnalyse& operator=(const CNetDataPackageAnalyse&) = delete;
    ~CNetDataPackageAnalyse() override;

    // `user` is null, or the layout (a const FrameLayout*) the capture source found for this
    // frame on its reading thread.
    virtual void packet_handler(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    virtual void AnalyseUri(CNetUnpack* unpacker, StreamType type) = 0;
    // 0 success, -1 failure.
    virtual int StartFromDevice(pcap_if_t* device);
    // 0 success, 1 no source string, 2 the file cannot be opened.
    virtual int StartFromFile(std::string path);
    // Safe in any state and more than once.
    virtual void Stop();
    // Stops taking frames and returns at once; Stop then finishes the rest.
    void EndCapture() { m_capture.EndCapture(); }
    virtual int IsTcpSuppressed() = 0;
    virtual void OnEthernet(CTCPNetUnpack* unpacker) {}
    virtual void OnIP(CTCPNetUnpack* unpacker) {}
    virtual void OnTCP(CTCPNetUnpack* unpacker) {}
    virtual void OnStreamData(CNetUnpack* unpacker, StreamType type) = 0;
    // Whether the hooks do anything with a TCP segment that carries no payload. When they do not,
    // such segments (half of all, the acknowledgements) are counted and not dispatched, by the
    // reading thread where there is one.
    virtual bool HandlesEmptySegments() const { return true; }
    // On the capture thread once its loop has ended (end of the file, or a stop), after the last
    // frame and before LoopEnded() turns true.
    void OnCaptureEnd() override {}
    // Logs the damage of a capture file as an error, and shows it in the status line.
    void OnCaptureDamaged(const CaptureDamage& damage) final;
    // Logs, once a capture, that a live device has begun to lose packets.
    void OnDropsStarted(const CaptureStats& stats) final;

    // The link layer of frames handed to OnFrame without a layout by other than the capture
    // source (which sets it when the capture starts).
    void SetLinkType(int linkType) { m_unpacker.SetLinkType(linkType); }
    // The sink of the capture source: hands the frame to packet_handler.
    void OnFrame(const struct pcap_pkthdr& header, const unsigned char* bytes,
                 const FrameLayout* layout) final;
    // Empty segments the reading thread counted for it, when the hooks skip them.
    bool SkipsEmptySegments() const final { return m_skipEmpty; }
    void OnSkippedFrames(unsigned long long count) final { CountFrame(count); }

    // The caller owns the list and releases it with pcap_freealldevs; null on failure.
    static pcap_if_t* FindAllDevices();
    // Runs the owner's capture loop on the calling thread, until its end or a stop.
    static void* packet_handler_thread(void* param);

    bool IsOpen() const { return m_capture.IsOpen(); }
    bool IsCapturing() const { return m_capture.IsRunning(); }
    // True once a file capture has read its last frame (or a live loop ended by itself).
    bool LoopEnded() const { return m_capture.LoopEnded(); }
    // The report of the last failed open, and why it failed in the capture library's words
    // (both empty when it did not fail).
    const std::string& LastOpenMessage() const { return m_lastOpenMessage; }
    const std::string& LastOpenError() const { return m_lastOpenError; }
    // The damage that ended the reading of a capture file, one line ("damaged capture: ..."), or
    // empty; valid once LoopEnded() is true.
    const std::string& DamageReport() const { return m_capture.DamageReport(); }
    const CaptureDamage& Damage() const { return m_capture.Damage(); }
    // Frames handed to packet_handler so far.
    unsigned long long FramesSeen() const { return m_frames.load(std::memory_order_relaxed); }
    // Bytes of the capture file read so far, for progress; 0 for live devices.
    long long FilePosition() const { return m_capture.FilePosition(); }
    // What a live device has captured and lost so far (kept after Stop), and its name.
    CaptureStats Stats() const { return m_capture.Stats(); }
    const std::string& DeviceName() const { return m_capture.DeviceName(); }
    // The kernel's capture buffer for devices opened from now on.
    void SetCaptureBufferSize(int bytes) { m_capture.SetBufferSize(bytes); }
    // The capture time of the frame being handled, in microseconds since the epoch; valid from
    // before the hooks run for it.
    int64_t FrameTimeUs() const { return m_frameTimeUs; }

  protected:
    // Starts the capture thread on the open source; logs and returns non-zero on failure.
    int StartCaptureThread();

    CaptureThreadParam m_param;
    // Logs a failed open: the report, then the detail, both as errors.
    void OpenFailed(const std::string& message, const std::string& detail);

    std::string m_lastOpenMessage;
    std::string m_lastOpenError;

  private:
    std::string m_filePath;  // of the open capture file
    CaptureSource m_capture;
    CTCPNetUnpack m_unpacker;  // the capture thread's view of the frame being handled
    // Only the capture thread writes the count.
    void CountFrame(unsigned long long count = 1) {
        m_frames.store(m_frames.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
    }

    std::atomic<unsigned long long> m_frames{0};
    unsigned m_exceptionsLogged = 0;
    bool m_skipEmpty = false;  // HandlesEmptySegments() of this analyser, read at the start
    int64_t m_frameTimeUs = 0;
};
