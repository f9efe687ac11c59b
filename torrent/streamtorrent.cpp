#include "torrent/streamtorrent.h"

#include "base/log.h"
#include "torrent/torrentengine.h"

#include <libtorrent/torrent_status.hpp>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace svd {

namespace {

QString mib0(qint64 bytes)
{
    return QString::number(double(bytes) / 1048576.0, 'f', 0);
}

void logAll(const QStringList &lines)
{
    for (const QString &l : lines)
        logLine(l);
}

} // namespace

bool isDiskFullError(const boost::system::error_code &ec)
{
    if (!ec)
        return false;
    const boost::system::error_condition full =
        boost::system::errc::make_error_condition(boost::system::errc::no_space_on_device);
    return ec == full || ec.default_error_condition() == full;
}

StreamTorrent::StreamTorrent(TorrentEngine *engine, const QString &id, const QString &downloadFolder,
                             const StreamParams &params)
    : m_engine(engine), m_id(id), m_folder(downloadFolder), m_params(params), m_openedAt(logClock()),
      m_announces(id)
{
}

void StreamTorrent::setHandle(const lt::torrent_handle &handle, const QString &infoHashKey, bool pausedUntilWanted)
{
    std::lock_guard l(m_infoMutex);
    m_handle = handle;
    m_infoHashKey = infoHashKey;
    m_pausedUntilWanted = pausedUntilWanted;
}

QString StreamTorrent::infoHashKey() const
{
    std::lock_guard l(m_infoMutex);
    return m_infoHashKey;
}

lt::torrent_handle StreamTorrent::handle() const
{
    std::lock_guard l(m_infoMutex);
    return m_handle;
}

std::shared_ptr<const lt::torrent_info> StreamTorrent::info() const
{
    std::lock_guard l(m_infoMutex);
    return m_files.info();
}

QString StreamTorrent::name() const
{
    std::lock_guard l(m_infoMutex);
    return m_files.name();
}

int StreamTorrent::numFiles() const
{
    std::lock_guard l(m_infoMutex);
    return m_files.count();
}

QString StreamTorrent::filePath(int i) const
{
    std::lock_guard l(m_infoMutex);
    return m_files.path(i);
}

qint64 StreamTorrent::fileSize(int i) const
{
    std::lock_guard l(m_infoMutex);
    return m_files.valid(i) ? m_files.span(i).size : -1;
}

bool StreamTorrent::isPadFile(int i) const
{
    std::lock_guard l(m_infoMutex);
    return m_files.isPad(i);
}

int StreamTorrent::pieceOf(int file, qint64 position) const
{
    std::lock_guard l(m_infoMutex);
    return m_files.valid(file) ? pieceAt(m_files.span(file), position, m_pieceLength) : -1;
}

PieceRange StreamTorrent::filePieces(int file) const
{
    std::lock_guard l(m_infoMutex);
    return m_files.valid(file) ? piecesOf(m_files.span(file), m_pieceLength) : PieceRange{-1, -1};
}

int StreamTorrent::resolveFile(int index, const QString &path) const
{
    std::lock_guard l(m_infoMutex);
    return m_files.resolve(index, path);
}

qint64 StreamTorrent::servedBytes() const
{
    std::lock_guard l(m_infoMutex);
    qint64 total = 0;
    for (int f : m_served) {
        if (m_files.valid(f))
            total += m_files.span(f).size;
    }
    return total;
}

StreamStats StreamTorrent::lastStats() const
{
    std::lock_guard l(m_infoMutex);
    return m_lastStats;
}

QString StreamTorrent::storageErrorMessage() const
{
    std::lock_guard l(m_infoMutex);
    return m_storageError;
}

int StreamTorrent::pieceLength() const
{
    std::lock_guard l(m_infoMutex);
    return m_pieceLength;
}

int StreamTorrent::numPieces() const
{
    std::lock_guard l(m_infoMutex);
    return m_numPieces;
}

PiecePlan StreamTorrent::appliedPlan() const
{
    std::lock_guard l(m_infoMutex);
    return m_applied;
}

std::map<int, int> StreamTorrent::staticPieces() const
{
    std::lock_guard l(m_infoMutex);
    return m_servedFiles.headTails;
}

