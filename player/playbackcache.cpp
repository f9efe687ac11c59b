// Read-ahead, download-rate policy and cache budget of PlaybackController.
#include "player/playbackcontroller.h"

#include "base/log.h"
#include "player/cachepolicy.h"
#include "player/mpvplayer.h"
#include "torrent/streamtorrent.h"

#include <QDir>

namespace svd {

disk::CacheBudget PlaybackController::cacheBudget(long long heldBytes) const
{
    if (m_budgetFn)
        return m_budgetFn(heldBytes);
    return playbackBudget(m_opts.cacheCapBytes, cacheDir(), heldBytes);
}

QVariantMap PlaybackController::lowDiskInfo(const disk::CacheBudget &budget) const
{
    return svd::lowDiskInfo(budget, cacheDir());
}

void PlaybackController::applyReadAhead(const disk::CacheBudget &budget)
{
    const bool tight = budget.tight && budget.workable;
    if (tight == m_readAheadTight)
        return;
    m_readAheadTight = tight;
    if (m_player)
        m_player->setReadAhead(tight);
    logLine(QStringLiteral("player: read-ahead %1")
                .arg(tight ? QStringLiteral("TIGHT (demuxer 64 MiB / 60 s, back 16 MiB): little disk space")
                           : QStringLiteral("normal")));
}

void PlaybackController::updateRateLimit()
{
    if (!m_torrent || !m_player || m_opts.maxDownKbps < 0)
        return;
    RateInputs in;
    in.nowMs = m_playTimer.elapsed();
    in.started = m_started;
    in.stalled = m_player->cachedProp(QStringLiteral("seeking")).toBool() ||
                 m_player->cachedProp(QStringLiteral("paused-for-cache")).toBool();
    in.buffered = m_player->cachedProp(QStringLiteral("demuxer-cache-duration")).toDouble();
    in.cacheSecs = m_player->getProp(QStringLiteral("cache-secs")).toDouble();
    in.streamBitrate = (m_player->getProp(QStringLiteral("video-bitrate")).toDouble() +
                        m_player->getProp(QStringLiteral("audio-bitrate")).toDouble()) /
                       8.0;
    in.servedBytes = m_torrent->servedBytes();
    in.duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    in.maxDownKbps = m_opts.maxDownKbps;

    const RateDecision d = decideRate(in, &m_rate);
    if (!d.apply)
        return;
    m_torrent->setDownloadLimit(d.limit);
    logLine(rateLogLine(d, in.buffered, m_opts.maxDownKbps));
}

bool PlaybackController::checkBudget(qint64 heldBytes)
{
    m_next.sweepLeaving();
    if (m_budgetTicks++ > 3) {
        m_budgetTicks = 0;
        // Everything of ours on disk counts as held, or the cap would shrink by what the
        // preparation downloads and the episode being watched would pay for it.
        const qint64 allHeld = heldBytes + m_next.bytes();
        const disk::CacheBudget fresh = cacheBudget(allHeld);
        if (budgetChangeWorthLogging(m_budget.capBytes, fresh.capBytes))
            logLine(QStringLiteral("cache: budget changed: %1 (holding %2)")
                        .arg(disk::describe(fresh), disk::formatBytes(allHeld)));
        m_budget = fresh;
    }
    if (!m_budget.workable) {
        stopAndClose();
        failLowDisk(m_budget, QStringLiteral("while playing"));
        return false;
    }
    // The prepared episode gives way first; only the one being watched can force a recycle.
    m_next.fitUnder(m_budget.capBytes, heldBytes, m_torrent.get());
    // So do the sources kept for a retry.
    if (m_started && m_budget.capBytes < heldBytes && m_failover.hasKept()) {
        const qint64 kept = m_failover.keptBytes();
        logLine(QStringLiteral("player: cache %1 > cap %2 -> closing the sources kept for a retry")
                    .arg(disk::formatBytes(heldBytes), disk::formatBytes(m_budget.capBytes)));
        m_failover.closeKept();
        heldBytes -= kept;
    }
    if (m_started && m_budget.capBytes < heldBytes) {
        recycleCache(heldBytes);
        return false;
    }
    return true;
}

// A season in one torrent keeps every watched episode on disk: when the next one does not fit
// beside them under the cap, the torrent is opened afresh now, between episodes, rather than
// recycled under the episode being watched once it has grown past the cap.
bool PlaybackController::roomBeside(const SourceInfo &src) const
{
    if (!m_torrent->metadataReady)
        return true;
    const int file = m_torrent->resolveFile(src.fileIndex, src.filePath);
    if (file < 0 || file == m_fileIndex)
        return true;
    const qint64 held = m_torrent->lastStats().bytesDone;
    const qint64 need = m_torrent->fileSize(file);
    if (held + need <= m_budget.capBytes)
        return true;
    logLine(QStringLiteral("player: episode %1 (%2) does not fit beside the %3 torrent [%4] holds (cap %5) -> "
                           "opening it afresh")
                .arg(m_episode)
                .arg(disk::formatBytes(need), disk::formatBytes(held), m_torrent->id(),
                     disk::formatBytes(m_budget.capBytes)));
    return false;
}

void PlaybackController::recycleCache(qint64 heldBytes)
{
    const int inWindow = noteRecycle(&m_recycleTimes, m_playTimer.elapsed());
    if (inWindow >= kRecyclesFailAt) {
        stopAndClose();
        failLowDisk(m_budget, QStringLiteral("%1 cache recycles within 3 min").arg(inWindow));
        return;
    }
    m_resumePos = m_player ? m_player->getProp(QStringLiteral("time-pos")).toDouble() : -1.0;
    ++m_recycleCount;
    m_failover.closeKept();
    logLine(QStringLiteral("player: cache %1 > cap %2 -> recycling torrent, resume at %3 s (%4)")
                .arg(disk::formatBytes(heldBytes), disk::formatBytes(m_budget.capBytes),
                     QString::number(m_resumePos, 'f', 1), disk::describe(m_budget)));
    stopAndClose();
    m_budget = cacheBudget(0);
    trySource(m_sourceIndex, QString());
}

void PlaybackController::failLowDisk(const disk::CacheBudget &budget, const QString &context)
{
    logLine(QStringLiteral("player: LOW DISK SPACE (%1): %2 in %3")
                .arg(context, disk::describe(budget), cacheDir()));
    fail(QStringLiteral("low-disk-space"), lowDiskInfo(budget));
}

void PlaybackController::failStorage()
{
    if (m_state == Failed || !m_torrent)
        return;
    const QString message = m_torrent->storageErrorMessage();
    const bool diskFull = m_torrent->diskFull;
    const disk::CacheBudget budget = cacheBudget(m_torrent->lastStats().bytesDone);
    stopAndClose();
    if (storageErrorIsLowDisk(diskFull, budget)) {
        failLowDisk(budget, QStringLiteral("cache write failed: ") + message);
        return;
    }
    fail(QStringLiteral("storage-error: ") + message,
         {{QStringLiteral("cacheDir"), QDir::toNativeSeparators(cacheDir())}});
}

} // namespace svd
