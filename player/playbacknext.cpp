// The next episode made ready while this one plays out: once the current episode needs no
// more data, the next one's sources and .torrent are fetched and its heads and tails
// downloaded, so Next starts from pieces already on disk.
#include "player/playbackcontroller.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "sources/sourceprovider.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

namespace svd {

namespace {

constexpr double kNearEndShare = 0.8;
// The largest piece a torrent is expected to have.
constexpr qint64 kLargePieceBytes = 16 * disk::kMiB;

} // namespace

qint64 PlaybackController::preparedBytes() const
{
    return (m_next ? m_next->lastStats().bytesDone : 0) + m_leavingBytes;
}

void PlaybackController::prepareNext(qint64 heldBytes)
{
    if (m_nextRequested || !m_started || !m_torrent || !m_player || !m_provider || m_fileIndex < 0)
        return;
    const double duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    const double pos = m_player->cachedProp(QStringLiteral("time-pos")).toDouble();
    if (duration <= 0)
        return;
    // Nothing more to fetch for this episode: it is all here, or it is nearly over and the
    // player has buffered up to its end.
    const bool complete = fileDownloaded(m_fileIndex);
    const bool nearEnd = pos > kNearEndShare * duration && eofCached();
    if (!complete && !nearEnd)
        return;
    // Room to spare: the preparation downloads a head and a tail, in whole pieces; twice that
    // must fit under the cap on top of this episode, so that neither the preparation nor a
    // budget that moves a little brings a recycle of the episode being watched.
    const qint64 headTail = m_engine ? m_engine->config().streamParams.headTailBytes : 0;
    const qint64 need = 2 * (2 * headTail + 2 * kLargePieceBytes);
    if (m_budget.capBytes - heldBytes - m_leavingBytes < need) {
        if (!m_nextHeldBack)
            logLine(QStringLiteral("player: episode %1 not prepared: cache %2 of cap %3 leaves less than %4")
                        .arg(m_episode + 1)
                        .arg(disk::formatBytes(heldBytes + m_leavingBytes), disk::formatBytes(m_budget.capBytes),
                             disk::formatBytes(need)));
        m_nextHeldBack = true;
        return;
    }
    m_nextHeldBack = false;
    m_nextRequested = true;
    m_nextAnime = m_animeId;
    m_nextEpisode = m_episode + 1;
    m_nextGeneration = m_generation;
    logLine(QStringLiteral("player: episode %1 %2 -> preparing episode %3")
                .arg(m_episode)
                .arg(complete ? QStringLiteral("downloaded") : QStringLiteral("buffered to its end"))
                .arg(m_nextEpisode));
    const quint64 gen = m_generation;
    QPointer<PlaybackController> self(this);
    m_provider->fetchEpisode(m_nextAnime, m_nextEpisode, [self, gen](EpisodeSources sources) {
        if (self)
            self->onNextEpisode(gen, sources);
    });
}

void PlaybackController::onNextEpisode(quint64 generation, const EpisodeSources &sources)
{
    if (generation != m_generation || !m_torrent)
        return;
    if (sources.sources.isEmpty()) {
        logLine(QStringLiteral("player: episode %1 has no sources to prepare").arg(m_nextEpisode));
        return;
    }
    m_nextSources = sources;
    const SourceInfo &src = sources.sources.first();
    if (m_torrent->infoHashKey().compare(src.infoHash, Qt::CaseInsensitive) == 0) {
        // The same torrent holds the next episode: serve its file now.
        const int file = m_torrent->resolveFile(src.fileIndex, src.filePath);
        if (file >= 0 && file != m_fileIndex) {
            m_torrent->addFile(file);
            m_nextFile = file;
        }
        return;
    }
    const quint64 gen = m_generation;
    QPointer<PlaybackController> self(this);
    m_provider->fetchTorrent(src, [self, gen](QByteArray bytes, QString error) {
        if (self)
            self->onNextTorrent(gen, bytes, error);
    });
}

void PlaybackController::onNextTorrent(quint64 generation, const QByteArray &bytes, const QString &error)
{
    if (generation != m_generation || m_next || !m_engine || m_nextSources.sources.isEmpty())
        return;
    const SourceInfo &src = m_nextSources.sources.first();
    QString openError;
    bool later = false;
    if (!bytes.isEmpty() || !src.magnet.isEmpty())
        m_next = openTorrent(bytes, src.magnet, &openError, &later,
                             [=, this] { onNextTorrent(generation, bytes, error); });
    if (later)
        return;
    if (!m_next) {
        logLine(QStringLiteral("player: episode %1 not prepared: %2")
                    .arg(m_nextEpisode)
                    .arg(openError.isEmpty() ? error : openError));
        return;
    }
    serveNextHeads();
}

void PlaybackController::serveNextHeads()
{
    if (!m_next || !m_next->metadataReady || m_next->servedBytes() > 0 || m_nextSources.sources.isEmpty())
        return;
    const SourceInfo &src = m_nextSources.sources.first();
    const int file = m_next->resolveFile(src.fileIndex, src.filePath);
    if (file >= 0)
        m_next->addFile(file);
}

// Called by trySource: the prepared torrent becomes the current one when it is the source.
bool PlaybackController::adoptNext(const SourceInfo &src)
{
    if (!m_next || m_next->infoHashKey().compare(src.infoHash, Qt::CaseInsensitive) != 0)
        return false;
    logLine(QStringLiteral("player: episode %1 starts from the prepared torrent [%2]").arg(m_episode).arg(m_next->id()));
    std::shared_ptr<StreamTorrent> next = std::move(m_next);
    stopAndClose();
    m_torrent = next;
    return true;
}

// The prepared file of the current torrent stops downloading unless `keep` is it (the
// episode that starts now).
void PlaybackController::releaseNextFile(int keep)
{
    if (m_nextFile >= 0 && m_nextFile != keep && m_torrent) {
        logLine(QStringLiteral("player: prepared file #%1 released").arg(m_nextFile));
        m_torrent->removeFile(m_nextFile);
    }
    m_nextFile = -1;
}

void PlaybackController::dropNext(const QString &why)
{
    m_nextRequested = false;
    m_nextSources = {};
    releaseNextFile(-1);
    if (!m_next)
        return;
    logLine(QStringLiteral("player: prepared episode %1 dropped (%2)").arg(m_nextEpisode).arg(why));
    m_leavingFolder = m_next->downloadFolder();
    m_leavingBytes += m_next->lastStats().bytesDone;
    if (m_engine)
        m_engine->close(m_next);
    m_next.reset();
}

} // namespace svd