StreamTorrent::PieceMap StreamTorrent::pieceMap(int file) const
{
    std::lock_guard l(m_infoMutex);
    PieceMap map;
    if (!m_files.valid(file))
        return map;
    const FileSpan span = m_files.span(file);
    const PieceRange range = piecesOf(span, m_pieceLength);
    map.firstPiece = range.first;
    map.states.fill('.', range.last - range.first + 1);
    for (int p = range.first; p <= range.last; ++p) {
        const size_t i = size_t(p);
        if (m_have[i])
            map.states[p - range.first] = 'd';
        else if (i < m_applied.priorities.size() && m_applied.priorities[i] != 0)
            map.states[p - range.first] = 'w';
    }
    for (const auto &[rid, r] : m_readers) {
        if (r.file == file) {
            map.readPiece = pieceAt(span, r.position, m_pieceLength);
            break;
        }
    }
    return map;
}

std::vector<int> StreamTorrent::cachedPieces() const
{
    std::lock_guard l(m_infoMutex);
    return m_cache.pieces();
}

void StreamTorrent::rebuildServedFilesLocked()
{
    m_servedFiles = {};
    if (!m_files.info())
        return;
    std::map<int, FileSpan> spans;
    for (int f : m_served) {
        if (m_files.valid(f))
            spans.emplace(f, m_files.span(f));
    }
    m_servedFiles = serveFiles(spans, m_pieceLength, m_numPieces, m_params.headTailBytes);
}

PiecePlan StreamTorrent::planLocked() const
{
    ReadPositions readers;
    for (const auto &[rid, r] : m_readers)
        readers.open.push_back({r.file, r.position});
    readers.lastClosed = m_lastPositions;
    return planPieces(m_params, m_servedFiles, readers, m_have);
}

void StreamTorrent::updateWindow(bool force)
{
    std::lock_guard wl(m_windowMutex);
    std::unique_lock il(m_infoMutex);
    if (!m_files.info() || shutDown)
        return;
    PiecePlan plan = planLocked();
    if (!force && plan == m_applied)
        return;
    DeadlineSteps steps = deadlineSteps(m_applied, plan, std::exchange(m_replaceDeadlines, false));
    // Libtorrent drops the deadline of a piece when it passes, and a complete torrent has no
    // deadlines left to clear: naming them again only makes work for its network thread.
    const auto had = [this](int piece) { return piece >= 0 && size_t(piece) < m_have.size() && m_have[size_t(piece)]; };
    steps.reset.erase(std::remove_if(steps.reset.begin(), steps.reset.end(), had), steps.reset.end());
    if (std::all_of(m_have.begin(), m_have.end(), [](char h) { return h != 0; }))
        steps.clearAll = false;
    std::vector<lt::download_priority_t> priorities;
    priorities.reserve(plan.priorities.size());
    for (int p : plan.priorities)
        priorities.push_back(lt::download_priority_t(std::uint8_t(p)));
    m_applied = std::move(plan);
    const bool wanted = m_pausedUntilWanted &&
                        std::any_of(priorities.begin(), priorities.end(), [](auto p) { return p != lt::dont_download; });
    const bool held = wanted && m_engine->holdsStarts();
    const bool resume = wanted && !held;
    const bool firstHold = held && !m_startHeld;
    m_startHeld = held;
    if (resume)
        m_pausedUntilWanted = false;
    const lt::torrent_handle h = m_handle;
    il.unlock();
    if (firstHold)
        logLine(QStringLiteral("[%1] meeting peers once the uTP dial window closes").arg(m_id));

    // Libtorrent runs these in the order given. Clearing deadlines sets their pieces to
    // priority 1 and a new deadline sets its piece to 7, so the priorities go last, every time,
    // or the old window would keep downloading after a jump.
    try {
        if (steps.clearAll)
            h.clear_piece_deadlines();
        for (int piece : steps.reset)
            h.reset_piece_deadline(lt::piece_index_t(piece));
        for (const auto &[piece, d] : steps.set)
            h.set_piece_deadline(lt::piece_index_t(piece), d);
        h.prioritize_pieces(priorities);
        // After the priorities: the first handshake already says we want pieces.
        if (resume)
            h.resume();
    } catch (const std::exception &) {
        // The torrent left the session meanwhile; close() cleans up.
    }
}

void StreamTorrent::addFile(int i)
{
    QString line;
    {
        std::lock_guard l(m_infoMutex);
        if (!m_files.valid(i) || m_served.count(i))
            return;
        m_served.insert(i);
        rebuildServedFilesLocked();
        line = QStringLiteral("[%1] serving file #%2 %3 (%4 MiB)")
                   .arg(m_id)
                   .arg(i)
                   .arg(m_files.path(i), mib0(m_files.span(i).size));
    }
    logLine(line);
    updateWindow(true);
}

