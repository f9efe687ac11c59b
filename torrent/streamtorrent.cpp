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
      m_lastReannounce(std::chrono::steady_clock::now())
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
    return m_info;
}

QString StreamTorrent::name() const
{
    std::lock_guard l(m_infoMutex);
    return m_info ? QString::fromStdString(m_info->name()) : QString();
}

int StreamTorrent::numFiles() const
{
    std::lock_guard l(m_infoMutex);
    return m_info ? m_info->num_files() : 0;
}

bool StreamTorrent::validFileLocked(int file) const
{
    return m_info && file >= 0 && file < m_info->num_files();
}

QString StreamTorrent::filePathLocked(int file) const
{
    if (!validFileLocked(file))
        return {};
    QString p = QString::fromStdString(m_info->files().file_path(lt::file_index_t(file)));
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return p;
}

FileSpan StreamTorrent::spanLocked(int file) const
{
    const lt::file_storage &fs = m_info->files();
    return {fs.file_offset(lt::file_index_t(file)), fs.file_size(lt::file_index_t(file))};
}

QString StreamTorrent::filePath(int i) const
{
    std::lock_guard l(m_infoMutex);
    return filePathLocked(i);
}

qint64 StreamTorrent::fileSize(int i) const
{
    std::lock_guard l(m_infoMutex);
    return validFileLocked(i) ? spanLocked(i).size : -1;
}

bool StreamTorrent::isPadFile(int i) const
{
    std::lock_guard l(m_infoMutex);
    return validFileLocked(i) && m_info->files().pad_file_at(lt::file_index_t(i));
}

int StreamTorrent::pieceOf(int file, qint64 position) const
{
    std::lock_guard l(m_infoMutex);
    return validFileLocked(file) ? pieceAt(spanLocked(file), position, m_pieceLength) : -1;
}

PieceRange StreamTorrent::filePieces(int file) const
{
    std::lock_guard l(m_infoMutex);
    return validFileLocked(file) ? piecesOf(spanLocked(file), m_pieceLength) : PieceRange{-1, -1};
}

int StreamTorrent::resolveFile(int index, const QString &rawPath) const
{
    QString path = rawPath;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    std::lock_guard l(m_infoMutex);
    if (!m_info)
        return -1;
    const lt::file_storage &fs = m_info->files();
    const int n = fs.num_files();
    auto usable = [&](int i) { return !fs.pad_file_at(lt::file_index_t(i)); };
    if (index >= 0 && index < n && usable(index)) {
        if (path.isEmpty() || filePathLocked(index).compare(path, Qt::CaseInsensitive) == 0)
            return index;
    }
    if (path.isEmpty())
        return -1;
    for (int i = 0; i < n; ++i) {
        if (usable(i) && filePathLocked(i).compare(path, Qt::CaseInsensitive) == 0)
            return i;
    }
    const int slash = path.indexOf(QLatin1Char('/'));
    const QString tail = slash < 0 ? QString() : path.mid(slash + 1);
    if (!tail.isEmpty()) {
        for (int i = 0; i < n; ++i) {
            if (usable(i) && filePathLocked(i).endsWith(tail, Qt::CaseInsensitive))
                return i;
        }
    }
    return -1;
}

