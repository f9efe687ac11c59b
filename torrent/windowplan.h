#pragma once

#include "torrent/streamgeometry.h"

#include <QtGlobal>

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace svd {

struct StreamParams {
    qint64 readAheadBytes = 25165824;
    int minWindowPieces = 3;
    int deadlineStepMs = 400;
    qint64 headTailBytes = 4194304;
    // Missing pieces ahead of each reader that carry a deadline (at least minWindowPieces).
    qint64 urgentBytes = 4194304;
};

// Libtorrent piece priorities used by the read-ahead window. Libtorrent picks higher
// priorities first, so the read-ahead falls from just below urgent near the reader to low far
// ahead: it is fetched roughly in reading order without asking for strict order (which would
// put every missing head piece before the place a seek went to).
inline constexpr int kUrgentPriority = 7;       // what a reader needs next; heads and tails while starting
inline constexpr int kSoonPriority = 6;         // the other pieces with a deadline
inline constexpr int kReadAheadPriority = 5;    // the read-ahead right after them
// A starting file's end, after its next pieces: an MKV's index (Cues) sits there and the
// player reads it at the first seek, which a viewer skipping the opening makes seconds in.
inline constexpr int kStartingIndexPriority = 4;
inline constexpr int kStartingEndsPriority = 3; // a starting file's other heads and tails
inline constexpr int kFarReadAheadPriority = 2; // the end of a long window
// Fetched only when nothing else is left to ask for: the heads and tails of a file already
// playing, and the rest of a window whose file is still starting.
inline constexpr int kLowestWantedPriority = 1;

// The served files as the plan sees them, with their head and tail pieces; rebuilt when the
// served files change. A file starts until all its heads and tails are held.
struct ServedFiles {
    int pieceLength = 0;
    int numPieces = 0;
    std::map<int, FileSpan> spans;                   // file index -> its bytes in the payload
    std::map<int, int> headTails;                    // head or tail piece -> deadline ms
    std::map<int, std::vector<int>> headTailsOfFile; // file index -> its head and tail pieces
    std::set<int> firstPieces;                       // each file's first piece
    std::set<int> indexPieces;                       // the pieces holding each file's last bytes

    // Head pieces in `passed` (a reader went past them) no longer hold a file's start.
    bool starting(int file, const std::vector<char> &have, const std::set<int> &passed = {}) const;
    bool holds(int piece) const; // a piece of a served file
    bool allHeadTailsHeld(const std::vector<char> &have) const;
};

ServedFiles serveFiles(const std::map<int, FileSpan> &spans, int pieceLength, int numPieces,
                       qint64 headTailBytes);

struct ReadPosition {
    int file = 0;
    qint64 position = 0;
};

// Where the player reads: the open readers in the order they opened, and for each file without
// an open reader where its last one closed (that window stays until the file goes or a reader
// opens on it).
struct ReadPositions {
    std::vector<ReadPosition> open;
    std::map<int, qint64> lastClosed;
};

// What libtorrent is told: a priority for every piece and deadlines for some missing ones.
struct PiecePlan {
    std::vector<int> priorities;                // one per piece, 0 (not wanted) to 7
    std::vector<std::pair<int, int>> deadlines; // (piece, ms), ascending piece, missing pieces only

    bool hasDeadline(int piece) const;
    bool operator==(const PiecePlan &) const = default;
};

// Which pieces the torrent downloads, at which priority, and which of them carry a deadline.
// Every head/tail and window piece is wanted. Deadlines go to the first piece of each starting
// file and to as many missing pieces of each window as `urgentBytes` hold (at least
// `minWindowPieces`; only one while its file starts); the other heads and tails of a starting
// file follow the reader's next pieces. Libtorrent requests deadline pieces before anything
// else and several at once, so a deadline on every head, tail and window piece would share a
// slow peer among pieces nobody reads yet. While a file starts, only the first
// `minWindowPieces` of its windows rank as a window, the rest waits at the lowest priority;
// another file starting later does not narrow them.
PiecePlan planPieces(const StreamParams &params, const ServedFiles &served, const ReadPositions &readers,
                     const std::vector<char> &have);

// A reader that moves past the pieces with deadlines, or back by more than one piece, jumps:
// the requests still out for the old place would hold up the new one.
bool isJump(const StreamParams &params, int pieceLength, int fromPiece, int toPiece);

// The deadline calls that take libtorrent from the applied plan to the next, in this order,
// before the next plan's priorities are sent. Deadlines already given stay as they are:
// setting one again would move it to "now + d" and push a piece that has waited longest behind
// newer ones. With `replaceAll` (after a jump) every deadline goes and the next plan's are set
// afresh: with no deadline left, the first new one makes libtorrent cancel every request
// without a deadline, so the old window's requests no longer hold up the new piece.
struct DeadlineSteps {
    bool clearAll = false;
    std::vector<int> reset;               // pieces whose deadline goes
    std::vector<std::pair<int, int>> set; // (piece, ms)
};
DeadlineSteps deadlineSteps(const PiecePlan &applied, const PiecePlan &next, bool replaceAll);

} // namespace svd
