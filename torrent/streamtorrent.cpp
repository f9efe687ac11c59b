#include "torrent/streamtorrent.h"

#include "app/log.h"
#include "torrent/torrentengine.h"

#include <libtorrent/torrent_status.hpp>

#include <algorithm>
#include <climits>
#include <cstring>

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

void StreamTorrent::setHandle(const lt::torrent_handle &handle, const QString &infoHashKey)
{
    std::lock_guard l(m_infoMutex);
    m_handle = handle;
    m_infoHashKey = infoHashKey;
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

std::map<int, int> StreamTorrent::staticPieces() const
{
    std::lock_guard l(m_infoMutex);
    return m_static;
}

std::vector<int> StreamTorrent::cachedPieces() const
{
    std::lock_guard l(m_infoMutex);
    return {m_mru.begin(), m_mru.end()};
}

void StreamTorrent::rebuildStaticPiecesLocked()
{
    m_static.clear();
    if (!m_info)
        return;
    std::vector<PieceRange> ranges;
    for (int f : m_served) {
        if (validFileLocked(f))
            ranges.push_back(piecesOf(spanLocked(f), m_pieceLength));
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
    std::map<int, int> wanted = m_static;
    // Until the heads and tails are in, the window is only its minimum: every
    // wanted piece has top priority, so libtorrent fills the peers' request
    // queues with whatever is wanted, and a full read-ahead window (often the
    // whole episode) would queue the tail pieces the player needs before its
    // first frame behind seconds of far-ahead data.
    const bool startingUp =
        std::any_of(m_static.begin(), m_static.end(), [&](const auto &e) { return !m_have[size_t(e.first)]; });
    const int n = startingUp ? m_params.minWindowPieces
                             : windowPieces(m_params.readAheadBytes, m_params.minWindowPieces, m_pieceLength);

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
    for (const auto &[file, pos] : positions) {
        if (!m_served.count(file) || !validFileLocked(file))
            continue;
        const FileSpan span = spanLocked(file);
        const qint64 at = std::clamp<qint64>(pos, 0, std::max<qint64>(span.size - 1, 0));
        addWindow(wanted, pieceAt(span, at, m_pieceLength), piecesOf(span, m_pieceLength).last, n,
                  m_params.deadlineStepMs);
    }

    std::vector<std::pair<int, int>> deadlines;
    for (const auto &[piece, d] : wanted) {
        if (!m_have[size_t(piece)])
            deadlines.emplace_back(piece, d);
    }
    if (!force && deadlines == m_applied)
        return;
    m_applied = deadlines;
    std::vector<lt::download_priority_t> prio(size_t(m_numPieces), lt::dont_download);
    for (const auto &entry : wanted)
        prio[size_t(entry.first)] = lt::top_priority;
    const lt::torrent_handle h = m_handle;
    il.unlock();

    try {
        h.prioritize_pieces(prio);
        h.clear_piece_deadlines();
        for (const auto &[piece, d] : deadlines)
            h.set_piece_deadline(lt::piece_index_t(piece), d);
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
        m_readers[id] = Reader{file, 0};
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
            pieceChanged = pieceAt(span, r.position, m_pieceLength) != pieceAt(span, position, m_pieceLength);
        }
        r.position = position;
    }
    if (pieceChanged)
        updateWindow(false);
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
    const PieceBuffer buffer = getPiece(piece, &pieceSize, cancel);
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
    const auto start = std::chrono::steady_clock::now();
    bool blockedLogged = false;
    bool waitNoted = false;
    std::unique_lock l(m_infoMutex);
    for (;;) {
        auto it = m_cache.find(piece);
        if (it != m_cache.end()) {
            m_mru.remove(piece);
            m_mru.push_front(piece);
            if (size)
                *size = it->second.size;
            return it->second.buffer;
        }
        if (shutDown || (cancel && *cancel) || storageFailed)
            return {};
        const bool have = piece >= 0 && piece < m_numPieces && m_have[size_t(piece)];
        if (!have && !waitNoted && m_engine) {
            waitNoted = true;
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
    bool expand = false;
    QStringList lines;
    {
        std::lock_guard l(m_infoMutex);
        if (piece < 0 || piece >= m_numPieces)
            return;
        m_have[size_t(piece)] = 1;
        if (m_firstPieceAt < 0) {
            m_firstPieceAt = logClock();
            lines << QStringLiteral("[%1] first piece done (#%2)").arg(m_id).arg(piece);
        }
        if (m_allStaticDoneAt < 0 && m_static.count(piece) &&
            std::all_of(m_static.begin(), m_static.end(), [&](const auto &e) { return m_have[size_t(e.first)]; })) {
            m_allStaticDoneAt = logClock();
            lines << QStringLiteral("[%1] all head/tail pieces done").arg(m_id);
            expand = true;
        }
    }
    m_cond.notify_all();
    logAll(lines);
    if (expand)
        updateWindow(false); // the full read-ahead window from now on
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
    StreamStats s;
    s.valid = true;
    s.numPeers = st.num_peers;
    s.numSeeds = st.num_seeds;
    s.listPeers = st.list_peers;
    s.downloadRate = st.download_payload_rate;
    s.uploadRate = st.upload_payload_rate;
    s.payloadDownloaded = st.total_payload_download;
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