void StreamTorrent::removeFile(int i)
{
    {
        std::lock_guard l(m_infoMutex);
        m_served.erase(i);
        m_lastPositions.erase(i);
        rebuildServedFilesLocked();
        // A season in one torrent plays file after file: the pieces of one no longer served
        // would stay in the cache until newer ones push them out, up to its whole limit.
        m_cache.retain([this](int piece) { return m_servedFiles.holds(piece); });
    }
    updateWindow(true);
}

int StreamTorrent::openReader(int file)
{
    int id;
    {
        std::lock_guard l(m_infoMutex);
        id = m_nextReader++;
        Reader r;
        r.file = file;
        r.lastSeek = std::chrono::steady_clock::now();
        m_readers[id] = r;
    }
    updateWindow(false);
    return id;
}

void StreamTorrent::closeReader(int id)
{
    {
        std::lock_guard l(m_infoMutex);
        auto it = m_readers.find(id);
        if (it == m_readers.end())
            return;
        m_lastPositions[it->second.file] = it->second.position;
        m_readers.erase(it);
    }
    updateWindow(false);
}

void StreamTorrent::moveReader(int id, qint64 position)
{
    bool pieceChanged = false;
    std::pair<int, int> jump{-1, -1};
    {
        std::lock_guard l(m_infoMutex);
        auto it = m_readers.find(id);
        if (it == m_readers.end() || !m_files.info())
            return;
        Reader &r = it->second;
        if (m_files.valid(r.file)) {
            const FileSpan span = m_files.span(r.file);
            const int from = pieceAt(span, r.position, m_pieceLength);
            const int to = pieceAt(span, position, m_pieceLength);
            pieceChanged = from != to;
            if (isJump(m_params, m_pieceLength, from, to)) {
                m_replaceDeadlines = true;
                jump = {from, to};
            }
        }
        r.position = position;
    }
    if (jump.first >= 0)
        logLine(QStringLiteral("[%1] reader jumped from piece #%2 to #%3").arg(m_id).arg(jump.first).arg(jump.second));
    if (pieceChanged)
        updateWindow(false);
}

void StreamTorrent::seekReader(int id, qint64 position)
{
    {
        std::lock_guard l(m_infoMutex);
        auto it = m_readers.find(id);
        if (it == m_readers.end())
            return;
        it->second.lastSeek = std::chrono::steady_clock::now();
        it->second.failMissingUntil = {};
    }
    moveReader(id, position);
}

int StreamTorrent::interruptStaleReads(int file, std::chrono::steady_clock::time_point since)
{
    std::vector<int> pieces;
    {
        std::lock_guard l(m_infoMutex);
        const auto now = std::chrono::steady_clock::now();
        for (auto &[rid, r] : m_readers) {
            if (r.file != file || !r.waiting || r.lastSeek >= since || r.wokenAt >= since)
                continue;
            r.wakePending = true;
            r.wokenAt = now;
            r.failMissingUntil = now + kStaleReadFailFor;
            if (m_files.valid(file))
                pieces.push_back(pieceAt(m_files.span(file), r.position, m_pieceLength));
        }
    }
    if (pieces.empty())
        return 0;
    m_cond.notify_all();
    for (int piece : pieces)
        logLine(QStringLiteral("[%1] seek: woke the read waiting on piece #%2").arg(m_id).arg(piece));
    return int(pieces.size());
}

void StreamTorrent::endStaleReads()
{
    std::lock_guard l(m_infoMutex);
    for (auto &[rid, r] : m_readers)
        r.failMissingUntil = {};
}

qint64 StreamTorrent::read(int id, qint64 position, char *dest, qint64 max, const std::atomic<bool> *cancel)
{
    if (shutDown || (cancel && *cancel) || storageFailed || position < 0 || max < 1)
        return -1;
    FileSpan span;
    int pieceLen;
    {
        std::lock_guard l(m_infoMutex);
        auto it = m_readers.find(id);
        if (it == m_readers.end() || !m_files.valid(it->second.file))
            return -1;
        span = m_files.span(it->second.file);
        pieceLen = m_pieceLength;
        if (position >= span.size)
            return 0;
        // Before the reader moves: a resync on the old place must not pull the window back.
        if (it->second.failMissingUntil > std::chrono::steady_clock::now()) {
            const int piece = pieceAt(span, position, pieceLen);
            if (piece >= 0 && piece < m_numPieces && !m_have[size_t(piece)])
                return -1;
        }
    }
    moveReader(id, position);
    const int piece = pieceAt(span, position, pieceLen);
    int pieceSize = 0;
    const PieceBuffer buffer = waitForPiece(id, piece, &pieceSize, cancel);
    if (!buffer)
        return -1;
    const qint64 o = span.offset + position - qint64(piece) * pieceLen;
    const qint64 count = std::min({max, qint64(pieceSize) - o, span.size - position});
    if (count < 1)
        return -1;
    std::memcpy(dest, buffer.get() + o, size_t(count));
    return count;
}

