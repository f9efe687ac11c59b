#pragma once

#include <QObject>
#include <QPointer>

namespace svd {

class IdleInhibitor;
class MprisService;
class MpvPlayer;
class PlaybackController;

// The player as a citizen of the desktop session: the screen stays on while an
// episode actually plays, and the desktop's media controls see and drive it.
// GUI thread only.
class DesktopPresence : public QObject {
    Q_OBJECT
public:
    explicit DesktopPresence(QObject *parent = nullptr);
    ~DesktopPresence() override;

    void attach(MpvPlayer *player, PlaybackController *controller);
    MprisService *mpris() const { return m_mpris; }
    IdleInhibitor *inhibitor() const { return m_inhibitor; }

    // Playing means the picture moves or should: the episode has started, has not
    // ended, is not paused and the controller has not stopped or failed. Waiting
    // for data in mid-episode still counts.
    bool activelyPlaying() const;

private:
    void update();

    QPointer<MpvPlayer> m_player;
    QPointer<PlaybackController> m_controller;
    IdleInhibitor *m_inhibitor = nullptr;
    MprisService *m_mpris = nullptr;
    bool m_started = false;
    bool m_ended = false;
};

} // namespace svd
