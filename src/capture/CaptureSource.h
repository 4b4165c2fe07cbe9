#pragma once

#include <pcap/pcap.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "capture/FrameQueue.h"
#include "netunpack/NetUnpack.h"

// What a live capture has seen and lost, as the capture library counts it, and what it handed
// on to the analysis.
struct CaptureStats {
    unsigned long long captured = 0;         // frames handed to the analysis
    unsigned long long received = 0;         // by the filter (dropped ones included)
    unsigned long long droppedByKernel = 0;  // no room in the capture buffer
    unsigned long long droppedByInterface = 0;
    // Captured, but still waiting for the analysis when the capture was stopped and the time
    // given to finish had run out.
    unsigned long long notAnalysed = 0;
    bool live = false;  // counts are only kept for live devices
    unsigned long long Dropped() const {
        return droppedByKernel + droppedByInterface + notAnalysed;
    }
};

// Receives the frames of a capture source on its capture thread, one call a frame, in capture
// order.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // `layout` is how the reading thread took the frame apart, or null when no thread did (live
    // devices). The bytes and the layout are valid during the call only.
    virtual void OnFrame(const struct pcap_pkthdr& header, const unsigned char* bytes,
                         const FrameLayout* layout) = 0;
    // The capture file is damaged: its reading ended there, after the last good frame and
    // before OnCaptureEnd.
    virtual void OnCaptureDamaged(const CaptureDamage& damage) { (void)damage; }
    // Whether a TCP segment without payload is only counted: the reading thread may then count
    // such frames itself and tell of them in OnSkippedFrames instead of handing them over.
    virtual bool SkipsEmptySegments() const { return false; }
    // `count` frames the reading thread only counted, told before the frames that followed them.
    virtual void OnSkippedFrames(unsigned long long count) { (void)count; }
    // The loop has ended (end of the file, or a stop), after the last frame.
    virtual void OnCaptureEnd() {}
    // A live capture has begun to lose packets (the first drop seen). Called on the thread that
    // reads the device, not the capture thread.
    virtual void OnDropsStarted(const CaptureStats& stats) { (void)stats; }
};

// One open capture (a live device or a file) and the threads that read it: the capture thread
// hands every frame to the sink; a file also gets a reading thread ahead of it that reads and
// classifies its frames, so reading overlaps the analysis.
class CaptureSource {
  public:
    static const int kSnapLen = 65536;
    static const int kPromiscuous = 1;
    // A live device hands over what it has at least this often, and a stop is seen as soon.
    static const int kReadTimeoutMs = 100;
    // The kernel's capture ring of a live device: a stall of the analysis of a quarter second at
    // a few hundred thousand packets a second fits.
    static const int kDefaultBufferSize = 64 << 20;
    // How much nicer than the reading thread a live capture's analysing thread runs.
    static const int kAnalysisNice = 10;
    // How long a live reading thread holding frames back waits for more before handing them.
    static const int kHoldPollMs = 20;
    static const int kSourceStringSize = 1024;
    static const size_t kFileBufferSize = 1 << 20;

    CaptureSource() = default;
    CaptureSource(const CaptureSource&) = delete;
    CaptureSource& operator=(const CaptureSource&) = delete;
    ~CaptureSource();

    // 0 opened, 1 no usable file name, 2 the file cannot be opened or is not Ethernet. On failure
    // ErrorMessage() and ErrorDetail() say why.
    int OpenFile(const std::string& path);
    // 0 opened, or the device has no IP address (nothing is opened); -1 the device cannot be
    // opened, or it is not Ethernet (the handle then stays open until Stop).
    int OpenDevice(pcap_if_t* device);
    // The size of the kernel's capture buffer for devices opened from now on.
    void SetBufferSize(int bytes) { m_bufferSize = bytes; }
    // Starts the threads on the open source; false when nothing is open, it already runs, or a
    // thread cannot be started.
    bool Start(FrameSink& sink);
    // The capture thread's work: reads until the end of the source or a stop, then tells the
    // sink. Start runs it on a thread of its own.
    void RunLoop();
    // Ends the loop, joins the threads and closes the source. Safe in any state and more than
    // once. A live device's frames already captured are analysed first, for at most
    // kStopDrainMs; those still waiting then are counted as not analysed.
    void Stop();
    static const int kStopDrainMs = 2000;
    // Stops taking frames without waiting: the first half of Stop, so that several sources
    // stopped together spend their time to finish at once.
    void EndCapture();

