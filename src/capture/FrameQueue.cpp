#include "capture/FrameQueue.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netunpack/ZMemory.h"

namespace {

inline uint32_t Field32(ByteReader& r, bool bigEndian) {
    return bigEndian ? r.Be32() : r.Le32();
}

inline uint16_t Field16(ByteReader& r, bool bigEndian) {
    return bigEndian ? r.Be16() : r.Le16();
}

const size_t kRecordHeader = 16;

}  // namespace

std::string CaptureDamage::Report() const {
    if (kind == kNone) return std::string();
    return "damaged capture: record " + std::to_string(frame) + " at offset " +
           std::to_string(offset) + " " + reason;
}

bool FrameQueue::IsClassicCaptureFile(const unsigned char header[24],
                                      ClassicCaptureFormat* format) {
    ByteReader r(header, 24);
    const uint32_t magic = r.Le32();
    ClassicCaptureFormat f;
    if (magic == 0xa1b2c3d4u || magic == 0xa1b23c4du) {
        f.bigEndian = false;
    } else if (magic == 0xd4c3b2a1u || magic == 0x4d3cb2a1u) {
        f.bigEndian = true;
    } else {
        return false;
    }
    f.nanoseconds = magic == 0xa1b23c4du || magic == 0x4d3cb2a1u;
    // Older versions lay their lengths out differently; the capture library reads those.
    const uint16_t major = Field16(r, f.bigEndian);
    const uint16_t minor = Field16(r, f.bigEndian);
    if (major != 2 || minor != 4) return false;
    if (format != nullptr) *format = f;
    return true;
}

FrameQueue::FrameQueue(size_t maxFullBlocks, bool allUpFront)
    : m_full(maxFullBlocks < kMaxFullBlocks ? kMaxFullBlocks : maxFullBlocks) {
    const size_t made = (allUpFront ? m_full.size() : kMaxFullBlocks) + 2;
    const size_t kHuge = size_t{2} << 20;
    const size_t bytes = (made * kBlockSize + kHuge - 1) & ~(kHuge - 1);
    unsigned char* region = BlockPool::MapAligned(bytes, true);
    if (region != nullptr) {
        // A live device's queue is written now, as its reading thread would otherwise fault
        // the pages in mid-burst; a file's reading thread faults them in with its first reads,
        // while the analysis waits for its first block anyway.
        if (allUpFront) std::memset(region, 0, bytes);
        m_region = region;
        m_regionSize = bytes;
    }
    for (size_t i = 0; i < made; ++i) {
        std::unique_ptr<Block> b(new Block());
        if (region != nullptr) {
            b->bytes.Place(region + i * kBlockSize, kBlockSize);
        } else {
            b->bytes.resize(kBlockSize);
        }
        b->frames.reserve(4096);
        m_free.push_back(std::move(b));
    }
}

FrameQueue::~FrameQueue() {
    // The blocks placed in the region go with the queue; nothing reads them any more.
    if (m_region != nullptr) munmap(m_region, m_regionSize);
}

std::unique_ptr<FrameQueue::Block> FrameQueue::TakeFree() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_free.empty()) {
            std::unique_ptr<Block> b = std::move(m_free.back());
            m_free.pop_back();
            b->used = 0;
            b->frames.clear();
            b->skipped = 0;
            b->classified = true;
            return b;
        }
    }
    std::unique_ptr<Block> b(new Block());
    b->bytes.resize(kBlockSize);
    b->frames.reserve(4096);
    return b;
}

bool FrameQueue::Room(size_t need, bool live) {
    if (m_filling && m_filling->used + need > m_filling->bytes.size()) {
        if (!Flush()) return false;
    }
    if (!m_filling) {
        m_filling = TakeFree();
        // A frame larger than a block gets a block of its own size.
        if (m_filling->bytes.size() < need) m_filling->bytes.resize(need);
        if (live) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_filling->classified = m_fullCount < kBehindBlocks;
        }
    }
    return true;
}

FrameQueue::FrameRef& FrameQueue::Append(const struct pcap_pkthdr* header, const u_char* data,
                                         size_t need) {
    const size_t caplen = header->caplen;
    m_filling->frames.emplace_back();
    FrameRef& r = m_filling->frames.back();
    r.offset = static_cast<uint32_t>(m_filling->used);
    r.caplen = static_cast<uint32_t>(caplen);
    r.len = header->len;
    r.usec = static_cast<uint32_t>(header->ts.tv_usec);
    r.sec = static_cast<int64_t>(header->ts.tv_sec);
    if (caplen > 0) std::memcpy(m_filling->bytes.data() + m_filling->used, data, caplen);
    m_filling->used += need;
    return r;
}

bool FrameQueue::Push(const struct pcap_pkthdr* header, const u_char* data,
                      const FrameLayout& layout) {
    const size_t need = (static_cast<size_t>(header->caplen) + 7u) & ~size_t(7);
    if (!Room(need, false)) return false;
    Append(header, data, need).layout = layout;
    return true;
}

bool FrameQueue::PushLive(const struct pcap_pkthdr* header, const u_char* data, Classifier classify,
                          int linkType) {
    const size_t need = (static_cast<size_t>(header->caplen) + 7u) & ~size_t(7);
    if (!Room(need, true)) return false;
    if (!m_filling->classified) {
        Append(header, data, need);
        return true;
    }
    FrameLayout layout;
    classify(header, data, linkType, &layout);
    if (Skips(layout)) {
        ++m_filling->skipped;  // not even copied
        return true;
    }
    Append(header, data, need).layout = layout;
    return true;
}

