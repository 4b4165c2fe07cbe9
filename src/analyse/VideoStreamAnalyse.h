#pragma once

#include <list>
#include <string>

#include "analyse/ConnectionTable.h"
#include "analyse/NetDataPackageAnalyse.h"
#include "database/SqliteDataBase.h"

// Tracks every TCP connection direction that opens with a stream request and collects its first
// bytes (about 2 KB) for the address extraction.
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

    virtual const NetDataFilterInfo* FindFilter(const unsigned char* bytes, int length);
    virtual int ResetCounters();

    const ConnectionTable& Connections() const { return m_connections; }

  protected:
    // The collection of the entry under the key has reached kCollectLimit.
    void Finished(const ConnectionKey& key, CPayloadNetUnpack* entry);

    ConnectionTable m_connections;
    ConnectionKey m_currentKey;  // of the last start segment
    int m_byteCounter = 0;
    unsigned char m_clientAddr[4] = {0, 0, 0, 0};
    unsigned char m_serverAddr[4] = {0, 0, 0, 0};
    int m_clientPort = 0;
    int m_serverPort = 0;
    std::list<NetDataFilterInfo> m_filters;
};
