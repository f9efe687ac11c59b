#include "ui/desktoppresence.h"

#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "ui/idleinhibitor.h"
#include "ui/mprisservice.h"

namespace svd {

DesktopPresence::DesktopPresence(QObject *parent)
    : QObject(parent), m_inhibitor(new IdleInhibitor(QStringLiteral("Playing an episode"), QDBusConnection::sessionBus(), this)),
      m_mpris(new MprisService(this))
{
    m_mpris->publish();
}

DesktopPresence::~DesktopPresence() = default;

void DesktopPresence::attach(MpvPlayer *player, PlaybackController *controller)
{
    m_player = player;
    m_controller = controller;
    m_mpris->attach(player, controller);
    connect(controller, &PlaybackController::playbackStarted, this, [this] {
        m_started = true;
        m_ended = false;
        update();
    });
    connect(controller, &PlaybackController::episodeChanged, this, [this] {
        m_started = false;
        m_ended = false;
        update();
    });
    connect(controller, &PlaybackController::endReached, this, [this] {
        m_ended = true;
        update();
    });
    connect(controller, &PlaybackController::stateChanged, this, [this](PlaybackController::State state) {
        if (state == PlaybackController::Idle || state == PlaybackController::Failed)
            m_started = false;
        update();
    });
    connect(player, &MpvPlayer::propertyChanged, this, [this](const QString &name) {
        if (name == QLatin1String("pause"))
            update();
    });
}

bool DesktopPresence::activelyPlaying() const
{
    return m_player && m_controller && m_started && !m_ended && m_controller->isActive() &&
           !m_player->cachedProp(QStringLiteral("pause")).toBool();
}

void DesktopPresence::update()
{
    m_inhibitor->setWanted(activelyPlaying());
}

} // namespace svd
