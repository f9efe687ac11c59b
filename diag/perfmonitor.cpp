#include "diag/perfmonitor.h"

#include "base/log.h"
#include "diag/procsample.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace svd {

PerfMonitor::PerfMonitor(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<svd::PerfSnapshot>();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PerfMonitor::onTimer);
}

int PerfMonitor::scheduleDelayMs(double intervalSec, bool playing, double sinceStartSec)
{
    if (intervalSec > 0)
        return qMax(1, int(std::lround(intervalSec * 1000)));
    if (playing)
        return 30'000;
    return sinceStartSec < 600 ? 60'000 : 600'000;
}

void PerfMonitor::start(double intervalSec)
{
    m_interval = intervalSec;
    m_sinceStart.start();
    sample(); // primes the per-process baseline, so the first line has CPU figures
    reschedule();
}

void PerfMonitor::setPlaying(bool playing)
{
    if (playing == m_playing)
        return;
    m_playing = playing;
    if (m_interval <= 0 && m_hasBaseline)
        reschedule();
}

void PerfMonitor::reschedule()
{
    const double since = m_sinceStart.isValid() ? double(m_sinceStart.elapsed()) / 1000.0 : 0.0;
    m_timer.start(scheduleDelayMs(m_interval, m_playing, since));
}

void PerfMonitor::onTimer()
{
    const PerfSnapshot snap = sample();
    QString line = format(snap);
    if (m_extra) {
        const QString extra = m_extra();
        if (!extra.isEmpty())
            line += QStringLiteral(" | ") + extra;
    }
    logLine(line);
    emit sampled(snap);
    reschedule();
}

PerfSnapshot PerfMonitor::sample()
{
    PerfSnapshot snap;
    snap.intervalSec = m_sinceSample.isValid() ? double(m_sinceSample.nsecsElapsed()) / 1e9 : 0.0;
    m_sinceSample.start();
    snap.logicalCpus = qMax(1, QThread::idealThreadCount());

    const QHash<qint64, ProcStat> table = readProcTable();
    QHash<qint64, QList<qint64>> children;
    for (const ProcStat &st : table)
        children[st.ppid].append(st.pid);
    for (QList<qint64> &kids : children)
        std::sort(kids.begin(), kids.end());

    const qint64 self = QCoreApplication::applicationPid();
    const bool rate = m_hasBaseline && snap.intervalSec > 0;
    QHash<qint64, ProcEntry> current;
    for (qint64 pid : collectProcessTree(self, children)) {
        const auto stIt = table.constFind(pid);
        if (stIt == table.constEnd())
            continue;
        const auto ram = readResidentBytes(pid);
        if (!ram)
            continue; // vanished since the walk

        ProcEntry entry;
        entry.cpu100ns = ticksTo100ns(stIt->utime + stIt->stime);
        entry.startTime = stIt->startTime;
        const auto prev = m_previous.constFind(pid);
        const bool known = prev != m_previous.constEnd() && prev->startTime == entry.startTime;
        if (pid == self)
            entry.kind = QStringLiteral("main");
        else if (known)
            entry.kind = prev->kind;
        else if (const auto args = readCmdline(pid))
            entry.kind = processKind(args->join(QLatin1Char(' ')));
        else
            entry.kind = QStringLiteral("child");

        PerfGroup &g = snap.groups[entry.kind];
        ++g.count;
        g.ramBytes += *ram;
        ++snap.processCount;
        snap.ramBytes += *ram;
        if (rate) {
            // A process new since the last sample (or a reused pid) brings all its CPU time.
            const quint64 before = known ? prev->cpu100ns : 0;
            const quint64 used = entry.cpu100ns > before ? entry.cpu100ns - before : 0;
            const double pct = double(used) / 10'000'000.0 / snap.intervalSec * 100.0;
            g.cpuPercent += pct;
            snap.cpuPercent += pct;
        }
        current.insert(pid, entry);
    }
    m_previous = std::move(current);
    m_hasBaseline = true;
    return snap;
}

QString PerfMonitor::format(const PerfSnapshot &s)
{
    QStringList kinds = s.groups.keys();
    std::stable_sort(kinds.begin(), kinds.end(), [&s](const QString &a, const QString &b) {
        const bool am = a == QLatin1String("main");
        const bool bm = b == QLatin1String("main");
        if (am != bm)
            return am;
        return s.groups.value(a).cpuPercent > s.groups.value(b).cpuPercent;
    });
    QStringList parts;
    for (const QString &k : kinds) {
        const PerfGroup g = s.groups.value(k);
        parts << QStringLiteral("%1 %2%3").arg(k, QString::number(g.cpuPercent, 'f', 1),
                                                 g.count >= 2 ? QStringLiteral("x%1").arg(g.count) : QString());
    }
    const int logical = s.logicalCpus < 2 ? 1 : s.logicalCpus;
    constexpr qint64 kMiB = 1048576;
    return QStringLiteral("perf: cpu %1% of a core (%2% of %3 logical) over %4 s | %5 | RAM main %6 MiB, all %7 MiB "
                          "(%8 proc)")
        .arg(QString::number(s.cpuPercent, 'f', 1), QString::number(s.cpuPercent / logical, 'f', 1),
             QString::number(s.logicalCpus), QString::number(s.intervalSec, 'f', 0), parts.join(QLatin1Char(' ')),
             QString::number(s.groups.value(QStringLiteral("main")).ramBytes / kMiB),
             QString::number(s.ramBytes / kMiB), QString::number(s.processCount));
}

} // namespace svd
