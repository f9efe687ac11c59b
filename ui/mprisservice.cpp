#include "ui/mprisservice.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "ui/mprisadaptors.h"
#include "ui/playertexts.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <cmath>
#include <limits>

namespace svd {

const QString MprisService::kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString MprisService::kBaseName = QStringLiteral("org.mpris.MediaPlayer2.sorvanta");

namespace {

constexpr double kUsPerSecond = 1e6;

} // namespace

MprisService::MprisService(QObject *parent) : QObject(parent)
{
    new MprisRootAdaptor(this);
    new MprisPlayerAdaptor(this);
    // Several changes in one event-loop turn (a new episode: state, title,
    // duration) reach the bus as one PropertiesChanged.
    m_notifyTimer.setSingleShot(true);
    m_notifyTimer.setInterval(0);
    connect(&m_notifyTimer, &QTimer::timeout, this, &MprisService::notify);
}

MprisService::~MprisService()
{
    if (m_busName.isEmpty())
        return;
    m_bus.unregisterService(m_busName);
    m_bus.unregisterObject(kObjectPath);
}

bool MprisService::publish(const QDBusConnection &bus)
{
    m_bus = bus;
    if (!m_bus.isConnected()) {
        logLine(QStringLiteral("desktop: no session bus -> no media keys or desktop media controls"));
        return false;
    }
    if (!m_bus.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors)) {
        logLine(QStringLiteral("desktop: media controls not published: %1").arg(m_bus.lastError().message()));
        return false;
    }
    QString name = kBaseName;
    if (!m_bus.registerService(name)) {
        // Another copy of the program has the plain name.
        name = kBaseName + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
        if (!m_bus.registerService(name)) {
            logLine(QStringLiteral("desktop: media controls not published: %1").arg(m_bus.lastError().message()));
            m_bus.unregisterObject(kObjectPath);
            return false;
        }
    }
    m_busName = name;
    m_sent = changeableProperties();
    logLine(QStringLiteral("desktop: media controls on the session bus as %1").arg(name));
    return true;
}

void MprisService::attach(MpvPlayer *player, PlaybackController *controller)
{
    m_player = player;
    m_controller = controller;
    connect(controller, &PlaybackController::stateChanged, this, &MprisService::scheduleNotify);
    connect(controller, &PlaybackController::episodeChanged, this, &MprisService::scheduleNotify);
    connect(controller, &PlaybackController::playbackStarted, this, &MprisService::scheduleNotify);
    connect(player, &MpvPlayer::propertyChanged, this, [this](const QString &name, const QVariant &) {
        if (name == QLatin1String("pause") || name == QLatin1String("volume") || name == QLatin1String("duration"))
            scheduleNotify();
    });
    connect(player, &MpvPlayer::startFile, this, [this] { m_restartSeen = false; });
    connect(player, &MpvPlayer::playbackRestart, this, [this] {
        if (!m_restartSeen) {
            m_restartSeen = true;
            return;
        }
        emit seeked(positionUs());
    });
    scheduleNotify();
}

bool MprisService::loaded() const
{
    return m_player && m_controller && m_controller->isActive();
}

QString MprisService::playbackStatus() const
{
    if (!loaded())
        return QStringLiteral("Stopped");
    return m_player->cachedProp(QStringLiteral("pause")).toBool() ? QStringLiteral("Paused") : QStringLiteral("Playing");
}

QString MprisService::trackId() const
{
    if (!loaded())
        return QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");
    return QStringLiteral("/tv/sorvanta/episode/%1_%2").arg(m_controller->animeId()).arg(m_controller->episode());
}

QVariantMap MprisService::metadata() const
{
    QVariantMap m{{QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(trackId()))}};
    if (!loaded())
        return m;
    m.insert(QStringLiteral("xesam:title"), episodeTitle(m_controller->title(), m_controller->episode()));
    const double duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    if (duration > 0)
        m.insert(QStringLiteral("mpris:length"), qlonglong(duration * kUsPerSecond));
    return m;
}

