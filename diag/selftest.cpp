#include "diag/selftest.h"

#include "base/log.h"
#include "diag/stallrule.h"
#include "disk/cachebudget.h"
#include "player/episodefigures.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <libtorrent/torrent_status.hpp>

#include <cmath>
#include <cstdio>

namespace svd {

namespace {

constexpr int kSampleMs = 200;
constexpr double kAfterSeekSec = 8;
constexpr double kAfterDubSec = 6;
constexpr double kSeekResumeLimitSec = 120;
constexpr double kSeekLandingToleranceSec = 1;
constexpr double kSnapshotEverySec = 2;
constexpr double kMiB = 1048576.0;

double r3(double v)
{
    return std::round(v * 1000.0) / 1000.0;
}

QString fixed(double v, int decimals)
{
    return QString::number(v, 'f', decimals);
}

QString compact(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString trackText(const QVariantMap &t)
{
    auto s = [&](const char *k) { return t.value(QLatin1String(k)).toString(); };
    auto b = [&](const char *k) { return t.value(QLatin1String(k)).toBool(); };
    return QStringLiteral("%1#%2 %3 [%4]%5%6")
        .arg(s("type"), s("id"), s("title"), s("lang"),
             b("external") ? QStringLiteral(" external") : QString(),
             b("selected") ? QStringLiteral(" *") : QString());
}

// The pieces the torrent holds, as "0-4,7,9-12": what was fetched beyond the episode
// played (and the one prepared after it) shows in the benchmark's season-pack row.
QString heldPieces(const StreamTorrent &torrent)
{
    lt::typed_bitfield<lt::piece_index_t> have;
    try {
        const lt::torrent_handle h = torrent.handle();
        if (!h.is_valid())
            return {};
        have = h.status(lt::torrent_handle::query_pieces).pieces;
    } catch (const std::exception &) {
        return {}; // removed meanwhile
    }
    QStringList runs;
    const int n = have.size();
    for (int i = 0, from = -1; i <= n; ++i) {
        const bool held = i < n && have.get_bit(lt::piece_index_t(i));
        if (held && from < 0)
            from = i;
        if (held || from < 0)
            continue;
        runs << (from == i - 1 ? QString::number(from) : QStringLiteral("%1-%2").arg(from).arg(i - 1));
        from = -1;
    }
    return runs.join(QLatin1Char(','));
}

} // namespace

SelfTest::SelfTest(const AppConfig &config, TorrentEngine *engine, MpvPlayer *player,
                   PlaybackController *controller, long long animeId, int episode, const QString &label,
                   QObject *parent)
    : QObject(parent), m_cfg(config), m_engine(engine), m_player(player), m_controller(controller),
      m_animeId(animeId), m_episode(episode), m_label(label)
{
    m_sampler.setInterval(kSampleMs);
    connect(&m_sampler, &QTimer::timeout, this, &SelfTest::sample);
    if (controller) {
        connect(controller, &PlaybackController::playbackStarted, this, &SelfTest::onPlaybackStarted);
        connect(controller, &PlaybackController::noTorrentSource, this,
                [this](long long, int, const QString &reason) {
                    finish(QStringLiteral("no torrent source / start failed: ") + reason);
                });
        connect(controller, &PlaybackController::dubSwitched, this, &SelfTest::onDubSwitched);
        // The episode's figures arrive when finish() stops the controller (or when it fails),
        // before the result is written.
        if (auto *figures = EpisodeFigures::attach(controller, player))
            connect(figures, &EpisodeFigures::recorded, this, [this](const QJsonObject &f) {
                m_result.insert(QStringLiteral("episode_figures"), f);
            });
    }
    if (player) {
        connect(player, &MpvPlayer::playbackRestart, this, [this] {
            if (m_phase == Seek && !m_restartedAfterSeek) {
                m_restartedAfterSeek = true;
                m_seekLandedAt = pos();
            }
        });
    }
}

void SelfTest::start()
{
    m_wall.start();
    m_lastSampleWall = 0;
    m_result.insert(QStringLiteral("fixture"), m_label);
    m_result.insert(QStringLiteral("anime_id"), double(m_animeId));
    m_result.insert(QStringLiteral("episode"), m_episode);
    m_result.insert(QStringLiteral("caps"), QJsonObject{{QStringLiteral("max_wall_s"), m_cfg.maxWallSec},
                                                        {QStringLiteral("max_download_mb"), m_cfg.maxMb}});
    m_result.insert(QStringLiteral("cache"),
                    QJsonObject{{QStringLiteral("dir"), m_engine ? m_engine->config().cacheDir : QString()},
                                {QStringLiteral("budget"),
                                 m_controller ? disk::describe(m_controller->cacheBudget(0)) : QString()}});
    logLine(QStringLiteral("selftest: anime %1 episode %2 (%3)").arg(m_animeId).arg(m_episode).arg(m_label));
    m_sampler.start();
    if (!m_controller || !m_player) {
        finish(QStringLiteral("no player"));
        return;
    }
    m_controller->play(m_animeId, m_episode, QString(), m_cfg.dub);
}

double SelfTest::pos() const
{
    return m_player ? m_player->getProp(QStringLiteral("time-pos")).toDouble() : 0.0;
}

bool SelfTest::prop(const char *name) const
{
    return m_player && m_player->getProp(QLatin1String(name)).toBool();
}

qint64 SelfTest::downloaded() const
{
    return m_controller ? m_controller->stats().payloadDownloaded : 0;
}

void SelfTest::onPlaybackStarted(double sincePlay, double sinceSource)
{
    if (m_phase != Waiting || m_finished)
        return;
    m_result.insert(QStringLiteral("time_to_first_frame_s"), r3(sincePlay));
    m_result.insert(QStringLiteral("first_frame_since_source_start_s"), r3(sinceSource));

    QJsonObject events{{QStringLiteral("first_peer_s"), -1},
                       {QStringLiteral("first_piece_s"), -1},
                       {QStringLiteral("head_tail_done_s"), -1},
                       {QStringLiteral("metadata_s"), -1}};
    if (const auto t = m_controller->torrent()) {
        const StreamTorrent::Events e = t->events();
        auto since = [&](double at) { return at < 0 ? -1.0 : r3(at - t->openedAt()); };
        events = {{QStringLiteral("first_peer_s"), since(e.firstPeerAt)},
                  {QStringLiteral("first_piece_s"), since(e.firstPieceAt)},
                  {QStringLiteral("head_tail_done_s"), since(e.headTailDoneAt)},
                  {QStringLiteral("metadata_s"), since(e.metadataAt)}};
        m_result.insert(QStringLiteral("piece_length"), double(t->pieceLength()));
    }
    m_result.insert(QStringLiteral("torrent_events"), events);
    const SourceInfo *src = m_controller->currentSource();
    m_result.insert(QStringLiteral("source"), src ? src->label : QString());
    m_result.insert(QStringLiteral("source_index"), m_controller->stats().sourceIndex);
    m_result.insert(QStringLiteral("duration_s"),
                    r3(m_player->getProp(QStringLiteral("duration")).toDouble()));
    QJsonArray tracks;
    for (const QVariant &t : m_player->getProp(QStringLiteral("track-list")).toList())
        tracks.append(trackText(t.toMap()));
    m_result.insert(QStringLiteral("tracks_at_start"), tracks);
    enterPhase(Initial);
}

void SelfTest::enterPhase(Phase phase)
{
    if (m_finished)
        return;
    m_phase = phase;
    switch (phase) {
    case Initial:
        beginObserve(QStringLiteral("initial"), m_cfg.observeSec);
        break;
    case Seek:
        startSeek();
        break;
    case AfterSeek:
        beginObserve(QStringLiteral("after-seek"), kAfterSeekSec);
        break;
    case DubSwitch:
        startDubSwitch();
        break;
    case AfterDub:
        beginObserve(QStringLiteral("after-dub"), kAfterDubSec);
        break;
    case Pause:
        startPause();
        break;
    case Waiting:
    case Finish:
        finish(QString());
        break;
    }
}

void SelfTest::sample()
{
    if (m_finished)
        return;
    if (checkCaps())
        return;
    const double now = wall();
    const double dt = now - m_lastSampleWall;
    m_lastSampleWall = now;
    if (m_controller)
        m_maxPeers = qMax(m_maxPeers, m_controller->stats().numPeers);
    if (m_controller && m_controller->torrent())
        m_hashFailures = qMax(m_hashFailures, m_controller->torrent()->hashFailures.load());

    if (m_obs.running)
        sampleObservation(dt);
    else if (m_phase == Seek)
        sampleSeek();
    else if (m_phase == Pause)
        samplePause();
}

bool SelfTest::checkCaps()
{
    if (wall() > m_cfg.maxWallSec) {
        finish(QStringLiteral("wall cap %1 s hit in phase %2")
                   .arg(QString::number(m_cfg.maxWallSec))
                   .arg(int(m_phase)));
        return true;
    }
    if (double(downloaded()) > m_cfg.maxMb * kMiB) {
        finish(QStringLiteral("download cap %1 MB hit in phase %2")
                   .arg(QString::number(m_cfg.maxMb))
                   .arg(int(m_phase)));
        return true;
    }
    return false;
}

void SelfTest::beginObserve(const QString &name, double seconds)
{
    m_obs = Observation();
    m_obs.running = true;
    m_obs.name = name;
    m_obs.startWall = wall();
    m_obs.endWall = m_obs.startWall + seconds;
    m_obs.posFrom = pos();
    m_obs.downloadedFrom = downloaded();
}

void SelfTest::sampleObservation(double dt)
{
    const bool stalled = m_player && playbackStalled(*m_player);
    if (stalled) {
        if (!m_obs.stalled) {
            ++m_obs.stalls;
            logLine(QStringLiteral("selftest:   STALL at pos %1").arg(fixed(pos(), 2)));
        }
        m_obs.stallSec += dt;
    }
    m_obs.stalled = stalled;
    if (wall() < m_obs.endWall)
        return;
    endObserve();
    if (m_phase == Initial)
        enterPhase(Seek);
    else if (m_phase == AfterSeek)
        enterPhase(DubSwitch);
    else if (m_phase == AfterDub)
        enterPhase(Pause);
}

void SelfTest::endObserve()
{
    if (!m_obs.running)
        return;
    m_obs.running = false;
    const double wallSec = wall() - m_obs.startWall;
    const double posTo = pos();
    const QJsonObject o{{QStringLiteral("label"), m_obs.name},
                        {QStringLiteral("wall_s"), r3(wallSec)},
                        {QStringLiteral("pos_from"), r3(m_obs.posFrom)},
                        {QStringLiteral("pos_to"), r3(posTo)},
                        {QStringLiteral("stalls"), m_obs.stalls},
                        {QStringLiteral("stall_s"), r3(m_obs.stallSec)},
                        {QStringLiteral("downloaded_mib"), r3((downloaded() - m_obs.downloadedFrom) / kMiB)},
                        {QStringLiteral("peers"), m_controller ? m_controller->stats().numPeers : 0}};
    m_observations.append(o);
    logLine(QStringLiteral("selftest: observe[%1] %2").arg(m_obs.name, compact(o)));
    if (posTo - m_obs.posFrom < wallSec / 2)
        m_failures.append(QStringLiteral("observe %1: playback barely advanced").arg(m_obs.name));
}

void SelfTest::startSeek()
{
    m_seekTarget = m_player->getProp(QStringLiteral("duration")).toDouble() * 0.5;
    m_seekStartWall = wall();
    m_seekDownloadedFrom = downloaded();
    m_restartedAfterSeek = false;
    m_seekLandedAt = -1;
    m_lastPos = pos();
    logLine(QStringLiteral("selftest: SEEK to 50% (%1 s)").arg(fixed(m_seekTarget, 1)));
    // Exact, as the player view's slider seeks: a keyframe seek lands up to a keyframe
    // interval early.
    m_player->commandAsync(
        {QStringLiteral("seek"), QStringLiteral("50"), QStringLiteral("absolute-percent+exact")}, nullptr);
}

void SelfTest::sampleSeek()
{
    const double p = pos();
    const double since = wall() - m_seekStartWall;
    const bool moving = p > m_lastPos;
    m_lastPos = p;
    if (m_restartedAfterSeek && !prop("seeking") && !prop("paused-for-cache") && !prop("core-idle") &&
        moving && p > m_seekTarget - 30) {
        m_result.insert(QStringLiteral("seek50"),
                        QJsonObject{{QStringLiteral("target_s"), r3(m_seekTarget)},
                                    {QStringLiteral("resume_s"), r3(since)},
                                    {QStringLiteral("resumed_at_pos"), r3(p)},
                                    {QStringLiteral("landed_at_pos"), r3(m_seekLandedAt)},
                                    {QStringLiteral("downloaded_mib"),
                                     r3((downloaded() - m_seekDownloadedFrom) / kMiB)}});
        logLine(QStringLiteral("selftest: SEEK 50% resumed after %1 s at %2, landed at %3")
                    .arg(fixed(since, 2), fixed(p, 2), fixed(m_seekLandedAt, 2)));
        if (qAbs(m_seekLandedAt - m_seekTarget) > kSeekLandingToleranceSec)
            m_failures.append(QStringLiteral("seek 50%: landed at %1 s, %2 s from the target")
                                  .arg(fixed(m_seekLandedAt, 2), fixed(m_seekLandedAt - m_seekTarget, 2)));
        enterPhase(AfterSeek);
        return;
    }
    if (since > kSeekResumeLimitSec)
        finish(QStringLiteral("seek 50%: no resume within 120 s"));
}

void SelfTest::startDubSwitch()
{
    const QList<DubInfo> dubs = m_controller->dubs();
    m_dubFrom = m_controller->currentDubId();
    const DubInfo *current = nullptr;
    for (const DubInfo &d : dubs)
        if (d.id == m_dubFrom)
            current = &d;

    const DubInfo *target = nullptr;
    if (!m_cfg.switchDub.isEmpty()) {
        for (const DubInfo &d : dubs)
            if (!target && d.id == m_cfg.switchDub)
                target = &d;
        for (const DubInfo &d : dubs)
            if (!target && d.label.compare(m_cfg.switchDub, Qt::CaseInsensitive) == 0)
                target = &d;
    }
    for (const DubInfo &d : dubs)
        if (!target && d.id != m_dubFrom && d.origin == QLatin1String("external") &&
            d.lang.startsWith(QLatin1String("ru"), Qt::CaseInsensitive))
            target = &d;
    for (const DubInfo &d : dubs)
        if (!target && d.id != m_dubFrom && current && d.origin == current->origin)
            target = &d;
    for (const DubInfo &d : dubs)
        if (!target && d.id != m_dubFrom)
            target = &d;

    if (!target) {
        m_result.insert(QStringLiteral("dub_switch"),
                        QJsonObject{{QStringLiteral("skipped"), QStringLiteral("source has a single dub")}});
        enterPhase(Pause);
        return;
    }
    m_dubTarget = target->id;
    logLine(QStringLiteral("selftest: switching dub %1 -> %2").arg(m_dubFrom, m_dubTarget));
    // A switch that fails at once reports through dubSwitched before selectDub
    // returns; the refusal below is the one failure to record for it.
    m_inSelectDub = true;
    const bool accepted = m_controller->selectDub(m_dubTarget);
    m_inSelectDub = false;
    if (!accepted)
        finish(QStringLiteral("selectDub refused ") + m_dubTarget);
}

void SelfTest::onDubSwitched(const QString &dubId, double seconds, bool ok)
{
    if (m_phase != DubSwitch || m_finished || m_inSelectDub || dubId != m_dubTarget)
        return;
    m_result.insert(
        QStringLiteral("dub_switch"),
        QJsonObject{{QStringLiteral("from"), m_dubFrom},
                    {QStringLiteral("to"), m_dubTarget},
                    {QStringLiteral("seconds"), r3(seconds)},
                    {QStringLiteral("ok"), ok},
                    {QStringLiteral("aid_after"), m_player->getProp(QStringLiteral("aid")).toLongLong()}});
    if (!ok)
        finish(QStringLiteral("dub switch to ") + m_dubTarget + QStringLiteral(" failed"));
    else
        enterPhase(AfterDub);
}

QJsonObject SelfTest::cacheSnapshot() const
{
    const double p = pos();
    const QVariantMap cache = m_player->getProp(QStringLiteral("demuxer-cache-state")).toMap();
    double bufferedEnd = p;
    for (const QVariant &r : cache.value(QStringLiteral("seekable-ranges")).toList()) {
        const QVariantMap m = r.toMap();
        const double start = m.value(QStringLiteral("start")).toDouble();
        const double end = m.value(QStringLiteral("end")).toDouble();
        if (start <= p + 0.5 && p <= end)
            bufferedEnd = qMax(bufferedEnd, end);
    }
    return {{QStringLiteral("t"), r3(wall() - m_pauseStartWall)},
            {QStringLiteral("pos"), r3(p)},
            {QStringLiteral("buffered_end"), r3(bufferedEnd)},
            {QStringLiteral("ahead_s"), r3(bufferedEnd - p)},
            {QStringLiteral("cache_end"), r3(cache.value(QStringLiteral("cache-end")).toDouble())},
            {QStringLiteral("fw_mib"), r3(cache.value(QStringLiteral("fw-bytes")).toDouble() / kMiB)},
            {QStringLiteral("eof_cached"), cache.value(QStringLiteral("eof-cached")).toBool()}};
}

void SelfTest::startPause()
{
    if (m_cfg.pauseObserveSec <= 0) {
        finish(QString());
        return;
    }
    m_player->setProp(QStringLiteral("pause"), true);
    m_pauseStartWall = wall();
    m_nextSnapshotAt = kSnapshotEverySec;
    m_pauseDownloadedFrom = downloaded();
    m_pauseSamples = QJsonArray();
    const QJsonObject first = cacheSnapshot();
    m_pauseSamples.append(first);
    logLine(QStringLiteral("selftest: PAUSE for %1 s, cache %2")
                .arg(QString::number(m_cfg.pauseObserveSec), compact(first)));
}

void SelfTest::samplePause()
{
    const double t = wall() - m_pauseStartWall;
    const bool done = t >= m_cfg.pauseObserveSec;
    if (t >= m_nextSnapshotAt || done) {
        m_nextSnapshotAt += kSnapshotEverySec;
        const QJsonObject s = cacheSnapshot();
        m_pauseSamples.append(s);
        logLine(QStringLiteral("selftest:   paused t=%1 s pos %2 buffered end %3 (ahead %4 s, fw %5 MiB)")
                    .arg(fixed(s.value(QLatin1String("t")).toDouble(), 1),
                         fixed(s.value(QLatin1String("pos")).toDouble(), 2),
                         fixed(s.value(QLatin1String("buffered_end")).toDouble(), 2),
                         fixed(s.value(QLatin1String("ahead_s")).toDouble(), 2),
                         fixed(s.value(QLatin1String("fw_mib")).toDouble(), 2)));
    }
    if (!done)
        return;

    const QJsonObject from = m_pauseSamples.first().toObject();
    const QJsonObject to = m_pauseSamples.last().toObject();
    auto v = [](const QJsonObject &o, const char *k) { return o.value(QLatin1String(k)).toDouble(); };
    const double advanced = v(to, "buffered_end") - v(from, "buffered_end");
    const double moved = std::abs(v(to, "pos") - v(from, "pos"));
    m_result.insert(
        QStringLiteral("pause_readahead"),
        QJsonObject{{QStringLiteral("seconds"), r3(t)},
                    {QStringLiteral("buffered_end_from"), v(from, "buffered_end")},
                    {QStringLiteral("buffered_end_to"), v(to, "buffered_end")},
                    {QStringLiteral("advanced_s"), r3(advanced)},
                    {QStringLiteral("ahead_s_from"), v(from, "ahead_s")},
                    {QStringLiteral("ahead_s_to"), v(to, "ahead_s")},
                    {QStringLiteral("fw_mib_from"), v(from, "fw_mib")},
                    {QStringLiteral("fw_mib_to"), v(to, "fw_mib")},
                    {QStringLiteral("pos_moved_s"), r3(moved)},
                    {QStringLiteral("downloaded_mib"), r3((downloaded() - m_pauseDownloadedFrom) / kMiB)},
                    {QStringLiteral("samples"), m_pauseSamples}});
    logLine(
        QStringLiteral("selftest: pause read-ahead: buffered end +%1 s in %2 s paused (%3 -> %4 s ahead)")
            .arg(fixed(advanced, 2), fixed(t, 1), fixed(v(from, "ahead_s"), 2), fixed(v(to, "ahead_s"), 2)));

    // Nothing more can be read ahead once the demuxer cache is (nearly) full.
    const double maxMib = m_player->getProp(QStringLiteral("demuxer-max-bytes")).toDouble() / kMiB;
    const double cacheSecs = m_player->getProp(QStringLiteral("cache-secs")).toDouble();
    const double fullMib = maxMib > 0 ? 0.9 * maxMib : 270;
    const double fullSecs = cacheSecs > 0 ? 0.9 * cacheSecs : 270;
    const bool full = to.value(QLatin1String("eof_cached")).toBool() || v(to, "fw_mib") > fullMib ||
                      v(to, "ahead_s") > fullSecs;
    if (advanced < 1.0 && !full)
        m_failures.append(QStringLiteral("pause: buffered end did not advance while paused"));
    if (moved > 0.5)
        m_failures.append(QStringLiteral("pause: position moved while paused"));
    m_player->setProp(QStringLiteral("pause"), false);
    finish(QString());
}

void SelfTest::finish(const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_phase = Finish;
    m_sampler.stop();
    if (!reason.isEmpty())
        m_failures.append(reason);
    endObserve();

    m_result.insert(QStringLiteral("downloaded_mib"), r3(downloaded() / kMiB));
    m_result.insert(QStringLiteral("max_peers"), m_maxPeers);
    // Pieces that failed their hash check (a peer sending bad data).
    m_result.insert(QStringLiteral("hash_failures"), m_hashFailures);
    m_result.insert(QStringLiteral("observations"), m_observations);
    m_result.insert(QStringLiteral("wall_s"), r3(wall()));

    QString folder;
    if (m_controller && m_controller->torrent()) {
        folder = m_controller->torrent()->downloadFolder();
        m_result.insert(QStringLiteral("pieces_held"), heldPieces(*m_controller->torrent()));
    }
    logLine(QStringLiteral("selftest: stopping, removing torrent and cache"));
    if (m_controller)
        m_controller->stop();
    if (m_engine)
        m_engine->waitForRemovals();
    // No torrent was open at the end (it never started, or failover already
    // closed it): there is no folder of ours left to check.
    const bool deleted = folder.isEmpty() || !QFileInfo::exists(folder);
    m_result.insert(QStringLiteral("cleanup"), QJsonObject{{QStringLiteral("cache_dir"), folder},
                                                           {QStringLiteral("cache_dir_deleted"), deleted},
                                                           {QStringLiteral("cache_root_bytes_after"),
                                                            double(m_engine ? m_engine->cacheBytes() : 0)}});
    if (!deleted)
        m_failures.append(QStringLiteral("cache folder not deleted"));

    if (!m_result.contains(QLatin1String("time_to_first_frame_s")))
        m_failures.append(QStringLiteral("playback never started"));
    if (!m_result.contains(QLatin1String("seek50")) && m_failures.isEmpty())
        m_failures.append(QStringLiteral("seek not measured"));
    const bool pass = m_failures.isEmpty();
    m_result.insert(QStringLiteral("failures"), m_failures);
    m_result.insert(QStringLiteral("pass"), pass);

    logLine(QStringLiteral("SELFTEST RESULT ") + compact(m_result));
    if (!m_cfg.selftestOut.isEmpty()) {
        QFile out(m_cfg.selftestOut);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(QJsonDocument(m_result).toJson(QJsonDocument::Indented));
        else
            logLine(
                QStringLiteral("selftest: cannot write %1: %2").arg(m_cfg.selftestOut, out.errorString()));
    }
    std::printf("SELFTEST %s\n", pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    emit finished(pass ? 0 : 1);
}

} // namespace svd
