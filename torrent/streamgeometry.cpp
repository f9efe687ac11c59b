#include "torrent/streamgeometry.h"

#include <algorithm>
#include <map>

namespace svd {

int pieceAt(const FileSpan &file, qint64 position, int pieceLength)
{
    return int((file.offset + position) / pieceLength);
}

PieceRange piecesOf(const FileSpan &file, int pieceLength)
{
    return {int(file.offset / pieceLength), int((file.offset + std::max<qint64>(file.size, 1) - 1) / pieceLength)};
}

std::vector<std::pair<int, int>> headTailPieces(const std::vector<PieceRange> &servedFiles, int pieceLength,
                                                qint64 headTailBytes)
{
    std::vector<std::pair<int, int>> out;
    std::map<int, int> seen;
    const int k = int(std::max<qint64>(1, (headTailBytes + pieceLength - 1) / pieceLength));
    auto add = [&](int piece, int deadline) {
        if (seen.emplace(piece, deadline).second)
            out.emplace_back(piece, deadline);
    };
    for (const PieceRange &r : servedFiles) {
        for (int i = 0; i < k; ++i) {
            if (r.first + i <= r.last)
                add(r.first + i, 200 * i);
            if (r.last - i >= r.first)
                add(r.last - i, 300 + 200 * i);
        }
    }
    return out;
}

int windowPieces(qint64 readAheadBytes, int minWindowPieces, int pieceLength)
{
    const qint64 n = (readAheadBytes + pieceLength - 1) / pieceLength;
    return int(std::max<qint64>(minWindowPieces, n));
}

qint64 pieceCacheLimit(int pieceLength)
{
    return pieceLength <= 16777216 ? qint64(100663296) : qint64(6) * pieceLength;
}

} // namespace svd
