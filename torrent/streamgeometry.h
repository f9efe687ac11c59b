#pragma once

#include <QtGlobal>

#include <map>
#include <utility>
#include <vector>

namespace svd {

// Byte span of one file inside the torrent's concatenated payload.
struct FileSpan {
    qint64 offset = 0;
    qint64 size = 0;
};

struct PieceRange {
    int first = 0;
    int last = 0;
};

// Piece holding byte `position` of the file.
int pieceAt(const FileSpan &file, qint64 position, int pieceLength);
// First and last piece of the file (an empty file still occupies the piece at its offset).
PieceRange piecesOf(const FileSpan &file, int pieceLength);

// Head and tail pieces of the served files with their deadlines in ms, in the order they are
// inserted (head 0, tail 0, head 1, ... file by file); a piece reached twice keeps its first deadline.
std::vector<std::pair<int, int>> headTailPieces(const std::vector<PieceRange> &servedFiles, int pieceLength,
                                                qint64 headTailBytes);

// Read-ahead window length in pieces.
int windowPieces(qint64 readAheadBytes, int minWindowPieces, int pieceLength);

// Libtorrent piece priorities used by the read-ahead window.
inline constexpr int kUrgentPriority = 7;   // what a reader needs next, heads and tails
inline constexpr int kReadAheadPriority = 4; // the rest of a window, picked in piece order

// One read position as the window sees it: the piece being read, the file's last piece and
// whether the file's own head and tail pieces are still missing.
struct WindowReader {
    int startPiece = 0;
    int lastPiece = 0;
    bool fileStarting = false;
};

struct WindowPlan {
    std::map<int, int> wanted;                   // piece -> priority
    std::vector<std::pair<int, int>> deadlines;  // (piece, ms), ascending piece, missing pieces only
};

// Which pieces the torrent downloads and which of them carry a deadline. Every window piece is
// wanted, but only the head/tail pieces still missing and the first `urgentPieces` missing
// pieces of each window get a deadline and top priority: libtorrent requests deadline pieces
// before anything else, and a deadline on every window piece would queue the piece a reader
// waits for behind seconds of far read-ahead. While a file's heads and tails are missing its
// windows are only `minWindowPieces` long; another file starting later does not narrow them.
WindowPlan planWindow(const std::map<int, int> &staticPieces, const std::vector<WindowReader> &readers,
                      const std::vector<char> &have, int windowLength, int minWindowPieces, int urgentPieces,
                      int deadlineStepMs);

// Bytes the in-memory piece cache may hold for this piece length.
qint64 pieceCacheLimit(int pieceLength);

} // namespace svd
