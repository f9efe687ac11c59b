#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <optional>

namespace svd {

class MpvPlayer;

// The 10 s drop-measurement window of the tuner, free of the player so that
// sequences of seconds can be replayed exactly.
class DropWindow
{
public:
    enum class Second { Interrupted, Still, Advanced };

    // A new playback or a fresh file: wait `settle` seconds before measuring.
    void restart(int settle)
    {
        m_settle = settle;
        m_baseline = -1;
        m_window = 0;
    }
    void forgetPosition() { m_lastPos = -1; }
    void setSettle(int settle) { m_settle = settle; }
    int settle() const { return m_settle; }

    // One second of wall time: `interrupted` when paused, waiting for the cache
    // or seeking; `pos` is time-pos (negative when unknown). Advanced means the
    // caller should take a sample and pass its drop total to measure().
    Second position(bool interrupted, double pos);
    // One second with the picture moving. Returns the dropped percentage when a
    // 10 s window completes.
    std::optional<double> measure(qint64 drops, double fps);

private:
    int m_settle = 10;
    qint64 m_baseline = -1;
    int m_window = 0;
    double m_lastPos = -1;
};

// Frames per second to measure against: container rate, else the estimated
// output rate, else 24.
double pickFramesPerSecond(double containerFps, double estimatedVfFps);
QString displayHzText(double displayFps, double screenHz);
// The level after a bad window at `level` (< 3): one down, but straight to
// software decoding when no hardware decoder is in use at level 1.
int nextLevelAfterDrops(int level, const QString &hwdecCurrent);

// Watches frame drops while a video plays and steps the renderer down on weak
// machines; the level reached is remembered under "video/level". GUI thread only.
class VideoTuner : public QObject
{
    Q_OBJECT

public:
    struct Sample {
        qint64 voDrops = 0;
        qint64 decoderDrops = 0;
        double avsync = 0;
        double vfFps = 0;
        double fps = 24.0;
        QString displayHz;
        qint64 total() const { return voDrops + decoderDrops; }
    };

    static constexpr int kLowestLevel = 3;

    // forcedLevel: -1 = automatic, else the level from --video-level.
    VideoTuner(MpvPlayer *player, int forcedLevel, QObject *parent = nullptr);

    void init();
    void applyLevel(int level, bool reinit);
    int level() const { return m_level; }
    bool isPlaying() const { return m_playing; }
    void setScreenRefreshRate(double hz) { m_screenHz = hz; }

    double framesPerSecond() const;
    QString displayHz() const;
    Sample readMpv() const;
    // "vo … (…), hwdec …, <codec> <pixel format> WxH @ fps, display …, level N (name)".
    QString pipelineText() const;
    void logInfo();
    void logPeriodic();

    static QString levelName(int level);

public slots:
    void onPlaybackStarted();
    void onStopped();
    void sampleSecond();
    void stepDown(double percent);

private:
    double number(const char *name) const;
    QString text(const char *name) const;

    QPointer<MpvPlayer> m_player;
    int m_forced;
    int m_level = 0;
    bool m_playing = false;
    QTimer m_timer;
    DropWindow m_window;
    QElapsedTimer m_period;
    int m_secondsSampled = 0;
    qint64 m_periodStartTotal = 0;
    Sample m_last;
    int m_infoCountdown = 0;
    double m_screenHz = 0;
};

} // namespace svd
