#include "analyse/FrameQueue.h"

#include <cstring>

std::unique_ptr<FrameQueue::Block> FrameQueue::TakeFree() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_free.empty()) {
            std::unique_ptr<Block> b = std::move(m_free.back());
            m_free.pop_back();
            b->used = 0;
            return b;
        }
    }
    std::unique_ptr<Block> b(new Block());
    b->bytes.resize(kBlockSize);
    return b;
}

bool FrameQueue::Push(const struct pcap_pkthdr* header, const u_char* data, int streamType) {
    const size_t caplen = header->caplen;
    const size_t need = sizeof(Record) + ((caplen + 7u) & ~size_t(7));
    if (m_filling && m_filling->used + need > m_filling->bytes.size()) {
        if (!Flush()) return false;
    }
    if (!m_filling) {
        m_filling = TakeFree();
        // A frame larger than a block gets a block of its own size.
        if (m_filling->bytes.size() < need) m_filling->bytes.resize(need);
    }
    Record r{static_cast<uint32_t>(caplen),
             header->len,
             static_cast<int64_t>(header->ts.tv_sec),
             static_cast<int64_t>(header->ts.tv_usec),
             streamType,
             0};
    unsigned char* at = m_filling->bytes.data() + m_filling->used;
    std::memcpy(at, &r, sizeof(r));
    if (caplen > 0) std::memcpy(at + sizeof(r), data, caplen);
    m_filling->used += need;
    return true;
}

bool FrameQueue::Flush() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_cancelled || m_full.size() < kMaxFullBlocks; });
    if (m_cancelled) return false;
    m_full.push_back(std::move(m_filling));
    m_changed.notify_all();
    return true;
}

void FrameQueue::Finish() {
    if (m_filling && m_filling->used > 0) Flush();
    std::lock_guard<std::mutex> guard(m_lock);
    m_finished = true;
    m_changed.notify_all();
}

void FrameQueue::Cancel() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cancelled = true;
    m_changed.notify_all();
}

std::unique_ptr<FrameQueue::Block> FrameQueue::PopFull() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return m_cancelled || m_finished || !m_full.empty(); });
    if (m_cancelled || m_full.empty()) return nullptr;
    std::unique_ptr<Block> b = std::move(m_full.front());
    m_full.pop_front();
    m_changed.notify_all();
    return b;
}

void FrameQueue::Recycle(std::unique_ptr<Block> block) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (block->bytes.size() == kBlockSize) m_free.push_back(std::move(block));
}
