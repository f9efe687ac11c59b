#include "diag/bingetest.h"

#include "base/log.h"
#include "diag/procsample.h"
#include "diag/stallrule.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "torrent/torrentengine.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace svd {

namespace {

constexpr int kSampleMs = 250;
constexpr double kSeekAfterSec = 2;    // after the first frame
constexpr double kDubAfterSec = 2;     // after the seek resumed
constexpr double kSettleSec = 3;       // a dub switch's own short wait is no stall
constexpr double kNextDelaySec = 1.5;  // the window's pause between episodes
constexpr double kEpisodeSlackSec = 120;
constexpr double kMiB = 1024.0 * 1024.0;

double r2(double v)
{
    return qRound(v * 100) / 100.0;
}

// A number field of /proc/self/status ("Threads:", "RssAnon:" in kB ...); -1 when missing.
qint64 statusField(const QByteArray &name)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

int openFds()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

int folderCount(const QString &dir)
{
    return int(QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

BingeTest::BingeTest(const AppConfig &config, TorrentEngine *engine, MpvPlayer *player,
                     PlaybackController *controller, long long animeId, int firstEpisode, int episodes,
                     QObject *parent)
    : QObject(parent), m_cfg(config), m_engine(engine), m_player(player), m_controller(controller),
      m_animeId(animeId), m_firstEpisode(firstEpisode), m_episodes(qMax(1, episodes))
{
    m_timer.setInterval(kSampleMs);
    connect(&m_timer, &QTimer::timeout, this, &BingeTest::sample);
    connect(controller, &PlaybackController::playbackStarted, this, &BingeTest::onStarted);
    connect(controller, &PlaybackController::endReached, this, &BingeTest::onEnd);
    connect(controller, &PlaybackController::dubSwitched, this,
            [this](const QString &, double, bool ok) { m_ep.dubOk = ok; });
    connect(controller, &PlaybackController::stateChanged, this,
            [this](PlaybackController::State state, const QString &message) {
                if (state == PlaybackController::Failed)
                    fail(QStringLiteral("episode %1 failed: %2").arg(m_ep.number).arg(message));
            });
}

void BingeTest::start()
{
    m_wall.start();
    logLine(QStringLiteral("binge: %1 episodes from episode %2 of anime %3")
                .arg(m_episodes)
                .arg(m_firstEpisode)
                .arg(m_animeId));
    if (m_cfg.bingeSpeed != 1.0)
        m_player->setProp(QStringLiteral("speed"), m_cfg.bingeSpeed);
    m_ep = Episode();
    m_ep.number = m_firstEpisode;
    m_ep.playWall = wall();
    m_controller->play(m_animeId, m_firstEpisode, QString(), m_cfg.dub);
    m_timer.start();
}

bool BingeTest::prop(const char *name) const
{
    return m_player && m_player->getProp(QLatin1String(name)).toBool();
}

double BingeTest::pos() const
{
    return m_player ? m_player->getProp(QStringLiteral("time-pos")).toDouble() : 0.0;
}

void BingeTest::onStarted()
{
    if (m_ep.firstFrameS < 0)
        m_ep.firstFrameS = wall() - m_ep.playWall;
}

void BingeTest::sample()
{
    if (m_done || !m_player || !m_controller)
        return;
    const double now = wall();
    m_ep.peakRss = qMax(m_ep.peakRss, readResidentBytes(QCoreApplication::applicationPid()).value_or(0));
    const double duration = m_player->getProp(QStringLiteral("duration")).toDouble();
    if (now - m_ep.playWall > duration / qMax(0.1, m_cfg.bingeSpeed) + kEpisodeSlackSec) {
        fail(QStringLiteral("episode %1 did not end in time").arg(m_ep.number));
        return;
    }
    if (m_ep.firstFrameS < 0 || m_ep.ended)
        return;

    const bool seeking = m_ep.seekWall >= 0 && m_ep.seekResumeS < 0;
    const bool settling = m_ep.dubWall >= 0 && now - m_ep.dubWall < kSettleSec;
    const bool stalled = playbackStalled(*m_player);
    const bool stalledNow = stalled && !seeking && !settling;
    if (stalledNow) {
        if (!m_ep.stalled) {
            ++m_ep.stalls;
            m_ep.stallWall = now;
            m_ep.stallPos = pos();
            m_ep.stallEpoch = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
            logLine(QStringLiteral("binge:   stall in episode %1 at %2 s").arg(m_ep.number).arg(m_ep.stallPos, 0, 'f', 1));
        }
        m_ep.stallSec += kSampleMs / 1000.0;
    } else if (m_ep.stalled) {
        const double resumed = pos();
        m_ep.outages.append(QJsonObject{{QStringLiteral("at_pos_s"), r2(m_ep.stallPos)},
                                        {QStringLiteral("at_epoch_s"), m_ep.stallEpoch},
                                        {QStringLiteral("wait_s"), r2(now - m_ep.stallWall)},
                                        {QStringLiteral("resumed_pos_s"), r2(resumed)}});
        logLine(QStringLiteral("binge:   playing again after %1 s at %2 s")
                    .arg(now - m_ep.stallWall, 0, 'f', 1)
                    .arg(resumed, 0, 'f', 1));
    }
    m_ep.stalled = stalledNow;

    const double sinceStart = now - m_ep.playWall - m_ep.firstFrameS;
    if (m_ep.seekWall < 0 && sinceStart >= kSeekAfterSec && duration > 0) {
        // A stall the seek cuts short is counted, but it has no place it went on from.
        m_ep.stalled = false;
        m_ep.seekWall = now;
        m_ep.seekTarget = duration / 2;
        m_player->commandAsync(
            {QStringLiteral("seek"), QStringLiteral("50"), QStringLiteral("absolute-percent+exact")}, nullptr);
        return;
    }
    if (seeking) {
        if (!prop("seeking") && !prop("paused-for-cache") && !prop("core-idle") && pos() >= m_ep.seekTarget - 1)
            m_ep.seekResumeS = now - m_ep.seekWall;
        return;
    }
    if (m_ep.dubWall < 0 && m_ep.seekResumeS >= 0 && now - m_ep.seekWall - m_ep.seekResumeS >= kDubAfterSec) {
        m_ep.dubWall = now;
        const QString current = m_controller->currentDubId();
        for (const DubInfo &dub : m_controller->dubs()) {
            if (dub.id != current) {
                m_controller->selectDub(dub.id);
                break;
            }
        }
    }
}

void BingeTest::onEnd()
{
    if (m_done || m_ep.ended)
        return;
    m_ep.ended = true;
    recordRow();
    if (++m_played >= m_episodes) {
        finish(0);
        return;
    }
    // As the window does: the next episode a moment after the end.
    QTimer::singleShot(int(kNextDelaySec * 1000), this, &BingeTest::nextEpisode);
}

void BingeTest::nextEpisode()
{
    if (m_done)
        return;
    const int number = m_ep.number + 1;
    m_ep = Episode();
    m_ep.number = number;
    m_ep.playWall = wall();
    m_controller->nextEpisode();
}

void BingeTest::recordRow()
{
    const qint64 cache = m_engine ? m_engine->cacheBytes() : -1;
    const QJsonObject row{{QStringLiteral("episode"), m_ep.number},
                          {QStringLiteral("first_frame_s"), r2(m_ep.firstFrameS)},
                          {QStringLiteral("seek_resume_s"), r2(m_ep.seekResumeS)},
                          {QStringLiteral("dub_ok"), m_ep.dubOk},
                          {QStringLiteral("stalls"), m_ep.stalls},
                          {QStringLiteral("stall_s"), r2(m_ep.stallSec)},
                          {QStringLiteral("outages"), m_ep.outages},
                          {QStringLiteral("peak_rss_mib"), r2(m_ep.peakRss / kMiB)},
                          // Anonymous memory (heaps, mpv's demuxer cache) apart from mapped
                          // files (the torrent's pieces), which the kernel may take back.
                          {QStringLiteral("rss_anon_mib"), r2(statusField("RssAnon:") / 1024.0)},
                          {QStringLiteral("rss_file_mib"), r2(statusField("RssFile:") / 1024.0)},
                          {QStringLiteral("threads"), int(statusField("Threads:"))},
                          {QStringLiteral("fds"), openFds()},
                          {QStringLiteral("cache_mib"), r2(cache / kMiB)},
                          {QStringLiteral("cache_folders"), folderCount(m_cfg.cacheDir)},
                          {QStringLiteral("torrents_open"), m_engine ? int(m_engine->openTorrents().size()) : -1},
                          {QStringLiteral("removals_pending"), m_engine ? m_engine->pendingRemovals() : -1}};
    m_rows.append(row);
    const QByteArray line =
        QStringLiteral("binge: episode %1: first frame %2 s, seek resumed %3 s, dub %4, stalls %5 (%6 s), peak RSS "
                       "%7 MiB, threads %8, fds %9, cache %10 MiB in %11 folders, torrents %12, removals pending %13")
            .arg(m_ep.number)
            .arg(m_ep.firstFrameS, 0, 'f', 2)
            .arg(m_ep.seekResumeS, 0, 'f', 2)
            .arg(m_ep.dubOk ? QStringLiteral("ok") : QStringLiteral("not switched"))
            .arg(m_ep.stalls)
            .arg(m_ep.stallSec, 0, 'f', 1)
            .arg(m_ep.peakRss / kMiB, 0, 'f', 1)
            .arg(row.value(QStringLiteral("threads")).toInt())
            .arg(row.value(QStringLiteral("fds")).toInt())
            .arg(cache / kMiB, 0, 'f', 1)
            .arg(row.value(QStringLiteral("cache_folders")).toInt())
            .arg(row.value(QStringLiteral("torrents_open")).toInt())
            .arg(row.value(QStringLiteral("removals_pending")).toInt())
            .toUtf8();
    logLine(QString::fromUtf8(line));
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

void BingeTest::fail(const QString &why)
{
    if (m_done)
        return;
    logLine(QStringLiteral("binge: FAIL ") + why);
    std::printf("binge: FAIL %s\n", why.toUtf8().constData());
    finish(1);
}

void BingeTest::finish(int code)
{
    m_done = true;
    m_timer.stop();
    const QByteArray json = QJsonDocument(m_rows).toJson(QJsonDocument::Compact);
    logLine(QStringLiteral("BINGE RESULT ") + QString::fromUtf8(json));
    std::printf("BINGE RESULT %s\n", json.constData());
    std::fflush(stdout);
    if (!m_cfg.selftestOut.isEmpty()) {
        QFile out(m_cfg.selftestOut);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(QJsonDocument(m_rows).toJson(QJsonDocument::Indented));
    }
    emit finished(code);
}

} // namespace svd
