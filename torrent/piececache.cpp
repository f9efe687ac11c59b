#include "torrent/piececache.h"

namespace svd {

PieceBuffer PieceCache::use(int piece, int *size)
{
    const auto it = m_entries.find(piece);
    if (it == m_entries.end())
        return {};
    m_mru.remove(piece);
    m_mru.push_front(piece);
    if (size)
        *size = it->second.size;
    return it->second.buffer;
}

void PieceCache::insert(int piece, const PieceBuffer &buffer, int size)
{
    if (m_entries.count(piece))
        return;
    m_mru.push_front(piece);
    m_entries[piece] = Entry{buffer, size};
    m_bytes += size;
    while (m_bytes > m_limit && m_entries.size() > 1) {
        const int victim = m_mru.back();
        m_mru.pop_back();
        auto it = m_entries.find(victim);
        m_bytes -= it->second.size;
        m_entries.erase(it);
    }
}

void PieceCache::retain(const std::function<bool(int)> &keep)
{
    for (auto it = m_mru.begin(); it != m_mru.end();) {
        if (keep(*it)) {
            ++it;
            continue;
        }
        auto entry = m_entries.find(*it);
        m_bytes -= entry->second.size;
        m_entries.erase(entry);
        it = m_mru.erase(it);
    }
}

} // namespace svd
