#pragma once

#include <list>
#include <string>

#include "analyse/ConnectionTable.h"
#include "analyse/NetDataPackageAnalyse.h"
#include "analyse/TcpConnection.h"
#include "database/SqliteDataBase.h"

// Tracks every TCP connection direction that opens with a stream request and collects its first
// bytes (about 2 KB) for the address extraction. The bytes are collected in sequence order, each
// once, as the flow layer puts them back together.
class CVideoStreamAnalyse : public CNetDataPackageAnalyse {
  public:
    static const int kCollectLimit = 2048;
    // Bounds that keep a flood of connections from exhausting memory.
    static const size_t kMaxConnections = 8192;
    static const int kMaxFirstFrameBytes = 4096;

    CVideoStreamAnalyse();
    ~CVideoStreamAnalyse() override;

    int StartFromDevice(pcap_if_t* device) override;
    int StartFromFile(std::string path) override;
    void OnTCP(CTCPNetUnpack* unpacker) override;
    // Whatever still waits behind a hole is delivered when the capture ends.
    void OnCaptureEnd() override;

    virtual const NetDataFilterInfo* FindFilter(const unsigned char* bytes, int length);
    virtual int ResetCounters();

    const ConnectionTable& Connections() const { return m_connections; }
    const FlowMemory& ReassemblyMemory() const { return m_flowMemory; }

  protected:
    // The tracking step for a segment with payload, whose direction is `key`.
    void Track(CTCPNetUnpack* u, const ConnectionKey& key);
    // Hands the connection's bytes, gaps and end to its sink; a flush delivers what is held.
    void Deliver(TcpConnection& c, TcpFlow::Direction d, CTCPNetUnpack* segment, bool flush);
    // The next bytes of the request direction, in order.
    void Collect(TcpConnection& c, const unsigned char* data, int length);
    // The media step: the next bytes of the direction that carries the media (from the server,
    // or to it when the client publishes), and the bytes it will never see.
    virtual void OnMediaBytes(TcpConnection& c, const unsigned char* data, int length) {}
    virtual void OnMediaGap(TcpConnection& c, uint32_t length) {}
    // A connection whose client turned out to publish: its media goes to the server from here
    // on, starting with the bytes already collected.
    virtual void OnPublishing(TcpConnection& c) {}
    // Calls OnStreamData with the connection's unpacker, the connection known to AnalyseUri.
    void Notify(TcpConnection& c);
    // The collection of the connection has reached kCollectLimit (or failed to become one).
    void Finished(const ConnectionKey& key, TcpConnection* c);

    ConnectionTable m_connections;
    FlowMemory m_flowMemory;
    TcpConnection* m_analysing = nullptr;  // whose bytes OnStreamData is looking at
    ConnectionKey m_currentKey;            // of the last start segment
    int m_byteCounter = 0;
    unsigned char m_clientAddr[16] = {};
    unsigned char m_serverAddr[16] = {};
    int m_clientPort = 0;
    int m_serverPort = 0;
    std::list<NetDataFilterInfo> m_filters;

  private:
    TcpConnection* StartConnection(CTCPNetUnpack* u, const ConnectionKey& key, StreamType type,
                                   bool pendingConnect);
    void RecordCounters(const ConnectionKey& key);
};
