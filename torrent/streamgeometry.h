#pragma once

#include <QtGlobal>

#include <map>
#include <set>
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

// Libtorrent piece priorities used by the read-ahead window. Libtorrent picks higher
// priorities first, so the read-ahead falls from just below urgent near the reader to low far
// ahead: it is fetched roughly in reading order without asking for strict order (which would
// put every missing head piece before the place a seek went to).
inline constexpr int kUrgentPriority = 7;        // what a reader needs next; heads and tails while starting
inline constexpr int kSoonPriority = 6;          // the other pieces with a deadline
inline constexpr int kReadAheadPriority = 5;     // the read-ahead right after them
inline constexpr int kFarReadAheadPriority = 2;  // the end of a long window
inline constexpr int kSettledStaticPriority = 1; // heads and tails of a file already playing

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

// Which pieces the torrent downloads and which of them carry a deadline. Every head/tail and
// window piece is wanted. Deadlines go to the first piece of each starting file and to the
// first `urgentPieces` missing pieces of each window (only the first one while its file
// starts); the other heads and tails of a starting file follow the reader's next pieces.
// Libtorrent requests deadline pieces before anything else and several at once, so a deadline
// on every head, tail and window piece would share a slow peer among pieces nobody reads yet.
// While a file's heads and tails are missing, only the first `minWindowPieces` of its windows
// rank as a window, the rest waits at the lowest priority; another file starting later does
// not narrow them.
// `startingStatics` are the head/tail pieces of files whose heads and tails are not all in yet.
WindowPlan planWindow(const std::map<int, int> &staticPieces, const std::set<int> &firstPieces,
                      const std::set<int> &startingStatics, const std::vector<WindowReader> &readers,
                      const std::vector<char> &have, int windowLength, int minWindowPieces, int urgentPieces,
                      int deadlineStepMs);

// Bytes the in-memory piece cache may hold for this piece length.
qint64 pieceCacheLimit(int pieceLength);

} // namespace svd
