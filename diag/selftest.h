#pragma once

#include "base/appconfig.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace svd {

class MpvPlayer;
class PlaybackController;
class TorrentEngine;

// Plays one episode end to end without a user and judges it: start, normal
// playback, a seek to the middle, a dub switch, read-ahead while paused, and
// the removal of the torrent's download folder afterwards. The verdict is a
// JSON object (logged, optionally written to a file) and "SELFTEST PASS/FAIL"
// on standard output. GUI thread only; engine, player and controller are not owned.
class SelfTest : public QObject {
    Q_OBJECT

public:
    enum Phase { Waiting = 0, Initial, Seek, AfterSeek, DubSwitch, AfterDub, Pause, Finish };

    SelfTest(const AppConfig &config, TorrentEngine *engine, MpvPlayer *player,
             PlaybackController *controller, long long animeId, int episode, const QString &label,
             QObject *parent = nullptr);

    void start();

    Phase phase() const { return m_phase; }
    const QJsonObject &result() const { return m_result; }

signals:
    void finished(int code); // 0 passed, 1 failed

private:
    struct Observation {
        bool running = false;
        QString name;
        double startWall = 0;
        double endWall = 0;
        double posFrom = 0;
        qint64 downloadedFrom = 0;
        int stalls = 0;
        double stallSec = 0;
        bool stalled = false;
    };

    void sample();
    bool checkCaps();
    void onPlaybackStarted(double sincePlay, double sinceSource);
    void onDubSwitched(const QString &dubId, double seconds, bool ok);

    void beginObserve(const QString &name, double seconds);
    void endObserve();
    void sampleObservation(double dt);
    void enterPhase(Phase phase);
    void startSeek();
    void sampleSeek();
    void startDubSwitch();
    void startPause();
    void samplePause();
    QJsonObject cacheSnapshot() const;
    void finish(const QString &reason);

    double wall() const { return m_wall.elapsed() / 1000.0; }
    double pos() const;
    bool prop(const char *name) const;
    qint64 downloaded() const;

    const AppConfig m_cfg;
    QPointer<TorrentEngine> m_engine;
    QPointer<MpvPlayer> m_player;
    QPointer<PlaybackController> m_controller;
    const long long m_animeId;
    const int m_episode;
    const QString m_label;

    Phase m_phase = Waiting;
    QElapsedTimer m_wall;
    QTimer m_sampler;
    double m_lastSampleWall = 0;
    QJsonObject m_result;
    QJsonArray m_failures;
    QJsonArray m_observations;
    int m_maxPeers = 0;
    int m_hashFailures = 0;
    bool m_finished = false;

    Observation m_obs;

    // Seek.
    double m_seekTarget = 0;
    double m_seekStartWall = 0;
    qint64 m_seekDownloadedFrom = 0;
    bool m_restartedAfterSeek = false;
    double m_seekLandedAt = -1; // the position at the player's first restart after the seek
    double m_lastPos = -1;

    // Dub switch.
    QString m_dubFrom;
    QString m_dubTarget;
    bool m_inSelectDub = false;

    // Pause.
    double m_pauseStartWall = 0;
    double m_nextSnapshotAt = 0;
    qint64 m_pauseDownloadedFrom = 0;
    QJsonArray m_pauseSamples;
};

} // namespace svd
