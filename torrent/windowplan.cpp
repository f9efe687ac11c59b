#include "torrent/windowplan.h"

#include <algorithm>

namespace svd {

namespace {

// An index at the end of a file (an MKV's Cues) is rarely larger; the pieces holding this
// much of the end come before the file's other heads and tails.
constexpr qint64 kEndIndexBytes = 256 * 1024;

bool held(const std::vector<char> &have, int piece)
{
    return piece >= 0 && size_t(piece) < have.size() && have[size_t(piece)];
}

bool missing(const std::vector<char> &have, int piece)
{
    return piece >= 0 && size_t(piece) < have.size() && !have[size_t(piece)];
}

// One read position as the window sees it: the piece being read, the file's last piece and
// whether the file's own head and tail pieces are still missing.
struct Window {
    int startPiece = 0;
    int lastPiece = 0;
    bool fileStarting = false;
};

struct Sizes {
    int window = 0;       // read-ahead pieces once the file has started
    int minWindow = 0;    // read-ahead pieces while it starts
    int urgent = 0;       // missing pieces with a deadline per window
    int deadlineStep = 0; // ms between the deadlines of consecutive pieces
};

// Head pieces of a file that an open reader has gone past while they were still missing: the
// player opened the file and jumped into it before they came in. Only a seek back needs them,
// and libtorrent finishes any partly fetched piece before others once it holds several, so a
// head piece left half done by the jump would share a slow peer with the piece the reader
// waits on. A reader inside the head or tail (the player probing, or reading an MP4's index)
// passes nothing.
std::set<int> passedHeads(const ServedFiles &served, const ReadPositions &readers, const std::vector<char> &have)
{
    std::set<int> passed;
    for (const ReadPosition &r : readers.open) {
        const auto span = served.spans.find(r.file);
        const auto ends = served.headTailsOfFile.find(r.file);
        if (span == served.spans.end() || ends == served.headTailsOfFile.end())
            continue;
        const int at = pieceAt(span->second, std::clamp<qint64>(r.position, 0, std::max<qint64>(span->second.size - 1, 0)),
                               served.pieceLength);
        const std::vector<int> &pieces = ends->second;
        if (std::find(pieces.begin(), pieces.end(), at) != pieces.end())
            continue;
        for (int piece : pieces) {
            if (piece < at && missing(have, piece) && !served.firstPieces.count(piece))
                passed.insert(piece);
        }
    }
    return passed;
}

std::vector<Window> windowsOf(const ServedFiles &served, const ReadPositions &readers,
                              const std::vector<char> &have, const std::set<int> &passed)
{
    std::vector<ReadPosition> positions = readers.open;
    std::set<int> filesWithReader;
    for (const ReadPosition &r : readers.open)
        filesWithReader.insert(r.file);
    for (const auto &[file, pos] : readers.lastClosed) {
        if (!filesWithReader.count(file))
            positions.push_back({file, pos});
    }
    std::vector<Window> windows;
    for (const ReadPosition &r : positions) {
        const auto span = served.spans.find(r.file);
        if (span == served.spans.end())
            continue;
        const qint64 at = std::clamp<qint64>(r.position, 0, std::max<qint64>(span->second.size - 1, 0));
        windows.push_back({pieceAt(span->second, at, served.pieceLength),
                           piecesOf(span->second, served.pieceLength).last, served.starting(r.file, have, passed)});
    }
    return windows;
}

// While a file starts, its first piece goes first, with a deadline; its other heads and
// tails follow the reader's next pieces, its last bytes first. A player needs the end before it plays only when
// the index is there (MP4 without fast start), and then it reads there at once, which gives
// that piece the reader's own deadline. Ahead of the reader, the end would make the second
// piece of the video wait behind it at a slow peer that serves requests in order (a stall
// right after the start).
void planHeadTails(const ServedFiles &served, const std::vector<char> &have, const std::set<int> &passed,
                   std::map<int, int> *wanted, std::map<int, int> *urgent)
{
    std::set<int> startingHeadTails;
    for (const auto &[file, pieces] : served.headTailsOfFile) {
        if (served.starting(file, have, passed))
            startingHeadTails.insert(pieces.begin(), pieces.end());
    }
    for (const auto &[piece, deadline] : served.headTails) {
        if (passed.count(piece))
            continue;
        const bool starting = startingHeadTails.count(piece) > 0;
        const bool first = served.firstPieces.count(piece) > 0;
        (*wanted)[piece] = !starting                      ? kLowestWantedPriority
                           : first                        ? kUrgentPriority
                           : served.indexPieces.count(piece) ? kStartingIndexPriority
                                                          : kStartingEndsPriority;
        if (starting && first && missing(have, piece))
            urgent->emplace(piece, deadline);
    }
}

void planWindow(const Window &r, const Sizes &sizes, const std::vector<char> &have,
                std::map<int, int> *wanted, std::map<int, int> *urgent)
{
    const int n = r.fileStarting ? sizes.minWindow : sizes.window;
    // While the file starts, the rest of its full window is wanted too, at the lowest
    // priority: libtorrent asks for it only when nothing else is left to ask for. Without it,
    // the torrent would run out of wanted pieces when the last head or tail piece comes in,
    // and libtorrent tells its peers it is not interested before the window widens (that
    // waits for the piece's alert); some clients (aria2) choke such a peer at once and
    // unchoke it only in their next choking round, ten seconds later.
    if (r.fileStarting) {
        for (int i = n; i < sizes.window && r.startPiece + i <= r.lastPiece; ++i)
            wanted->emplace(r.startPiece + i, kLowestWantedPriority);
    }
    // Libtorrent raises every deadline piece to the top, where it picks among them in no
    // set order: while the file starts, only the reader's next piece has one, so a slow
    // peer sends the piece that shows the first frame before anything else.
    const int deadlinePieces = r.fileStarting ? 1 : sizes.urgent;
    int marked = 0;
    for (int i = 0; i < n && r.startPiece + i <= r.lastPiece; ++i) {
        const int piece = r.startPiece + i;
        const bool isUrgent = missing(have, piece) && marked < deadlinePieces;
        const int span = kReadAheadPriority - kFarReadAheadPriority;
        // Falling with the distance, so that a peer asked for more than one piece at a time
        // sends the next one the reader needs first (equal priorities go in no set order).
        const int readAhead = r.fileStarting ? std::max(kSoonPriority - std::max(i - 1, 0), kStartingIndexPriority + 1)
                              : n > 1        ? kReadAheadPriority - span * i / (n - 1)
                                             : kReadAheadPriority;
        int &prio = (*wanted)[piece];
        // One piece at a time at the top: a slow peer serves requests in order, and pieces
        // asked for side by side would all arrive late.
        prio = std::max(prio, !isUrgent ? readAhead : marked == 0 ? kUrgentPriority : kSoonPriority);
        if (!isUrgent)
            continue;
        ++marked;
        const int d = i * sizes.deadlineStep;
        auto [it, inserted] = urgent->emplace(piece, d);
        if (!inserted)
            it->second = std::min(it->second, d);
    }
}

} // namespace

bool ServedFiles::starting(int file, const std::vector<char> &have, const std::set<int> &passed) const
{
    const auto it = headTailsOfFile.find(file);
    return it != headTailsOfFile.end() && std::any_of(it->second.begin(), it->second.end(), [&](int piece) {
               return !held(have, piece) && !passed.count(piece);
           });
}

bool ServedFiles::holds(int piece) const
{
    return std::any_of(spans.begin(), spans.end(), [&](const auto &e) {
        const PieceRange r = piecesOf(e.second, pieceLength);
        return r.first <= piece && piece <= r.last;
    });
}

bool ServedFiles::allHeadTailsHeld(const std::vector<char> &have) const
{
    return std::all_of(headTails.begin(), headTails.end(),
                       [&](const auto &e) { return held(have, e.first); });
}

ServedFiles serveFiles(const std::map<int, FileSpan> &spans, int pieceLength, int numPieces,
                       qint64 headTailBytes)
{
    ServedFiles served;
    served.pieceLength = pieceLength;
    served.numPieces = numPieces;
    served.spans = spans;
    std::vector<PieceRange> ranges;
    for (const auto &[file, span] : spans) {
        ranges.push_back(piecesOf(span, pieceLength));
        served.firstPieces.insert(ranges.back().first);
        for (int p = pieceAt(span, std::max<qint64>(span.size - kEndIndexBytes, 0), pieceLength);
             p <= ranges.back().last; ++p)
            served.indexPieces.insert(p);
        for (const auto &entry : headTailPieces({ranges.back()}, pieceLength, headTailBytes))
            served.headTailsOfFile[file].push_back(entry.first);
    }
    for (const auto &[piece, deadline] : headTailPieces(ranges, pieceLength, headTailBytes))
        served.headTails.emplace(piece, deadline);
    return served;
}

bool PiecePlan::hasDeadline(int piece) const
{
    return std::any_of(deadlines.begin(), deadlines.end(), [&](const auto &e) { return e.first == piece; });
}

PiecePlan planPieces(const StreamParams &params, const ServedFiles &served, const ReadPositions &readers,
                     const std::vector<char> &have)
{
    const Sizes sizes{windowPieces(params.readAheadBytes, params.minWindowPieces, served.pieceLength),
                      params.minWindowPieces,
                      windowPieces(params.urgentBytes, params.minWindowPieces, served.pieceLength),
                      params.deadlineStepMs};
    std::map<int, int> wanted; // piece -> priority
    std::map<int, int> urgent; // piece -> deadline ms
    const std::set<int> passed = passedHeads(served, readers, have);
    planHeadTails(served, have, passed, &wanted, &urgent);
    for (const Window &w : windowsOf(served, readers, have, passed))
        planWindow(w, sizes, have, &wanted, &urgent);

    PiecePlan plan;
    plan.priorities.assign(size_t(std::max(served.numPieces, 0)), 0);
    for (const auto &[piece, priority] : wanted)
        plan.priorities[size_t(piece)] = priority;
    plan.deadlines.assign(urgent.begin(), urgent.end());
    return plan;
}

bool isJump(const StreamParams &params, int pieceLength, int fromPiece, int toPiece)
{
    const int urgent = windowPieces(params.urgentBytes, params.minWindowPieces, pieceLength);
    return toPiece > fromPiece + urgent || toPiece < fromPiece - 1;
}

DeadlineSteps deadlineSteps(const PiecePlan &applied, const PiecePlan &next, bool replaceAll)
{
    DeadlineSteps steps;
    steps.clearAll = replaceAll;
    const std::map<int, int> before(applied.deadlines.begin(), applied.deadlines.end());
    const std::map<int, int> after(next.deadlines.begin(), next.deadlines.end());
    for (const auto &e : next.deadlines)
        if (replaceAll || !before.count(e.first))
            steps.set.push_back(e);
    // Cleared with the rest when all are replaced.
    if (!replaceAll) {
        for (const auto &e : applied.deadlines)
            if (!after.count(e.first))
                steps.reset.push_back(e.first);
    }
    return steps;
}

} // namespace svd
