#pragma once

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

namespace svd {

class MpvPlayer;
class PlaybackController;

// How one episode went, from play() until it stops (end, stop, failure or a switch to
// another episode): time to the first frame, stalls, seeks with their resume times, bytes
// downloaded and played, rates, peers and the sources tried. It only listens to the
// controller's and the player's signals and reads their figures; when an episode stops it
// logs one line and emits the figures. GUI thread only; a child of the controller.
class EpisodeFigures : public QObject {
    Q_OBJECT

public:
    // The controller's recorder, created on first use (the window and the self-test share it).
    static EpisodeFigures *attach(PlaybackController *controller, MpvPlayer *player);

    // The figures of the last episode that stopped (empty before the first one).
    QJsonObject last() const { return m_last; }

signals:
    void recorded(const QJsonObject &figures);

private:
    EpisodeFigures(PlaybackController *controller, MpvPlayer *player);

    struct Seek {
        double startWall = 0;
        double fromPos = 0;
        double toPos = 0;
        bool jumped = false; // a real jump, not a resync at the same place
        bool restarted = false;
        double restartPos = -1;
    };
    struct TorrentBytes {
        qint64 base = 0;
        qint64 last = 0;
    };

    void begin();
    void close(const QString &end, const QString &reason);
    void onStats();
    void onSourceChosen();
    void onPlaybackStarted(double secondsSincePlay);
    void noteFile();
    void onProperty(const QString &name, const QVariant &value);
    void onRestart();
    void checkResume();
    void endStall();
    double wall() const { return m_clock.elapsed() / 1000.0; }
    bool flag(const char *name) const;
    qint64 downloadedBytes() const;

    QPointer<PlaybackController> m_controller;
    QPointer<MpvPlayer> m_player;
    QJsonObject m_last;

    bool m_open = false;
    QElapsedTimer m_clock;
    long long m_animeId = 0;
    int m_episode = 0;
    double m_firstFrame = -1;
    bool m_started = false;
    int m_stalls = 0;
    double m_stallSeconds = 0;
    double m_stallSince = -1;
    bool m_seekPending = false;
    Seek m_seek;
    QJsonArray m_seeks;
    double m_lastPos = -1;
    double m_prevPos = -1;
    double m_playedSeconds = 0;
    qint64 m_fileSize = 0;
    double m_duration = 0;
    qint64 m_peakRate = 0;
    int m_peersMax = 0;
    QStringList m_sources;
    int m_lastSourceIndex = -1;
    QMap<QString, TorrentBytes> m_bytes; // by torrent id
};

} // namespace svd