qint64 StreamTorrent::servedBytes() const
{
    std::lock_guard l(m_infoMutex);
    qint64 total = 0;
    for (int f : m_served) {
        if (validFileLocked(f))
            total += spanLocked(f).size;
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

std::vector<std::pair<int, int>> StreamTorrent::appliedDeadlines() const
{
    std::lock_guard l(m_infoMutex);
    return m_applied;
}

std::vector<int> StreamTorrent::appliedPriorities() const
{
    std::lock_guard l(m_infoMutex);
    std::vector<int> out;
    for (lt::download_priority_t p : m_appliedPriorities)
        out.push_back(static_cast<std::uint8_t>(p));
    return out;
}

std::map<int, int> StreamTorrent::staticPieces() const
{
    std::lock_guard l(m_infoMutex);
    return m_static;
}

StreamTorrent::PieceMap StreamTorrent::pieceMap(int file) const
{
    std::lock_guard l(m_infoMutex);
    PieceMap map;
    if (!validFileLocked(file))
        return map;
    const FileSpan span = spanLocked(file);
    const PieceRange range = piecesOf(span, m_pieceLength);
    map.firstPiece = range.first;
    map.states.fill('.', range.last - range.first + 1);
    for (int p = range.first; p <= range.last; ++p) {
        const size_t i = size_t(p);
        if (m_have[i])
            map.states[p - range.first] = 'd';
        else if (i < m_appliedPriorities.size() && m_appliedPriorities[i] != lt::dont_download)
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
    return {m_mru.begin(), m_mru.end()};
}

void StreamTorrent::rebuildStaticPiecesLocked()
{
    m_static.clear();
    m_staticOfFile.clear();
    m_firstPieces.clear();
    if (!m_info)
        return;
    std::vector<PieceRange> ranges;
    for (int f : m_served) {
        if (!validFileLocked(f))
            continue;
        ranges.push_back(piecesOf(spanLocked(f), m_pieceLength));
        m_firstPieces.insert(ranges.back().first);
        for (const auto &entry : headTailPieces({ranges.back()}, m_pieceLength, m_params.headTailBytes))
            m_staticOfFile[f].push_back(entry.first);
    }
    for (const auto &[piece, deadline] : headTailPieces(ranges, m_pieceLength, m_params.headTailBytes))
        m_static.emplace(piece, deadline);
}

void StreamTorrent::updateWindow(bool force)
{
    std::lock_guard wl(m_windowMutex);
    std::unique_lock il(m_infoMutex);
    if (!m_info || shutDown)
        return;

    std::vector<std::pair<int, qint64>> positions;
    std::set<int> filesWithReader;
    for (const auto &[rid, r] : m_readers) {
        positions.emplace_back(r.file, r.position);
        filesWithReader.insert(r.file);
    }
    for (const auto &[file, pos] : m_lastPositions) {
        if (!filesWithReader.count(file))
            positions.emplace_back(file, pos);
    }
    std::set<int> startingStatics;
    for (const auto &[file, statics] : m_staticOfFile) {
        if (std::any_of(statics.begin(), statics.end(), [&](int piece) { return !m_have[size_t(piece)]; }))
            startingStatics.insert(statics.begin(), statics.end());
    }
    std::vector<WindowReader> readers;
    for (const auto &[file, pos] : positions) {
        if (!m_served.count(file) || !validFileLocked(file))
            continue;
        const FileSpan span = spanLocked(file);
        const qint64 at = std::clamp<qint64>(pos, 0, std::max<qint64>(span.size - 1, 0));
        const std::vector<int> &statics = m_staticOfFile[file];
        const bool starting =
            std::any_of(statics.begin(), statics.end(), [&](int piece) { return !m_have[size_t(piece)]; });
        readers.push_back({pieceAt(span, at, m_pieceLength), piecesOf(span, m_pieceLength).last, starting});
    }
    const int n = windowPieces(m_params.readAheadBytes, m_params.minWindowPieces, m_pieceLength);
    const int urgent = windowPieces(m_params.urgentBytes, m_params.minWindowPieces, m_pieceLength);
    const WindowPlan plan =
        planWindow(m_static, m_firstPieces, startingStatics, readers, m_have, n, m_params.minWindowPieces,
                   urgent, m_params.deadlineStepMs);

    std::vector<lt::download_priority_t> prio(size_t(m_numPieces), lt::dont_download);
    for (const auto &[piece, p] : plan.wanted)
        prio[size_t(piece)] = lt::download_priority_t(std::uint8_t(p));
    if (!force && plan.deadlines == m_applied && prio == m_appliedPriorities)
        return;

    // Deadlines already given stay as they are: setting one again would move it to "now + d"
    // and push a piece that has waited longest behind newer ones.
    const bool reset = std::exchange(m_resetDeadlines, false);
    std::vector<std::pair<int, int>> added;
    std::vector<int> dropped;
    {
        const std::map<int, int> before(m_applied.begin(), m_applied.end());
        const std::map<int, int> after(plan.deadlines.begin(), plan.deadlines.end());
        for (const auto &e : plan.deadlines)
            if (reset || !before.count(e.first))
                added.push_back(e);
        for (const auto &e : m_applied)
            if (!after.count(e.first))
                dropped.push_back(e.first);
    }
    m_applied = plan.deadlines;
    m_appliedPriorities = prio;
    const bool resume = m_pausedUntilWanted &&
                        std::any_of(prio.begin(), prio.end(), [](auto p) { return p != lt::dont_download; });
    if (resume)
        m_pausedUntilWanted = false;
    const lt::torrent_handle h = m_handle;
    il.unlock();

    // Libtorrent runs these in the order given. Clearing deadlines sets their pieces to
    // priority 1 and a new deadline sets its piece to 7, so the priorities go last, every time,
    // or the old window would keep downloading after a jump.
    try {
        if (reset) {
            // With no deadline left, the first new one makes libtorrent cancel every request
            // without a deadline: the old window's requests no longer hold up the new piece.
            h.clear_piece_deadlines();
        } else {
            for (int piece : dropped)
                h.reset_piece_deadline(lt::piece_index_t(piece));
        }
        for (const auto &[piece, d] : added)
            h.set_piece_deadline(lt::piece_index_t(piece), d);
        h.prioritize_pieces(prio);
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
        if (!validFileLocked(i) || m_served.count(i))
            return;
        m_served.insert(i);
        rebuildStaticPiecesLocked();
        line = QStringLiteral("[%1] serving file #%2 %3 (%4 MiB)")
                   .arg(m_id)
                   .arg(i)
                   .arg(filePathLocked(i), mib0(spanLocked(i).size));
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
        rebuildStaticPiecesLocked();
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
    {
        std::lock_guard l(m_infoMutex);
        auto it = m_readers.find(id);
        if (it == m_readers.end() || !m_info)
            return;
        Reader &r = it->second;
        if (validFileLocked(r.file)) {
            const FileSpan span = spanLocked(r.file);
            const int from = pieceAt(span, r.position, m_pieceLength);
            const int to = pieceAt(span, position, m_pieceLength);
            pieceChanged = from != to;
            // A move past the pieces with deadlines is a jump: the requests still out for the
            // old place would hold up the new one.
            const int urgent = windowPieces(m_params.urgentBytes, m_params.minWindowPieces, m_pieceLength);
            if (to > from + urgent || to < from - 1)
                m_resetDeadlines = true;
        }
        r.position = position;
    }
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
            if (validFileLocked(file))
                pieces.push_back(pieceAt(spanLocked(file), r.position, m_pieceLength));
        }
    }
    if (pieces.empty())
        return 0;
    m_cond.notify_all();
    for (int piece : pieces)
        logLine(QStringLiteral("[%1] seek: woke the read waiting on piece #%2").arg(m_id).arg(piece));
    return int(pieces.size());
}

qint64 StreamTorrent::read(int id, qint64 position, char *dest, qint64 max, const std::atomic<bool> *cancel)
{
    if (shutDown || (cancel && *cancel) || storageFailed)
        return -1;
    FileSpan span;
    int pieceLen;
    {
        std::lock_guard l(m_infoMutex);
        auto it = m_readers.find(id);
        if (it == m_readers.end() || !validFileLocked(it->second.file))
            return -1;
        span = spanLocked(it->second.file);
        pieceLen = m_pieceLength;
    }
    if (position < 0 || max < 1)
        return -1;
    if (position >= span.size)
        return 0;
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
    return waitForPiece(0, piece, size, cancel);
}

PieceBuffer StreamTorrent::waitForPiece(int readerId, int piece, int *size, const std::atomic<bool> *cancel)
{
    const auto start = std::chrono::steady_clock::now();
    bool blockedLogged = false;
    bool waitNoted = false;
    std::unique_lock l(m_infoMutex);
    // A wake belongs to the read waiting when it came; one that finds its piece meanwhile
    // drops it, so no later read fails for it.
    auto setWaiting = [&](bool on) {
        if (auto it = m_readers.find(readerId); it != m_readers.end()) {
            it->second.waiting = on;
            it->second.wakePending = false;
        }
    };
    for (;;) {
        auto it = m_cache.find(piece);
        if (it != m_cache.end()) {
            setWaiting(false);
            m_mru.remove(piece);
            m_mru.push_front(piece);
            if (size)
                *size = it->second.size;
            return it->second.buffer;
        }
        if (shutDown || (cancel && *cancel) || storageFailed) {
            setWaiting(false);
            return {};
        }
        if (auto r = m_readers.find(readerId); readerId && r != m_readers.end() && r->second.wakePending) {
            setWaiting(false);
            return {};
        }
        const bool have = piece >= 0 && piece < m_numPieces && m_have[size_t(piece)];
        if (!have && !waitNoted) {
            waitNoted = true;
            setWaiting(true);
            if (m_engine)
                m_engine->noteReaderWaiting();
        }
        if (have && !m_readRequests.count(piece)) {
            m_readRequests.insert(piece);
            try {
                m_handle.read_piece(lt::piece_index_t(piece)); // posts to the session; never blocks
            } catch (const std::exception &) {
                m_readRequests.erase(piece);
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
    {
        std::lock_guard l(m_infoMutex);
        if (m_info)
            return;
        m_info = ti;
        m_pieceLength = ti->piece_length();
        m_numPieces = ti->num_pieces();
        m_have.assign(size_t(m_numPieces), 0);
        m_cacheLimit = pieceCacheLimit(m_pieceLength);
        rebuildStaticPiecesLocked();
        metadataReady = true;
        line = QStringLiteral("[%1] metadata: %2 pieces x %3 KiB, %4 files")
                   .arg(m_id)
                   .arg(m_numPieces)
                   .arg(m_pieceLength / 1024)
                   .arg(ti->num_files());
    }
    m_cond.notify_all();
    logLine(line);
    updateWindow(true);
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
        replan = m_static.count(piece) ||
                 std::any_of(m_applied.begin(), m_applied.end(), [&](const auto &e) { return e.first == piece; });
        if (m_firstPieceAt < 0) {
            m_firstPieceAt = logClock();
            lines << QStringLiteral("[%1] first piece done (#%2)").arg(m_id).arg(piece);
        }
        if (m_allStaticDoneAt < 0 && m_static.count(piece) &&
            std::all_of(m_static.begin(), m_static.end(), [&](const auto &e) { return m_have[size_t(e.first)]; })) {
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
            if (!m_cache.count(piece)) {
                m_mru.push_front(piece);
                m_cache[piece] = CachedPiece{buffer, size};
                m_cachedBytes += size;
                while (m_cachedBytes > m_cacheLimit && m_cache.size() > 1) {
                    const int victim = m_mru.back();
                    m_mru.pop_back();
                    auto it = m_cache.find(victim);
                    m_cachedBytes -= it->second.size;
                    m_cache.erase(it);
                }
            }
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
    return Events{m_firstPeerAt, m_firstPieceAt, m_allStaticDoneAt};
}

void StreamTorrent::onPeerConnected()
{
    {
        std::lock_guard l(m_infoMutex);
        if (m_firstPeerAt >= 0)
            return;
        m_firstPeerAt = logClock();
    }
    logLine(QStringLiteral("[%1] first peer connected").arg(m_id));
}

void StreamTorrent::onPeerDropped(const std::string &endpoint)
{
    std::lock_guard l(m_infoMutex);
    if (m_droppedPeers.size() < 4096)
        m_droppedPeers.insert(endpoint);
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

StreamStats StreamTorrent::tick(int dhtNodes)
{
    const lt::torrent_handle h = handle();
    if (!h.is_valid())
        return {};
    lt::torrent_status st;
    try {
        st = h.status();
    } catch (const std::exception &) {
        return {};
    }
    StreamStats s = peerCountsOf(st);
    s.numSeeds = st.num_seeds;
    s.downloadRate = st.download_payload_rate;
    s.uploadRate = st.upload_payload_rate;
    s.payloadUploaded = st.total_payload_upload;
    s.bytesDone = st.total_done;
    s.piecesDone = st.num_pieces;
    s.hashFailures = hashFailures;

    if (st.errc && !hasStorageError())
        onStorageError(QStringLiteral("torrent stopped: %1 (file index %2)")
                           .arg(QString::fromStdString(st.errc.message()))
                           .arg(static_cast<int>(st.error_file)),
                       isDiskFullError(st.errc));

    // Health state is only touched here, on the GUI thread's tick.
    if (dhtNodes >= 20 && !m_dhtForced) {
        try {
            h.force_dht_announce();
        } catch (const std::exception &) {
        }
        m_dhtForced = true;
        logLine(QStringLiteral("[%1] DHT has %2 nodes -> force_dht_announce").arg(m_id).arg(dhtNodes));
    }
    const auto now = std::chrono::steady_clock::now();
    if (s.numPeers <= 4 && now - m_lastReannounce > std::chrono::seconds(30)) {
        m_lastReannounce = now;
        try {
            h.force_reannounce(0, -1, {});
            if (m_dhtForced)
                h.force_dht_announce();
        } catch (const std::exception &) {
        }
        ++m_reannounces;
        logLine(QStringLiteral("[%1] peers %2 < 5 -> re-announce #%3").arg(m_id).arg(s.numPeers).arg(m_reannounces));
    }
    s.reannounces = m_reannounces;
    {
        std::lock_guard l(m_infoMutex);
        m_lastStats = s;
    }
    return s;
}

StreamStats StreamTorrent::peerCountsOf(const lt::torrent_status &st) const
{
    StreamStats s;
    s.valid = true;
    s.numPeers = st.num_peers;
    s.listPeers = st.list_peers;
    s.numConnections = st.num_connections;
    s.payloadDownloaded = st.total_payload_download;
    std::lock_guard l(m_infoMutex);
    s.droppedPeers = int(m_droppedPeers.size());
    return s;
}

StreamStats StreamTorrent::peerCounts() const
{
    const lt::torrent_handle h = handle();
    if (!h.is_valid())
        return {};
    try {
        return peerCountsOf(h.status({}));
    } catch (const std::exception &) {
        return {};
    }
}

void StreamTorrent::setDownloadLimit(qint64 bytesPerSecond)
{
    const lt::torrent_handle h = handle();
    if (!h.is_valid())
        return;
    try {
        h.set_download_limit(bytesPerSecond < 1 ? -1 : int(std::min<qint64>(bytesPerSecond, INT_MAX)));
    } catch (const std::exception &) {
    }
}

} // namespace svd
