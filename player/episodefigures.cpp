#include "player/episodefigures.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>

namespace svd {

namespace {

// A position change larger than this is a jump (a seek), not playback moving on.
constexpr double kJumpSec = 1.5;

double r3(double v)
{
    return std::round(v * 1000.0) / 1000.0;
}

} // namespace

EpisodeFigures *EpisodeFigures::attach(PlaybackController *controller, MpvPlayer *player)
{
    if (!controller)
        return nullptr;
    if (auto *existing = controller->findChild<EpisodeFigures *>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new EpisodeFigures(controller, player);
}

EpisodeFigures::EpisodeFigures(PlaybackController *controller, MpvPlayer *player)
    : QObject(controller), m_controller(controller), m_player(player)
{
    connect(controller, &PlaybackController::stateChanged, this,
            [this](PlaybackController::State state, const QString &message) {
                if (state == PlaybackController::Resolving) {
                    // play() while an episode runs: that one is switched away from.
                    if (m_open)
                        close(QStringLiteral("switch"), QString());
                    begin();
                } else if (state == PlaybackController::Idle && m_open) {
                    close(QStringLiteral("stop"), QString());
                } else if (state == PlaybackController::Failed && m_open) {
                    close(QStringLiteral("failure"), message);
                }
            });
    connect(controller, &PlaybackController::endReached, this, [this] {
        if (m_open)
            close(QStringLiteral("end"), QString());
    });
    connect(controller, &PlaybackController::dubsChanged, this, &EpisodeFigures::onSourceChosen);
    connect(controller, &PlaybackController::statsChanged, this, &EpisodeFigures::onStats);
    connect(controller, &PlaybackController::playbackStarted, this,
            [this](double sincePlay, double) { onPlaybackStarted(sincePlay); });
    if (player) {
        connect(player, &MpvPlayer::propertyChanged, this, &EpisodeFigures::onProperty);
        connect(player, &MpvPlayer::playbackRestart, this, &EpisodeFigures::onRestart);
    }
}

bool EpisodeFigures::flag(const char *name) const
{
    return m_player && m_player->cachedProp(QLatin1String(name)).toBool();
}

void EpisodeFigures::begin()
{
    m_open = true;
    m_clock.start();
    m_animeId = m_controller->animeId();
    m_episode = m_controller->episode();
    m_firstFrame = -1;
    m_started = false;
    m_stalls = 0;
    m_stallSeconds = 0;
    m_stallSince = -1;
    m_seekPending = false;
    m_seeks = QJsonArray();
    m_lastPos = m_prevPos = -1;
    m_playedSeconds = 0;
    m_fileSize = 0;
    m_duration = 0;
    m_peakRate = 0;
    m_peersMax = 0;
    m_sources.clear();
    m_lastSourceIndex = -1;
    m_bytes.clear();
    // A torrent kept open from the previous episode counts only what it fetches from now on.
    if (const auto t = m_controller->torrent()) {
        const qint64 done = t->lastStats().payloadDownloaded;
        m_bytes.insert(t->id(), {done, done});
    }
}

void EpisodeFigures::onSourceChosen()
{
    if (!m_open || !m_controller)
        return;
    const PlayerStats &s = m_controller->stats();
    // Recycling the cache tries the same source again: not another source.
    if (s.sourceIndex < 0 || s.sourceIndex == m_lastSourceIndex)
        return;
    m_lastSourceIndex = s.sourceIndex;
    m_sources << (s.sourceLabel.isEmpty() ? QStringLiteral("#%1").arg(s.sourceIndex) : s.sourceLabel);
}

void EpisodeFigures::onStats()
{
    if (!m_open || !m_controller)
        return;
    const PlayerStats &s = m_controller->stats();
    if (m_started)
        noteFile();
    m_peakRate = qMax(m_peakRate, s.downloadRate);
    m_peersMax = qMax(m_peersMax, s.numPeers);
    if (const auto t = m_controller->torrent()) {
        TorrentBytes &b = m_bytes[t->id()];
        b.last = qMax(b.last, t->lastStats().payloadDownloaded);
    }
}

qint64 EpisodeFigures::downloadedBytes() const
{
    qint64 sum = 0;
    for (const TorrentBytes &b : m_bytes)
        sum += qMax<qint64>(0, b.last - b.base);
    return sum;
}

void EpisodeFigures::onPlaybackStarted(double secondsSincePlay)
{
    if (!m_open || m_started)
        return;
    m_started = true;
    m_firstFrame = secondsSincePlay;
    noteFile();
}

// Size and duration of the file being played, for the bytes played; the duration may come
// only after the first frame.
void EpisodeFigures::noteFile()
{
    if (!m_player || !m_controller || (m_fileSize > 0 && m_duration > 0))
        return;
    m_duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    QString id;
    int file = -1;
    const auto t = m_controller->torrent();
    if (t && parseTorrentUri(m_player->currentUrl(), &id, &file))
        m_fileSize = qMax<qint64>(0, t->fileSize(file));
}

void EpisodeFigures::onRestart()
{
    if (!m_open || !m_seekPending)
        return;
    m_seek.restarted = true;
    m_seek.restartPos = m_lastPos;
    checkResume();
}

void EpisodeFigures::endStall()
{
    if (m_stallSince < 0)
        return;
    m_stallSeconds += wall() - m_stallSince;
    m_stallSince = -1;
}

void EpisodeFigures::onProperty(const QString &name, const QVariant &value)
{
    if (!m_open || !m_started)
        return;
    if (name == QLatin1String("time-pos")) {
        if (!value.isValid())
            return;
        const double pos = value.toDouble();
        const bool moving = !flag("seeking") && !m_seekPending;
        if (moving && m_lastPos >= 0 && pos > m_lastPos && pos - m_lastPos <= kJumpSec)
            m_playedSeconds += pos - m_lastPos;
        m_prevPos = m_lastPos;
        m_lastPos = pos;
        if (m_seekPending) {
            if (std::abs(pos - m_seek.fromPos) > kJumpSec) {
                m_seek.jumped = true;
                m_seek.toPos = pos;
            }
            // The restart may come before the position of the new place: measure from there.
            if (m_seek.restarted && std::abs(pos - m_seek.restartPos) > kJumpSec)
                m_seek.restartPos = pos;
            checkResume();
        }
    } else if (name == QLatin1String("seeking")) {
        if (value.toBool() && !m_seekPending) {
            m_seekPending = true;
            endStall();
            m_seek = Seek();
            m_seek.startWall = wall();
            // The new position may have been reported just before the seeking flag.
            const bool justJumped = m_prevPos >= 0 && std::abs(m_lastPos - m_prevPos) > kJumpSec;
            m_seek.fromPos = justJumped ? m_prevPos : m_lastPos;
            if (justJumped) {
                m_seek.jumped = true;
                m_seek.toPos = m_lastPos;
            }
        } else {
            checkResume();
        }
    } else if (name == QLatin1String("paused-for-cache")) {
        if (m_seekPending) {
            checkResume();
        } else if (value.toBool()) {
            if (m_stallSince < 0) {
                ++m_stalls;
                m_stallSince = wall();
            }
        } else {
            endStall();
        }
    }
}

// A seek has resumed once the player restarted, neither seeks nor waits for the cache, and
// the picture moves on (or the user has paused it).
void EpisodeFigures::checkResume()
{
    if (!m_seekPending || !m_seek.restarted || flag("seeking") || flag("paused-for-cache"))
        return;
    if (!flag("pause") && !(m_lastPos > m_seek.restartPos))
        return;
    m_seekPending = false;
    if (!m_seek.jumped)
        return; // the player re-synchronised in place (a new audio track, for one)
    m_seeks.append(QJsonObject{{QStringLiteral("from_s"), r3(m_seek.fromPos)},
                               {QStringLiteral("to_s"), r3(m_seek.toPos)},
                               {QStringLiteral("resume_s"), r3(wall() - m_seek.startWall)}});
}

void EpisodeFigures::close(const QString &end, const QString &reason)
{
    m_open = false;
    endStall();
    QJsonArray seeks = m_seeks;
    if (m_seekPending && m_seek.jumped)
        seeks.append(QJsonObject{{QStringLiteral("from_s"), r3(m_seek.fromPos)},
                                 {QStringLiteral("to_s"), r3(m_seek.toPos)},
                                 {QStringLiteral("resume_s"), QJsonValue::Null}});
    m_seekPending = false;

    const double wallSec = wall();
    const qint64 downloaded = downloadedBytes();
    const qint64 played = m_duration > 0 ? qint64(m_playedSeconds * double(m_fileSize) / m_duration) : 0;
    QJsonObject f{
        {QStringLiteral("anime_id"), double(m_animeId)},
        {QStringLiteral("episode"), m_episode},
        {QStringLiteral("end"), end},
        {QStringLiteral("wall_s"), r3(wallSec)},
        {QStringLiteral("time_to_first_frame_s"),
         m_firstFrame >= 0 ? QJsonValue(r3(m_firstFrame)) : QJsonValue()},
        {QStringLiteral("stalls"),
         QJsonObject{{QStringLiteral("count"), m_stalls}, {QStringLiteral("seconds"), r3(m_stallSeconds)}}},
        {QStringLiteral("seeks"), seeks},
        {QStringLiteral("downloaded_bytes"), double(downloaded)},
        {QStringLiteral("played_bytes"), double(played)},
        {QStringLiteral("played_s"), r3(m_playedSeconds)},
        {QStringLiteral("rate_avg_bps"), wallSec > 0 ? double(qint64(double(downloaded) / wallSec)) : 0.0},
        {QStringLiteral("rate_peak_bps"), double(m_peakRate)},
        {QStringLiteral("peers_max"), m_peersMax},
        {QStringLiteral("sources_tried"), int(m_sources.size())},
        {QStringLiteral("sources"), QJsonArray::fromStringList(m_sources)},
    };
    if (!reason.isEmpty())
        f.insert(QStringLiteral("reason"), reason);
    m_last = f;
    logLine(QStringLiteral("player: episode figures ") +
            QString::fromUtf8(QJsonDocument(f).toJson(QJsonDocument::Compact)));
    emit recorded(f);
}

} // namespace svd
