#pragma once

#include <pcap/pcap.h>

#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analyse/VideoStreamUriAnalyse.h"

// One capture as a front end runs it: the interfaces there are to capture on, one analyser per
// device or one for a capture file, their progress and their losses, and one stop for all. The
// desktop window and the console both run their captures through it.
class CaptureSession {
  public:
    // An interface the front ends offer: one whose first IPv4 address is not 0.0.0.0, or one with
    // IPv6 addresses only.
    struct Interface {
        std::string name;
        std::string address;  // the IPv4 address as "%3d.%3d.%3d.%3d", or the first IPv6 one
        pcap_if_t* device;    // valid while the session lists it
        int index;            // among all the capture library's devices
    };

    // Hands media to the FLV writer and asks its recording list, as both front ends do.
    CaptureSession();
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Reads the interfaces again (they may have changed since); the devices listed before are
    // released. Not while analysers run on them.
    void ListInterfaces();
    const std::vector<Interface>& Interfaces() const { return m_interfaces; }
    // Releases the interfaces listed (their devices too). Not while analysers run on them.
    void ForgetInterfaces();
    // Any device of that exact name, listed or not ("any" has no address); null when none.
    pcap_if_t* FindDevice(const std::string& name) const;

    // How the analysers started from now on are made.
    // Without the database's filter rules (the console without a database).
    void SetWithoutDatabase(bool without) { m_withoutDatabase = without; }
    // The recording list is given once, before the start (the console): streams it does not name
    // need not be followed for a request that cannot come.
    void SetRecordingListFixed(bool fixed) { m_listFixed = fixed; }
    // The kernel's capture buffer of each device, in bytes (0: the default).
    void SetBufferSize(int bytes) { m_bufferSize = bytes; }
    // TLS key logs (NSS format) the analysers started from now on decrypt sessions with; each
    // reads them itself, and again as they grow. False, with the file, when one cannot be read
    // now (it is kept all the same).
    bool SetTlsKeyLogs(const std::vector<std::string>& paths, std::string* unreadable);

    // Starts an analyser on the device or the file; false when it cannot be opened (a device
    // without an address included), with the report and the capture library's reason.
    bool StartDevice(pcap_if_t* device, std::string* message, std::string* detail);
    bool StartFile(const std::string& path, std::string* message, std::string* detail);
    // Stops every analyser and releases it; the devices' counts are kept (Stats).
    void Stop();

    size_t Running() const { return m_analysers.size(); }
    // The capture file's analyser, when a file is being read: its loop has ended, how far it has
    // read, its frames, its damage report.
    bool FileEnded() const;
    long long FilePosition() const;
    unsigned long long FramesSeen() const;
    std::string DamageReport() const;
    // Of each live device: while it runs, what it has seen so far; after Stop, its last counts.
    std::vector<std::pair<std::string, CaptureStats>> Stats() const;
    unsigned long long Dropped() const;
    // The TLS sessions no analyser of this capture could read, stopped ones included.
    TlsUnread TlsUnreadSessions() const;

  private:
    std::unique_ptr<CVideoStreamUriAnalyse> NewAnalyser() const;
    const CVideoStreamUriAnalyse* File() const;

    pcap_if_t* m_devices = nullptr;
    std::vector<Interface> m_interfaces;
    std::vector<std::unique_ptr<CVideoStreamUriAnalyse>> m_analysers;
    bool m_fileSession = false;
    std::vector<std::pair<std::string, CaptureStats>> m_stopped;  // counts of stopped devices
    StreamDataCallback m_callback = nullptr;
    RecordingHooks m_hooks;
    bool m_withoutDatabase = false;
    bool m_listFixed = false;
    int m_bufferSize = 0;
    std::vector<std::string> m_keyLogs;
    TlsUnread m_stoppedTls;  // of the analysers stopped
};
