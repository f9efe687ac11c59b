#pragma once

#include "base/appconfig.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QTimer>

namespace svd {

class MpvPlayer;
class PlaybackController;
class TorrentEngine;

// An evening without a user: N episodes back to back, each with a seek to the
// middle, one dub change and its natural end leading to the next episode as the
// window does it. After each episode it records what a long evening would let
// grow: memory, threads, file descriptors, cache bytes, open torrents and
// folder removals still pending. One line per episode and a JSON array at the end on standard
// output. GUI thread only; engine, player and controller are not owned.
class BingeTest : public QObject {
    Q_OBJECT
public:
    BingeTest(const AppConfig &config, TorrentEngine *engine, MpvPlayer *player, PlaybackController *controller,
              long long animeId, int firstEpisode, int episodes, QObject *parent = nullptr);

    void start();
    const QJsonArray &rows() const { return m_rows; }

signals:
    void finished(int code); // 0 every episode played to its end, 1 otherwise

private:
    struct Episode {
        int number = 0;
        double playWall = 0;
        double firstFrameS = -1;
        double seekWall = -1;   // the seek was sent
        double seekResumeS = -1;
        double seekTarget = 0;
        double dubWall = -1;
        bool dubOk = false;
        int stalls = 0;
        double stallSec = 0;
        bool stalled = false;
        double stallWall = 0;     // when the current stall began
        double stallPos = 0;      // and where
        double stallEpoch = 0;    // on the wall clock, to line it up with other programs' events
        QJsonArray outages;       // each stall: where it stopped, how long, where it went on
        qint64 peakRss = 0;
        bool ended = false;
    };

    void sample();
    void onStarted();
    void onEnd();
    void nextEpisode();
    void recordRow();
    void fail(const QString &why);
    void finish(int code);
    bool prop(const char *name) const;
    double pos() const;
    double wall() const { return m_wall.elapsed() / 1000.0; }

    const AppConfig m_cfg;
    QPointer<TorrentEngine> m_engine;
    QPointer<MpvPlayer> m_player;
    QPointer<PlaybackController> m_controller;
    const long long m_animeId;
    const int m_firstEpisode;
    const int m_episodes;
    Episode m_ep;
    int m_played = 0;
    QElapsedTimer m_wall;
    QTimer m_timer;
    QJsonArray m_rows;
    bool m_done = false;
};

} // namespace svd
