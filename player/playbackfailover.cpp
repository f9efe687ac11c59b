// Keeping playback alive when a source goes quiet: a second source opened alongside a
// silent one before playback starts, and a switch to another source in mid-episode.
#include "player/playbackcontroller.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "sources/sourceprovider.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <utility>

namespace svd {

namespace {

constexpr double kSilentSourceSec = 2.0;   // no peer this long after open: try the next source too
constexpr double kStallFailoverSec = 8.0;  // stalled this long with no piece arriving
constexpr double kNoPeersFailoverSec = 5.0; // no peer this long while the buffer runs dry
constexpr double kDryBufferSec = 10.0;

} // namespace

// The next source to try after `after`: later ones first, then earlier ones, never one left
// in mid-episode nor one of the same torrent as `after` (the same swarm); -1 when none.
int PlaybackController::nextCandidate(int after) const
{
    const int n = int(m_sources.sources.size());
    const QString hash = after >= 0 && after < n ? m_sources.sources[after].infoHash : QString();
    const auto usable = [&](int i) {
        return !m_givenUp.contains(i) &&
               (hash.isEmpty() || m_sources.sources[i].infoHash.compare(hash, Qt::CaseInsensitive) != 0);
    };
    for (int i = after + 1; i < n; ++i)
        if (usable(i))
            return i;
    // In mid-episode a source that failed to start earlier may have peers by now.
    for (int i = 0; m_started && i < after; ++i)
        if (usable(i))
            return i;
    return -1;
}

// A source left in mid-episode keeps its torrent and data for its one retry; its files go when
// the episode ends or the cache needs the room.
void PlaybackController::keepForRetry()
{
    std::shared_ptr<StreamTorrent> t = std::exchange(m_torrent, nullptr);
    if (!t)
        return;
    for (int extra : std::as_const(m_extraFiles))
        t->removeFile(extra);
    stopAndClose();
    logLine(QStringLiteral("player: source %1 kept for a retry [%2]").arg(m_sourceIndex).arg(t->id()));
    m_kept.insert(m_sourceIndex, t);
}

bool PlaybackController::adoptKept(int index)
{
    std::shared_ptr<StreamTorrent> kept = m_kept.take(index);
    if (!kept)
        return false;
    stopAndClose();
    m_torrent = kept;
    return true;
}

void PlaybackController::closeKept()
{
    for (const auto &t : std::as_const(m_kept))
        if (m_engine)
            m_engine->close(t);
    m_kept.clear();
}

qint64 PlaybackController::keptBytes() const
{
    qint64 bytes = 0;
    for (const auto &t : m_kept)
        bytes += t->lastStats().bytesDone;
    return bytes;
}

void PlaybackController::resetWatch()
{
    m_stallSince = -1.0;
    m_noPeersSince = -1.0;
    m_lastBytes = -1;
    m_lastBytesAt = logClock();
}

qint64 PlaybackController::alternateBytes() const
{
    return (m_alt ? m_alt->lastStats().bytesDone : 0) + keptBytes();
}

// Before the first frame: a source with no peer 2 s after its torrent opened gets the next
// source opened alongside; whichever delivers a piece first is played, the other closed.
void PlaybackController::watchSources()
{
    if (m_started || !m_torrent || m_sourceIndex < 0 || m_state == Failed) {
        m_watchTimer.stop();
        return;
    }
    if (m_alt) {
        serveAlternateHeads();
        if (m_torrent->events().firstPieceAt >= 0)
            closeAlternate(QStringLiteral("source %1 delivered first").arg(m_sourceIndex));
        else if (m_alt->events().firstPieceAt >= 0)
            adoptAlternate(QStringLiteral("source %1 delivered first").arg(m_altIndex));
        return;
    }
    if (m_altOpened || m_torrent->events().firstPieceAt >= 0)
        return;
    const PeerCounts st = m_torrent->peerCounts();
    // Every peer the source knows has already dropped us without sending a byte (a dead
    // swarm's stale peers, or peers without this torrent): no reason to wait out the 2 s.
    const bool allDropped = st.valid && st.listPeers > 0 && st.droppedPeers >= st.listPeers &&
                            st.numConnections == 0 && st.payloadDownloaded == 0;
    // Connected peers (a connection that never finished its handshake does not count).
    if (!allDropped && (st.numPeers > 0 || logClock() - m_torrent->openedAt() < kSilentSourceSec))
        return;
    const int next = nextCandidate(m_sourceIndex);
    if (next <= m_sourceIndex)
        return;
    if (allDropped)
        logLine(QStringLiteral("player: source %1: all %2 known peers dropped the connection -> trying source %3 alongside")
                    .arg(m_sourceIndex)
                    .arg(st.listPeers)
                    .arg(next));
    else
        logLine(QStringLiteral("player: source %1 has no peers after 2 s -> trying source %2 alongside")
                    .arg(m_sourceIndex)
                    .arg(next));
    openAlternate(next);
}

void PlaybackController::openAlternate(int index)
{
    m_altOpened = true;
    m_altIndex = index;
    if (!m_provider)
        return;
    const quint64 gen = m_generation;
    QPointer<PlaybackController> self(this);
    m_provider->fetchTorrent(m_sources.sources[index], [self, gen, index](QByteArray bytes, QString error) {
        if (self)
            self->onAlternateTorrent(gen, index, bytes, error);
    });
}

void PlaybackController::onAlternateTorrent(quint64 generation, int index, const QByteArray &bytes,
                                            const QString &error)
{
    if (generation != m_generation || index != m_altIndex || m_alt || m_started || !m_engine)
        return;
    const SourceInfo &src = m_sources.sources[index];
    if (bytes.isEmpty() && src.magnet.isEmpty()) {
        logLine(QStringLiteral("player: source %1 alongside: %2").arg(index).arg(error));
        m_altIndex = -1;
        return;
    }
    QString openError;
    bool later = false;
    m_alt = openTorrent(bytes, src.magnet, &openError, &later,
                        [=, this] { onAlternateTorrent(generation, index, bytes, error); });
    if (later)
        return;
    if (!m_alt) {
        logLine(QStringLiteral("player: source %1 alongside: %2").arg(index).arg(openError));
        m_altIndex = -1;
        return;
    }
    serveAlternateHeads();
}

// Its episode file's heads and tails start downloading as soon as the metadata is there.
void PlaybackController::serveAlternateHeads()
{
    if (!m_alt || !m_alt->metadataReady || m_alt->servedBytes() > 0)
        return;
    const SourceInfo &src = m_sources.sources[m_altIndex];
    const int file = m_alt->resolveFile(src.fileIndex, src.filePath);
    if (file >= 0)
        m_alt->addFile(file);
}

void PlaybackController::adoptAlternate(const QString &why)
{
    logLine(QStringLiteral("player: %1 -> playing source %2, closing source %3").arg(why).arg(m_altIndex).arg(m_sourceIndex));
    std::shared_ptr<StreamTorrent> alt = std::move(m_alt);
    const int index = m_altIndex;
    m_altIndex = -1;
    stopAndClose();
    m_torrent = alt;
    m_sourceIndex = index;
    m_altOpened = true; // never a third source alongside
    const SourceInfo &src = m_sources.sources[index];
    m_stats.sourceLabel = src.label;
    m_stats.sourceIndex = index;
    emit dubsChanged();
    if (m_torrent->metadataReady)
        startOnTorrent();
    else
        m_waitingMetadata = true;
}

void PlaybackController::closeAlternate(const QString &why)
{
    if (!m_alt && m_altIndex < 0)
        return;
    if (m_alt) {
        logLine(QStringLiteral("player: %1 -> closing source %2").arg(why).arg(m_altIndex));
        if (m_engine)
            m_engine->close(m_alt);
        m_alt.reset();
    }
    m_altIndex = -1;
}

// After the first frame: a stall with no data for 8 s, or no peer for 5 s while the buffer
// runs dry, moves playback to another source at the same position.
void PlaybackController::watchStall(const StreamStats &current)
{
    if (!m_started || !m_torrent || !m_player)
        return;
    const double now = logClock();
    if (current.bytesDone != m_lastBytes) {
        m_lastBytes = current.bytesDone;
        m_lastBytesAt = now;
    }
    const bool stalled = m_player->cachedProp(QStringLiteral("paused-for-cache")).toBool();
    m_stallSince = stalled ? (m_stallSince < 0 ? now : m_stallSince) : -1.0;
    m_noPeersSince = current.numPeers == 0 ? (m_noPeersSince < 0 ? now : m_noPeersSince) : -1.0;
    const double buffered = m_player->cachedProp(QStringLiteral("demuxer-cache-duration")).toDouble();
    const bool eofCached = this->eofCached();

    QString why;
    if (m_stallSince >= 0 && now - m_stallSince > kStallFailoverSec && now - m_lastBytesAt > kStallFailoverSec)
        why = QStringLiteral("stalled %1 s with no data").arg(int(now - m_stallSince));
    else if (m_noPeersSince >= 0 && now - m_noPeersSince > kNoPeersFailoverSec && !eofCached &&
             (stalled || buffered < kDryBufferSec))
        why = QStringLiteral("no peers for %1 s, %2 s buffered").arg(int(now - m_noPeersSince)).arg(buffered, 0, 'f', 1);
    if (why.isEmpty())
        return;
    const int next = nextCandidate(m_sourceIndex);
    if (next >= 0)
        failOverMidEpisode(next, why);
}

void PlaybackController::failOverMidEpisode(int index, const QString &why)
{
    const double pos = m_player->getProp(QStringLiteral("time-pos")).toDouble();
    // The same dub on the other source: by label, else by language.
    if (const DubInfo *dub = currentSource() ? currentSource()->findDub(m_currentDubId) : nullptr) {
        const SourceInfo &target = m_sources.sources[index];
        const DubInfo *same = target.findDub(dub->label);
        for (int i = 0; !same && i < target.dubs.size(); ++i)
            if (!dub->lang.isEmpty() && normalizeLang(target.dubs[i].lang) == normalizeLang(dub->lang))
                same = &target.dubs[i];
        if (same)
            m_preferredDub = same->id;
    }
    logLine(QStringLiteral("player: source %1 %2 -> switching to source %3 at %4 s")
                .arg(m_sourceIndex)
                .arg(why)
                .arg(index)
                .arg(pos, 0, 'f', 1));
    m_givenUp.insert(m_sourceIndex);
    m_resumePos = pos;
    resetWatch();
    keepForRetry();
    trySource(index, why);
}

} // namespace svd
