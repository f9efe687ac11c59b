#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariantMap>

namespace svd {

class MpvPlayer;
class PlaybackController;

// The player on the session bus as an MPRIS2 media player, so that the
// desktop's media widget, the lock screen and the media keys it routes reach
// us. It reads the player and controller it is attached to and forwards the
// desktop's commands to them; what needs the window (raise, quit, stop) goes
// out as signals. GUI thread only.
class MprisService : public QObject {
    Q_OBJECT
public:
    static const QString kObjectPath;
    static const QString kBaseName; // "org.mpris.MediaPlayer2.sorvanta"

    explicit MprisService(QObject *parent = nullptr);
    ~MprisService() override;

    // Registers the object and a bus name (the base name, or with ".instance<pid>"
    // when another copy holds it). False, with one log line, without a bus.
    bool publish(const QDBusConnection &bus = QDBusConnection::sessionBus());
    QString busName() const { return m_busName; }
    void attach(MpvPlayer *player, PlaybackController *controller);

    // What the adaptors read.
    bool loaded() const;
    QString playbackStatus() const;
    QVariantMap metadata() const;
    qlonglong positionUs() const;
    double volume() const;
    bool canGoPrevious() const;
    bool canSeek() const;

    // What the adaptors call.
    void setVolume(double volume);
    void setRate(double rate);
    void play();
    void pause();
    void playPause();
    void stop();
    void next();
    void previous();
    void seek(qlonglong offsetUs);
    void setPosition(const QString &trackId, qlonglong positionUs);

signals:
    void raiseRequested();
    void quitRequested();
    void stopRequested();
    void seeked(qlonglong positionUs);

private:
    QString trackId() const;
    QVariantMap changeableProperties() const;
    void scheduleNotify();
    void notify();
    void seekTo(double seconds);

    QDBusConnection m_bus{QString()};
    QString m_busName;
    QPointer<MpvPlayer> m_player;
    QPointer<PlaybackController> m_controller;
    QVariantMap m_sent; // the property values the bus last heard of
    QTimer m_notifyTimer;
    bool m_restartSeen = false; // the file's first playback restart is its start, not a seek
};

} // namespace svd
