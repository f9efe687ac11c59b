#pragma once

#include <QtGlobal>

#include <boost/shared_array.hpp>

#include <functional>
#include <list>
#include <map>
#include <vector>

namespace svd {

using PieceBuffer = boost::shared_array<char>;

// Pieces read back from storage, most recently used first, within a byte limit; a single
// piece stays even when it alone is larger. Not thread-safe: its owner's mutex guards it.
class PieceCache
{
public:
    void setLimit(qint64 bytes) { m_limit = bytes; }
    // The cached piece, now the most recently used; null when not cached.
    PieceBuffer use(int piece, int *size);
    // An already cached piece keeps its buffer.
    void insert(int piece, const PieceBuffer &buffer, int size);
    std::vector<int> pieces() const { return {m_mru.begin(), m_mru.end()}; }
    // Drops every piece `keep` says no to (those of files nobody plays any more).
    void retain(const std::function<bool(int)> &keep);

private:
    struct Entry {
        PieceBuffer buffer;
        int size = 0;
    };
    std::map<int, Entry> m_entries;
    std::list<int> m_mru;
    qint64 m_bytes = 0;
    qint64 m_limit = 0;
};

} // namespace svd