bool FrameQueue::Hand() {
    if (!m_filling || !m_filling->HasNews()) return true;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_fullCount != 0 && !m_cancelled) return true;
    }
    return Flush();
}

bool FrameQueue::ReadClassicFile(int fd, long long offset, const ClassicCaptureFormat& format,
                                 Classifier classify, std::atomic<long long>* position,
                                 CaptureDamage* damage) {
    const uint32_t snap = format.snapLength > 0 ? format.snapLength : kMaxRecordLength;
    size_t carry = 0;  // bytes of an unfinished record at the start of the block being filled
    unsigned long long delivered = 0;  // records handed on so far
    CaptureDamage found;
    for (;;) {
        if (!m_filling) m_filling = TakeFree();
        Block& b = *m_filling;
        size_t have = carry;
        size_t at = 0;  // the records before it are taken
        bool end = false;
        int readError = 0;
        for (;;) {
            // The whole records read so far, while their bytes are still in this core's cache: a
            // whole block read at once would have pushed its first part out.
            ByteReader records(b.bytes.data(), have);
            records.Seek(at);
            while (records.Has(kRecordHeader)) {
                const size_t start = records.Position();
                const uint32_t sec = Field32(records, format.bigEndian);
                const uint32_t usec = Field32(records, format.bigEndian);
                const uint32_t caplen = Field32(records, format.bigEndian);
                const uint32_t len = Field32(records, format.bigEndian);
                if (caplen > kMaxRecordLength) {
                    records.Seek(start);
                    end = true;  // damaged: the capture library stops here too
                    found.kind = CaptureDamage::kTooLong;
                    found.reason = "declares " + std::to_string(caplen) +
                                   " captured bytes (more than " +
                                   std::to_string(kMaxRecordLength) + ")";
                    break;
                }
                if (!records.Has(caplen)) {
                    records.Seek(start);
                    break;  // continues with the next bytes read
                }
                // Written in place, the layout by the classifier: no copy of a record.
                b.frames.emplace_back();
                FrameRef& r = b.frames.back();
                r.offset = static_cast<uint32_t>(records.Position());
                r.caplen = caplen < snap ? caplen : snap;
                r.len = len;
                r.usec = format.nanoseconds ? usec / 1000 : usec;
                r.sec = sec;
                struct pcap_pkthdr header {};
                header.caplen = r.caplen;
                header.len = len;
                header.ts.tv_sec = static_cast<time_t>(sec);
                header.ts.tv_usec = static_cast<suseconds_t>(r.usec);
                classify(&header, b.bytes.data() + r.offset, format.linkType, &r.layout);
                if (Skips(r.layout)) {
                    b.frames.pop_back();  // its slot takes the next record
                    ++b.skipped;
                }
                records.Skip(caplen);
                ++delivered;
            }
            at = records.Position();
            if (end || have == b.bytes.size()) break;
            const size_t want = std::min(kReadChunk, b.bytes.size() - have);
            ssize_t n;
            do {
                n = pread(fd, b.bytes.data() + have, want, offset);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                end = true;  // the end of the file, or it cannot be read further
                if (n < 0) readError = errno;
                break;
            }
            have += static_cast<size_t>(n);
            offset += n;
        }

        const long long atOffset = offset - static_cast<long long>(have - at);
        if (position != nullptr) position->store(atOffset);
        if (end && found.kind == CaptureDamage::kNone) {
            if (readError != 0) {
                found.kind = CaptureDamage::kOther;
                found.reason = std::string("cannot be read: ") + std::strerror(readError);
            } else if (at < have) {
                found.kind = CaptureDamage::kCutShort;
                found.reason = "is cut short by the end of the file";
            }
        }
        if (found.kind != CaptureDamage::kNone) {
            found.frame = delivered + 1;
            found.offset = atOffset;
            if (damage != nullptr) *damage = found;
        }

        // A record cut off by the end of the file is dropped, as the capture library drops it.
        std::unique_ptr<Block> next;
        carry = end ? 0 : have - at;
        if (carry > 0) {
            next = TakeFree();
            std::memcpy(next->bytes.data(), b.bytes.data() + at, carry);
        }
        b.used = at;
        if (b.HasNews()) {
            if (!Flush()) return false;
        }
        if (next) m_filling = std::move(next);
        if (end) return true;
    }
}

bool FrameQueue::Flush() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_cancelled || m_fullCount < m_full.size(); });
    if (m_cancelled) return false;
    m_full[(m_fullFirst + m_fullCount++) % m_full.size()] = std::move(m_filling);
    m_changed.notify_all();
    return true;
}

void FrameQueue::Finish(const CaptureDamage& damage) {
    if (m_filling && m_filling->HasNews()) Flush();
    std::lock_guard<std::mutex> guard(m_lock);
    m_damage = damage;
    m_finished = true;
    m_changed.notify_all();
}

CaptureDamage FrameQueue::Damage() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_damage;
}

void FrameQueue::Cancel() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cancelled = true;
    m_changed.notify_all();
}

std::unique_ptr<FrameQueue::Block> FrameQueue::PopFull() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_cancelled || m_finished || m_fullCount != 0; });
    if (m_cancelled || m_fullCount == 0) return nullptr;
    std::unique_ptr<Block> b = std::move(m_full[m_fullFirst]);
    m_fullFirst = (m_fullFirst + 1) % m_full.size();
    --m_fullCount;
    m_changed.notify_all();
    return b;
}

void FrameQueue::Recycle(std::unique_ptr<Block> block) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (block->bytes.size() == kBlockSize) m_free.push_back(std::move(block));
}
