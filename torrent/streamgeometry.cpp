#include "torrent/streamgeometry.h"

#include <algorithm>

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

WindowPlan planWindow(const std::map<int, int> &staticPieces, const std::set<int> &firstPieces,
                      const std::set<int> &startingStatics, const std::vector<WindowReader> &readers,
                      const std::vector<char> &have, int windowLength, int minWindowPieces, int urgentPieces,
                      int deadlineStepMs)
{
    WindowPlan plan;
    auto missing = [&](int piece) { return piece >= 0 && size_t(piece) < have.size() && !have[size_t(piece)]; };
    std::map<int, int> urgent;
    // While a file starts, its first piece goes first, with a deadline; its other heads and
    // tails follow the reader's next pieces. A player needs the end before it plays only when
    // the index is there (MP4 without fast start), and then it reads there at once, which gives
    // that piece the reader's own deadline. Ahead of the reader, the end would make the second
    // piece of the video wait behind it at a slow peer that serves requests in order (a stall
    // right after the start).
    for (const auto &[piece, deadline] : staticPieces) {
        const bool starting = startingStatics.count(piece) > 0;
        const bool first = firstPieces.count(piece) > 0;
        plan.wanted[piece] = !starting ? kSettledStaticPriority : first ? kUrgentPriority : kReadAheadPriority;
        if (starting && first && missing(piece))
            urgent.emplace(piece, deadline);
    }
    for (const WindowReader &r : readers) {
        const int n = r.fileStarting ? minWindowPieces : windowLength;
        // While the file starts, the rest of its full window is wanted too, at the lowest
        // priority: libtorrent asks for it only when nothing else is left to ask for. Without it,
        // the torrent would run out of wanted pieces when the last head or tail piece comes in,
        // and libtorrent tells its peers it is not interested before the window widens (that
        // waits for the piece's alert); some clients (aria2) choke such a peer at once and
        // unchoke it only in their next choking round, ten seconds later.
        if (r.fileStarting) {
            for (int i = n; i < windowLength && r.startPiece + i <= r.lastPiece; ++i)
                plan.wanted.emplace(r.startPiece + i, kSettledStaticPriority);
        }
        // Libtorrent raises every deadline piece to the top, where it picks among them in no
        // set order: while the file starts, only the reader's next piece has one, so a slow
        // peer sends the piece that shows the first frame before anything else.
        const int deadlinePieces = r.fileStarting ? 1 : urgentPieces;
        int marked = 0;
        for (int i = 0; i < n && r.startPiece + i <= r.lastPiece; ++i) {
            const int piece = r.startPiece + i;
            const bool isUrgent = missing(piece) && marked < deadlinePieces;
            const int span = kReadAheadPriority - kFarReadAheadPriority;
            const int readAhead = r.fileStarting ? kSoonPriority
                                  : n > 1        ? kReadAheadPriority - span * i / (n - 1)
                                                 : kReadAheadPriority;
            int &prio = plan.wanted[piece];
            // One piece at a time at the top: a slow peer serves requests in order, and pieces
            // asked for side by side would all arrive late.
            prio = std::max(prio, !isUrgent ? readAhead : marked == 0 ? kUrgentPriority : kSoonPriority);
            if (!isUrgent)
                continue;
            ++marked;
            const int d = i * deadlineStepMs;
            auto [it, inserted] = urgent.emplace(piece, d);
            if (!inserted)
                it->second = std::min(it->second, d);
        }
    }
    plan.deadlines.assign(urgent.begin(), urgent.end());
    return plan;
}

qint64 pieceCacheLimit(int pieceLength)
{
    return pieceLength <= 16777216 ? qint64(100663296) : qint64(6) * pieceLength;
}

} // namespace svd