PieceBuffer StreamTorrent::getPiece(int piece, int *size, const std::atomic<bool> *cancel)
{
    return waitForPiece(std::nullopt, piece, size, cancel);
}

// A wake belongs to the read waiting when it came; one that finds its piece meanwhile drops
// it, so no later read fails for it.
void StreamTorrent::setWaitingLocked(std::optional<int> readerId, bool waiting)
{
    if (!readerId)
        return;
    if (auto it = m_readers.find(*readerId); it != m_readers.end()) {
        it->second.waiting = waiting;
        it->second.wakePending = false;
    }
}

bool StreamTorrent::takeWakeLocked(std::optional<int> readerId)
{
    if (!readerId)
        return false;
    auto it = m_readers.find(*readerId);
    if (it == m_readers.end() || !it->second.wakePending)
        return false;
    setWaitingLocked(readerId, false);
    return true;
}

PieceBuffer StreamTorrent::waitForPiece(std::optional<int> readerId, int piece, int *size,
                                        const std::atomic<bool> *cancel)
{
    const auto start = std::chrono::steady_clock::now();
    bool blockedLogged = false;
    bool waitNoted = false;
    std::unique_lock l(m_infoMutex);
    for (;;) {
        if (PieceBuffer cached = m_cache.use(piece, size)) {
            setWaitingLocked(readerId, false);
            return cached;
        }
        if (shutDown || (cancel && *cancel) || storageFailed) {
            setWaitingLocked(readerId, false);
            return {};
        }
        if (takeWakeLocked(readerId))
            return {};
        const bool have = piece >= 0 && piece < m_numPieces && m_have[size_t(piece)];
        if (!have && !waitNoted) {
            waitNoted = true;
            setWaitingLocked(readerId, true);
            if (m_engine)
                m_engine->noteReaderWaiting();
        }
        // A read whose answer never comes (libtorrent drops alerts when its queue is full) is
        // asked again rather than waited on for ever.
        const auto now = std::chrono::steady_clock::now();
        const auto asked = m_readRequests.find(piece);
        const bool overdue = asked != m_readRequests.end() && now - asked->second > kReadPieceRetry;
        if (have && (asked == m_readRequests.end() || overdue)) {
            m_readRequests[piece] = now;
            try {
                m_handle.read_piece(lt::piece_index_t(piece)); // posts to the session; never blocks
            } catch (const std::exception &) {
                m_readRequests.erase(piece);
            }
            if (overdue) {
                l.unlock();
                logLine(QStringLiteral("[%1] read of piece #%2 unanswered for %3 s -> asking again")
                            .arg(m_id)
                            .arg(piece)
                            .arg(std::chrono::duration_cast<std::chrono::seconds>(kReadPieceRetry).count()));
                l.lock();
                continue;
            }
        }
        m_cond.wait_for(l, std::chrono::milliseconds(250));
        const bool stillMissing = !(piece >= 0 && piece < m_numPieces && m_have[size_t(piece)]);
        if (!blockedLogged && stillMissing && std::chrono::steady_clock::now() - start > std::chrono::seconds(3)) {
            blockedLogged = true;
            l.unlock();
            logLine(QStringLiteral("[%1]   reader blocked >3s on piece #%2").arg(m_id).arg(piece));
            l.lock();
        }
    }
}

