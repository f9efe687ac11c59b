// What PlaybackController does every tick, and how it keeps playback going: the sources raced
// before the first frame, the failover in mid-episode and the next episode's preparation.
#include "player/playbackcontroller.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <utility>

namespace svd {

namespace {

constexpr double kNearEndShare = 0.8;

} // namespace

void PlaybackController::tick()
{
    const double srcSecs = sourceSeconds();
    const int dhtNodes = refreshEngineFigures(srcSecs);
    if (m_torrent && !tickTorrent(dhtNodes, srcSecs))
        return;
    refreshPlayerFigures();
    emit statsChanged(m_stats);
}

int PlaybackController::refreshEngineFigures(double sourceSeconds)
{
    int dhtNodes = 0;
    if (m_engine) {
        m_engine->requestStats();
        dhtNodes = m_engine->dhtNodes.load();
    }
    m_stats.dhtNodes = dhtNodes;
    m_stats.sourceSeconds = sourceSeconds;
    return dhtNodes;
}

// Each step may end the source (failover, recycling) or the episode (failure), so each one
// looks again at what is left.
bool PlaybackController::tickTorrent(int dhtNodes, double sourceSeconds)
{
    const StreamStats s = m_torrent->tick(dhtNodes);
    copyTorrentFigures(s);
    if (m_torrent->storageFailed) {
        failStorage();
        return false;
    }
    if (m_waitingMetadata && m_torrent->metadataReady)
        startOnTorrent();
    if (m_torrent) {
        updateRateLimit();
        // The kept sources fill what their last place asked for: the budget counts them now.
        m_failover.tick(dhtNodes);
        if (!checkBudget(s.bytesDone + alternateBytes()))
            return false;
        m_race.tick(dhtNodes);
        watchSources();
    }
    if (m_torrent && m_started && !tickAfterStart(s, dhtNodes))
        return false;
    checkStartTimeouts(s, sourceSeconds);
    return m_state != Failed;
}

void PlaybackController::copyTorrentFigures(const StreamStats &s)
{
    m_stats.numPeers = s.numPeers;
    m_stats.numSeeds = s.numSeeds;
    m_stats.listPeers = s.listPeers;
    m_stats.downloadRate = s.downloadRate;
    m_stats.uploadRate = s.uploadRate;
    m_stats.payloadDownloaded = s.payloadDownloaded;
}

// False when the stall watch moved playback to another source.
bool PlaybackController::tickAfterStart(const StreamStats &s, int dhtNodes)
{
    watchStall(s);
    if (!m_started)
        return false;
    maybeAttachExternalSubtitles();
    prepareNext(s.bytesDone + alternateBytes());
    m_next.tick(dhtNodes);
    return true;
}

// The wait for the .torrent file itself is bounded by the provider, not here.
void PlaybackController::checkStartTimeouts(const StreamStats &s, double sourceSeconds)
{
    if (!m_torrent || !m_budget.workable || m_started || m_sourceIndex < 0)
        return;
    const QString why = m_failover.startTimeout(sourceSeconds, s.numPeers);
    if (!why.isEmpty())
        trySource(m_sourceIndex + 1, why);
}

void PlaybackController::refreshPlayerFigures()
{
    if (!m_player)
        return;
    m_stats.cacheBuffering = m_player->cachedProp(QStringLiteral("cache-buffering-state")).toDouble();
    m_stats.buffering = !m_started || m_player->cachedProp(QStringLiteral("paused-for-cache")).toBool() ||
                        m_player->cachedProp(QStringLiteral("seeking")).toBool();
    m_stats.bufferedRanges.clear();
    const QVariantMap cache = m_player->getProp(QStringLiteral("demuxer-cache-state")).toMap();
    for (const QVariant &r : cache.value(QStringLiteral("seekable-ranges")).toList()) {
        const QVariantMap m = r.toMap();
        const double a = m.value(QStringLiteral("start")).toDouble();
        const double b = m.value(QStringLiteral("end")).toDouble();
        if (a < b)
            m_stats.bufferedRanges.append({a, b});
    }
}

qint64 PlaybackController::alternateBytes() const
{
    return m_race.rivalBytes() + m_failover.keptBytes();
}

// Before the first frame, on the watch timer and every tick.
void PlaybackController::watchSources()
{
    if (m_started || !m_torrent || m_sourceIndex < 0 || m_state == Failed) {
        m_watchTimer.stop();
        return;
    }
    const int candidate = m_failover.nextCandidate(m_sources.sources, m_sourceIndex, m_started);
    if (m_race.watch(*m_torrent, m_sourceIndex, candidate, m_sources.sources) == SourceRace::Step::RivalWon)
        adoptRival(QStringLiteral("source %1 delivered first").arg(m_race.rivalIndex()));
}

void PlaybackController::adoptRival(const QString &why)
{
    const int index = m_race.rivalIndex();
    logLine(QStringLiteral("player: %1 -> playing source %2, closing source %3").arg(why).arg(index).arg(m_sourceIndex));
    std::shared_ptr<StreamTorrent> rival = m_race.takeRival();
    stopAndClose();
    m_torrent = rival;
    m_sourceIndex = index;
    const SourceInfo &src = m_sources.sources[index];
    m_stats.sourceLabel = src.label;
    m_stats.sourceIndex = index;
    emit dubsChanged();
    if (m_torrent->metadataReady)
        startOnTorrent();
    else
        m_waitingMetadata = true;
}

// Called by trySource: the prepared torrent becomes the current one when it is the source's.
bool PlaybackController::adoptPrepared(const SourceInfo &src)
{
    std::shared_ptr<StreamTorrent> next = m_next.takeTorrent(src);
    if (!next)
        return false;
    logLine(QStringLiteral("player: episode %1 starts from the prepared torrent [%2]").arg(m_episode).arg(next->id()));
    stopAndClose();
    m_torrent = next;
    return true;
}

bool PlaybackController::adoptKept(int index)
{
    std::shared_ptr<StreamTorrent> kept = m_failover.takeKept(index);
    if (!kept)
        return false;
    stopAndClose();
    m_torrent = kept;
    return true;
}

// After the first frame: a source that stalls or loses its peers is left for another one,
// at the same position.
void PlaybackController::watchStall(const StreamStats &current)
{
    if (!m_started || !m_torrent || !m_player)
        return;
    FailoverPolicy::Sample sample;
    sample.now = logClock();
    sample.bytesDone = current.bytesDone;
    sample.numPeers = current.numPeers;
    sample.pausedForCache = m_player->cachedProp(QStringLiteral("paused-for-cache")).toBool();
    sample.buffered = m_player->cachedProp(QStringLiteral("demuxer-cache-duration")).toDouble();
    sample.eofCached = eofCached();
    const QString why = m_failover.stallReason(sample);
    if (why.isEmpty())
        return;
    const int next = m_failover.nextCandidate(m_sources.sources, m_sourceIndex, m_started);
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
    m_resumePos = pos;
    m_failover.resetWatch(logClock());
    // The torrent stays open with its data for the source's retry; only this load's extra
    // files stop.
    std::shared_ptr<StreamTorrent> left = std::exchange(m_torrent, nullptr);
    for (int extra : std::as_const(m_extraFiles))
        left->removeFile(extra);
    // Nor does the next episode's file, prepared in this torrent.
    m_next.releaseFile(left.get(), -1);
    stopAndClose();
    m_failover.giveUp(m_sourceIndex, std::move(left));
    trySource(index, why);
}

// Once the episode being watched needs no more data: all of it is here, or it is nearly
// over and the player has buffered up to its end.
void PlaybackController::prepareNext(qint64 heldBytes)
{
    if (m_next.requested() || !m_started || !m_torrent || !m_player || m_fileIndex < 0)
        return;
    const double duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    const double pos = m_player->cachedProp(QStringLiteral("time-pos")).toDouble();
    if (duration <= 0)
        return;
    const bool complete = fileDownloaded(m_fileIndex);
    const bool nearEnd = pos > kNearEndShare * duration && eofCached();
    if (complete || nearEnd)
        m_next.prepare(m_animeId, m_episode, complete, heldBytes, m_budget.capBytes, m_torrent, m_fileIndex);
}

void PlaybackController::dropNext(const QString &why)
{
    m_next.drop(why, m_torrent.get());
}

} // namespace svd
