#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace svd {

struct PerfGroup {
    double cpuPercent = 0;
    qint64 ramBytes = 0;
    int count = 0;
};

// One CPU/RAM sample of the application's process tree.
struct PerfSnapshot {
    double intervalSec = 0;
    double cpuPercent = 0; // of one core
    int logicalCpus = 1;
    qint64 ramBytes = 0;
    int processCount = 0;
    QMap<QString, PerfGroup> groups; // by process kind
};

// Writes a periodic "perf: " line with the CPU and memory of the application and
// its child processes, grouped by kind. GUI thread; no sampling thread.
class PerfMonitor : public QObject
{
    Q_OBJECT

public:
    explicit PerfMonitor(QObject *parent = nullptr);

    void setExtraText(std::function<QString()> extra) { m_extra = std::move(extra); }
    // interval <= 0: automatic schedule.
    void start(double intervalSec);
    void setPlaying(bool playing);
    PerfSnapshot sample();
    void reschedule();

    static QString format(const PerfSnapshot &snapshot);
    // Milliseconds until the next sample for the given configuration and state.
    static int scheduleDelayMs(double intervalSec, bool playing, double sinceStartSec);
    // Milliseconds the running timer was last started with (0 when idle).
    int scheduledDelayMs() const { return m_timer.isActive() ? m_timer.interval() : 0; }

signals:
    void sampled(const svd::PerfSnapshot &snapshot);

private:
    void onTimer();

    struct ProcEntry {
        quint64 cpu100ns = 0;
        quint64 startTime = 0;
        QString kind;
    };

    std::function<QString()> m_extra;
    QHash<qint64, ProcEntry> m_previous;
    QElapsedTimer m_sinceSample;
    QElapsedTimer m_sinceStart;
    bool m_hasBaseline = false;
    bool m_playing = false;
    double m_interval = 0;
    QTimer m_timer;
};

} // namespace svd

Q_DECLARE_METATYPE(svd::PerfSnapshot)