qlonglong MprisService::positionUs() const
{
    if (!loaded())
        return 0;
    // Read fresh: the observed value may lag a seek that just finished.
    const double pos = m_player->getProp(QStringLiteral("time-pos")).toDouble();
    return qlonglong(qMax(0.0, pos) * kUsPerSecond);
}

double MprisService::volume() const
{
    const QVariant v = m_player ? m_player->cachedProp(QStringLiteral("volume")) : QVariant();
    return v.isValid() ? v.toDouble() / 100.0 : 1.0;
}

bool MprisService::canGoPrevious() const
{
    return loaded() && m_controller->episode() > 1;
}

bool MprisService::canSeek() const
{
    return loaded() && m_player->cachedProp(QStringLiteral("duration")).toDouble() > 0;
}

void MprisService::setVolume(double volume)
{
    // A NaN would pass the bounds as 0 and be remembered: every later run silent.
    if (m_player && std::isfinite(volume))
        m_player->setProp(QStringLiteral("volume"), qBound(0.0, volume * 100.0, 130.0));
}

void MprisService::setRate(double rate)
{
    // One rate only; the interface asks a player to take 0 as Pause and lets it
    // ignore any other rate outside MinimumRate..MaximumRate (1.0..1.0).
    if (rate == 0.0)
        pause();
}

void MprisService::play()
{
    if (loaded())
        m_player->setProp(QStringLiteral("pause"), false);
}

void MprisService::pause()
{
    if (loaded())
        m_player->setProp(QStringLiteral("pause"), true);
}

void MprisService::playPause()
{
    if (loaded())
        m_player->setProp(QStringLiteral("pause"), !m_player->cachedProp(QStringLiteral("pause")).toBool());
}

void MprisService::stop()
{
    if (loaded())
        emit stopRequested();
}

void MprisService::next()
{
    if (loaded())
        m_controller->nextEpisode();
}

void MprisService::previous()
{
    if (canGoPrevious())
        m_controller->prevEpisode();
}

void MprisService::seek(qlonglong offsetUs)
{
    if (!canSeek())
        return;
    const double duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    // The offset comes from the bus: any 64-bit value, so the sum saturates.
    qlonglong targetUs = 0;
    if (qAddOverflow(positionUs(), offsetUs, &targetUs))
        targetUs = offsetUs > 0 ? std::numeric_limits<qlonglong>::max() : std::numeric_limits<qlonglong>::min();
    const double target = double(targetUs) / kUsPerSecond;
    if (target >= duration) {
        next(); // past the end: as the interface asks, like Next
        return;
    }
    seekTo(qMax(0.0, target));
}

void MprisService::setPosition(const QString &track, qlonglong position)
{
    // A stale track id (the episode changed meanwhile) or a position outside the episode is ignored.
    if (!canSeek() || track != trackId() || position < 0)
        return;
    const double seconds = double(position) / kUsPerSecond;
    if (seconds > m_player->cachedProp(QStringLiteral("duration")).toDouble())
        return;
    seekTo(seconds);
}

void MprisService::seekTo(double seconds)
{
    m_player->commandAsync({QStringLiteral("seek"), QString::number(seconds, 'f', 3), QStringLiteral("absolute+exact")},
                           nullptr);
}

QVariantMap MprisService::changeableProperties() const
{
    return {{QStringLiteral("PlaybackStatus"), playbackStatus()},
            {QStringLiteral("Metadata"), metadata()},
            {QStringLiteral("Volume"), volume()},
            {QStringLiteral("CanGoNext"), loaded()},
            {QStringLiteral("CanGoPrevious"), canGoPrevious()},
            {QStringLiteral("CanPlay"), loaded()},
            {QStringLiteral("CanPause"), loaded()},
            {QStringLiteral("CanSeek"), canSeek()}};
}

void MprisService::scheduleNotify()
{
    if (!m_busName.isEmpty())
        m_notifyTimer.start();
}

void MprisService::notify()
{
    const QVariantMap now = changeableProperties();
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (m_sent.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    if (changed.isEmpty())
        return;
    m_sent = now;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    m_bus.send(signal);
}

} // namespace svd