    bool IsOpen() const { return m_handle != nullptr; }
    bool IsRunning() const { return m_hasThread; }
    // True once the loop has ended and the sink has been told.
    bool LoopEnded() const { return m_loopEnded.load(); }
    // The report of the last failed open and the capture library's reason (empty when it did
    // not fail).
    const std::string& ErrorMessage() const { return m_errorMessage; }
    const std::string& ErrorDetail() const { return m_errorDetail; }
    // Whether and where the capture file is damaged; valid once LoopEnded() is true, kept until
    // the next open.
    const CaptureDamage& Damage() const { return m_damage; }
    const std::string& DamageReport() const { return m_damageReport; }
    // Frames handed to the sink so far.
    unsigned long long FramesSeen() const { return m_frames.load(std::memory_order_relaxed); }
    // What a live device has captured and lost so far; kept after Stop.
    CaptureStats Stats() const;
    // The device's name; empty for a file.
    const std::string& DeviceName() const { return m_deviceName; }
    // Bytes of the capture file read so far, for progress; 0 for live devices.
    long long FilePosition() const;
    pcap_t* Handle() const { return m_handle; }

    // Takes a frame apart as the analysis will need it; what the reading thread sends along.
    static FrameLayout ClassifyFrame(const struct pcap_pkthdr* header, const unsigned char* data,
                                     int linkType);
    // The same, written where the frame's record keeps it.
    static void ClassifyFrameInto(const struct pcap_pkthdr* header, const unsigned char* data,
                                  int linkType, FrameLayout* layout);
    // The link layer of the open capture's frames (LinkType values).
    int LinkType() const { return m_linkType; }
    // The bytes of a frame the analysis looks at: what was captured, up to the snapshot length.
    static int CapturedLength(const struct pcap_pkthdr* header) {
        return header->caplen > static_cast<bpf_u_int32>(kSnapLen)
                   ? kSnapLen
                   : static_cast<int>(header->caplen);
    }

  private:
    static void* CaptureThread(void* self);
    static void* ReaderThread(void* self);
    static void LoopCallback(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    static void ReaderCallback(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    static void LiveCallback(u_char* user, const struct pcap_pkthdr* header, const u_char* data);
    // The reading thread of a live device: batches from the capture library into the queue.
    void LiveLoop();
    void UpdateStats();
    void Deliver(const struct pcap_pkthdr& header, const unsigned char* bytes,
                 const FrameLayout* layout);
    void Failed(const std::string& message, const std::string& detail);
    // Runs the capture library's loop on a file; what damage it stopped at.
    CaptureDamage LibraryFileLoop(pcap_handler callback);
    void NoteLibraryFrame();

    // Whether the handle's link layer can be taken apart; if not, fails with the reason.
    bool AcceptLinkType(const std::string& what);

    pcap_t* m_handle = nullptr;
    int m_linkType = LINK_ETHERNET;
    int m_bufferSize = kDefaultBufferSize;
    bool m_live = false;  // the handle is a device's
    std::string m_deviceName;
    // Written by the reading thread of a live device.
    std::atomic<unsigned long long> m_pushed{0};
    std::atomic<unsigned long long> m_received{0};
    std::atomic<unsigned long long> m_droppedByKernel{0};
    std::atomic<unsigned long long> m_droppedByInterface{0};
    FrameSink* m_sink = nullptr;
    pthread_t m_thread{};
    bool m_hasThread = false;

    size_t LiveQueueBlocks() const;
    std::unique_ptr<FrameQueue> m_queue;  // from the reading thread to the capture thread
    pthread_t m_reader{};
    bool m_hasReader = false;

    std::atomic<bool> m_loopEnded{false};
    std::atomic<bool> m_stopping{false};  // tells the live reading thread to end
    timespec m_stopAsked{};
    unsigned long long m_framesAtStart = 0;
    std::atomic<unsigned long long> m_notAnalysed{0};
    std::atomic<unsigned long long> m_frames{0};
    FILE* m_file = nullptr;  // the capture file's stream, owned by the capture library
    bool m_classic = false;  // the file is read by the reading thread itself
    ClassicCaptureFormat m_classicFormat;
    std::atomic<long long> m_position{0};  // of the reading thread in such a file
    // The library's loop on a file: records read and where the next one starts.
    unsigned long long m_libraryFrames = 0;
    long long m_libraryOffset = 0;
    CaptureDamage m_damage;      // written by the capture thread before the loop has ended
    std::string m_damageReport;  // m_damage.Report()

    std::string m_errorMessage;
    std::string m_errorDetail;
};