void StreamTorrent::onMetadata()
{
    std::shared_ptr<const lt::torrent_info> ti;
    try {
        // The session keeps using its own object on its thread; readers get a private snapshot.
        if (auto live = handle().torrent_file(); live && live->is_valid())
            ti = std::make_shared<const lt::torrent_info>(*live);
    } catch (const std::exception &) {
        return;
    }
    if (!ti)
        return;
    QString line;
    QString servedLine;
    bool wantsNothing = false;
    {
        std::lock_guard l(m_infoMutex);
        if (m_files.info())
            return;
        m_files = TorrentFiles(ti);
        m_pieceLength = ti->piece_length();
        m_numPieces = ti->num_pieces();
        m_have.assign(size_t(m_numPieces), 0);
        m_cache.setLimit(pieceCacheLimit(m_pieceLength));
        m_metadataAt = logClock();
        if (m_served.empty() && m_expected.index >= 0) {
            if (const int f = m_files.resolve(m_expected.index, m_expected.path); f >= 0) {
                m_served.insert(f);
                servedLine = QStringLiteral("[%1] serving file #%2 %3 (%4 MiB), from the metadata on")
                                 .arg(m_id)
                                 .arg(f)
                                 .arg(m_files.path(f), mib0(m_files.span(f).size));
            }
        }
        wantsNothing = m_served.empty();
        rebuildServedFilesLocked();
        metadataReady = true;
        line = QStringLiteral("[%1] metadata: %2 pieces x %3 KiB, %4 files")
                   .arg(m_id)
                   .arg(m_numPieces)
                   .arg(m_pieceLength / 1024)
                   .arg(ti->num_files());
    }
    m_cond.notify_all();
    logLine(line);
    if (!servedLine.isEmpty())
        logLine(servedLine);
    // Libtorrent wants every file of a magnet once its metadata is in; with no file named yet,
    // none is wanted until the player picks one (a few seconds of a season pack otherwise).
    if (wantsNothing) {
        try {
            handle().prioritize_files(std::vector<lt::download_priority_t>(size_t(ti->num_files()), lt::dont_download));
        } catch (const std::exception &) {
        }
    }
    updateWindow(true);
}

void StreamTorrent::expectFile(const WantedFile &file)
{
    std::lock_guard l(m_infoMutex);
    m_expected = file;
}

void StreamTorrent::onPieceFinished(int piece)
{
    bool replan = false;
    QStringList lines;
    {
        std::lock_guard l(m_infoMutex);
        if (piece < 0 || piece >= m_numPieces)
            return;
        m_have[size_t(piece)] = 1;
        // A finished deadline piece passes its deadline on to the next missing piece, and a
        // file whose heads and tails are in gets its full window.
        replan = m_servedFiles.headTails.count(piece) || m_applied.hasDeadline(piece);
        if (m_firstPieceAt < 0) {
            m_firstPieceAt = logClock();
            lines << QStringLiteral("[%1] first piece done (#%2)").arg(m_id).arg(piece);
        }
        if (m_allStaticDoneAt < 0 && m_servedFiles.headTails.count(piece) &&
            m_servedFiles.allHeadTailsHeld(m_have)) {
            m_allStaticDoneAt = logClock();
            lines << QStringLiteral("[%1] all head/tail pieces done").arg(m_id);
        }
    }
    m_cond.notify_all();
    logAll(lines);
    if (replan)
        updateWindow(false);
}

void StreamTorrent::onReadPiece(int piece, const PieceBuffer &buffer, int size, bool ok)
{
    bool failed = false;
    {
        std::lock_guard l(m_infoMutex);
        m_readRequests.erase(piece);
        if (ok && buffer) {
            m_cache.insert(piece, buffer, size);
        } else {
            failed = true;
        }
    }
    if (failed)
        logLine(QStringLiteral("[%1] read_piece #%2 failed").arg(m_id).arg(piece));
    m_cond.notify_all();
}

StreamTorrent::Events StreamTorrent::events() const
{
    std::lock_guard l(m_infoMutex);
    return Events{m_firstPeerAt, m_firstPieceAt, m_allStaticDoneAt, m_metadataAt};
}

void StreamTorrent::onStorageError(const QString &message, bool diskFullError)
{
    bool first = false;
    {
        std::lock_guard l(m_infoMutex);
        if (!m_storageErrorSet) {
            m_storageErrorSet = true;
            m_storageError = message;
        }
        if (diskFullError)
            diskFull = true;
        storageFailed = true;
        first = !m_storageErrorLogged;
        m_storageErrorLogged = true;
    }
    m_cond.notify_all();
    if (first)
        logLine(QStringLiteral("[%1] STORAGE ERROR%2: %3")
                    .arg(m_id, diskFullError ? QStringLiteral(" (disk full)") : QString(), message));
}

bool StreamTorrent::hasStorageError() const
{
    std::lock_guard l(m_infoMutex);
    return m_storageErrorSet;
}

void StreamTorrent::shutdown()
{
    {
        std::lock_guard l(m_infoMutex);
        shutDown = true;
    }
    m_cond.notify_all();
}

} // namespace svd
