#include "base/log.h"
#include "diag/perfmonitor.h"
#include "diag/procsample.h"
#include "tests/common/timescale.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace svd;

namespace {

QByteArray statLine(const QByteArray &comm, qint64 ppid, quint64 utime, quint64 stime, quint64 start)
{
    // pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime cutime
    // cstime priority nice threads itreal starttime vsize rss
    return "4321 (" + comm + ") S " + QByteArray::number(ppid) + " 1 1 0 -1 4194560 10 0 0 0 " +
           QByteArray::number(utime) + ' ' + QByteArray::number(stime) + " 0 0 20 0 1 0 " +
           QByteArray::number(start) + " 1000 50\n";
}

// A child whose command line carries `type`, as a browser engine's helpers do.
std::unique_ptr<QProcess> spawnTyped(const QString &type, bool busy)
{
    auto p = std::make_unique<QProcess>();
    const QString body = busy ? QStringLiteral("bash -c 'while :; do :; done'") : QStringLiteral("sleep 60");
    p->start(QStringLiteral("bash"),
             {QStringLiteral("-c"), QStringLiteral("exec -a 'svd-helper %1' %2").arg(type, body)});
    return p;
}

} // namespace

class TestPerfMonitor : public QObject {
    Q_OBJECT
private slots:
    void parseStat();
    void kinds();
    void tree();
    void formatLine();
    void schedule();
    void sampleRealChildren();
    void loggedLine();
};

void TestPerfMonitor::parseStat()
{
    // The command name may hold blanks and parentheses; only the last ')' ends it.
    const auto st = parseProcStat(statLine("we(ird) name) x", 77, 150, 50, 12345));
    QVERIFY(st);
    QCOMPARE(st->pid, 4321);
    QCOMPARE(st->ppid, 77);
    QCOMPARE(st->utime, 150u);
    QCOMPARE(st->stime, 50u);
    QCOMPARE(st->startTime, 12345u);

    QVERIFY(!parseProcStat(QByteArray()));
    QVERIFY(!parseProcStat("4321 (sh) S 1 2 3"));
    QVERIFY(!parseProcStat(statLine("sh", 1, 1, 1, 1).replace("4321", "x")));
    QVERIFY(!parseProcStat("4321 sh) S 1 1 1 0 -1 4194560 10 0 0 0 1 1 0 0 20 0 1 0 5 1000 50"));
    QVERIFY(!parseProcStat(statLine("sh", 1, 1, 1, 1).replace(" 20 0 1 0 ", " 20 0 1 0 -")));

    QCOMPARE(parseStatmResidentPages("2000 350 100 1 0 200 0\n"), std::optional<quint64>(350));
    QVERIFY(!parseStatmResidentPages("2000"));
    QCOMPARE(splitCmdline(QByteArray("a\0--type=renderer\0\0b\0", 21)),
             (QStringList{QStringLiteral("a"), QStringLiteral("--type=renderer"), QStringLiteral("b")}));
    QCOMPARE(ticksTo100ns(0), 0u);
}

void TestPerfMonitor::kinds()
{
    QCOMPARE(processKind(QStringLiteral("/opt/x/QtWebEngineProcess --type=renderer --lang=ru")),
             QStringLiteral("renderer"));
    QCOMPARE(processKind(QStringLiteral("helper --type=gpu-process --enable-x")), QStringLiteral("gpu"));
    QCOMPARE(processKind(QStringLiteral("h --type=utility --utility-sub-type=network.mojom.NetworkService")),
             QStringLiteral("utility:network"));
    QCOMPARE(processKind(QStringLiteral("h --utility-sub-type=audio.mojom.AudioService --type=utility")),
             QStringLiteral("utility:audio"));
    QCOMPARE(processKind(QStringLiteral("h --type=utility")), QStringLiteral("utility"));
    QCOMPARE(processKind(QStringLiteral("sleep 30")), QStringLiteral("child"));
    QCOMPARE(processKind(QString()), QStringLiteral("child"));
    // Only a whole argument counts.
    QCOMPARE(processKind(QStringLiteral("h --no--type=renderer")), QStringLiteral("child"));
    QCOMPARE(processKind(QStringLiteral("h --type=")), QString());
}

void TestPerfMonitor::tree()
{
    QHash<qint64, QList<qint64>> children;
    children[1] = {2, 3};
    children[2] = {4, 5, 6};
    children[4] = {1}; // a loop must not repeat processes
    QCOMPARE(collectProcessTree(1, children), (QList<qint64>{1, 2, 3, 4, 5, 6}));
    QCOMPARE(collectProcessTree(2, children), (QList<qint64>{2, 4, 5, 6, 1, 3}));
    QCOMPARE(collectProcessTree(1, children, 2), (QList<qint64>{1, 2, 3, 4, 5}));
    QCOMPARE(collectProcessTree(1, children, 512, 4), (QList<qint64>{1, 2, 3, 4}));
    QCOMPARE(collectProcessTree(9, children), QList<qint64>{9});
}

void TestPerfMonitor::formatLine()
{
    PerfSnapshot s;
    s.intervalSec = 29.6;
    s.cpuPercent = 57.24;
    s.logicalCpus = 4;
    s.ramBytes = 700 * 1048576LL + 1000;
    s.processCount = 5;
    s.groups[QStringLiteral("renderer")] = {30.0, 300 * 1048576LL, 2};
    s.groups[QStringLiteral("main")] = {12.24, 250 * 1048576LL + 5, 1};
    s.groups[QStringLiteral("gpu")] = {15.0, 150 * 1048576LL, 1};
    s.groups[QStringLiteral("utility:network")] = {0, 0, 1};
    QCOMPARE(PerfMonitor::format(s),
             QStringLiteral("perf: cpu 57.2% of a core (14.3% of 4 logical) over 30 s | main 12.2 renderer 30.0x2 "
                            "gpu 15.0 utility:network 0.0 | RAM main 250 MiB, all 700 MiB (5 proc)"));
    // One logical processor: the same figure twice; no main group: 0 MiB.
    PerfSnapshot one;
    one.cpuPercent = 80;
    one.logicalCpus = 1;
    one.groups[QStringLiteral("child")] = {80, 1048575, 1};
    one.ramBytes = 1048575;
    one.processCount = 1;
    QCOMPARE(PerfMonitor::format(one), QStringLiteral("perf: cpu 80.0% of a core (80.0% of 1 logical) over 0 s | "
                                                      "child 80.0 | RAM main 0 MiB, all 0 MiB (1 proc)"));
}

void TestPerfMonitor::schedule()
{
    QCOMPARE(PerfMonitor::scheduleDelayMs(5, true, 0), 5000);
    QCOMPARE(PerfMonitor::scheduleDelayMs(0.25, false, 9999), 250);
    QCOMPARE(PerfMonitor::scheduleDelayMs(0, true, 9999), 30000);
    QCOMPARE(PerfMonitor::scheduleDelayMs(0, false, 599), 60000);
    QCOMPARE(PerfMonitor::scheduleDelayMs(-1, false, 600), 600000);

    // Switching to playing brings the next line 30 s later; stopping goes back to idle.
    PerfMonitor m;
    m.start(0);
    QCOMPARE(m.scheduledDelayMs(), 60000);
    m.setPlaying(true);
    QCOMPARE(m.scheduledDelayMs(), 30000);
    m.setPlaying(false);
    QCOMPARE(m.scheduledDelayMs(), 60000);
    // A fixed interval ignores playback.
    PerfMonitor fixed;
    fixed.start(7);
    fixed.setPlaying(true);
    QCOMPARE(fixed.scheduledDelayMs(), 7000);
}

void TestPerfMonitor::sampleRealChildren()
{
    std::vector<std::unique_ptr<QProcess>> kids;
    kids.push_back(spawnTyped(QStringLiteral("--type=renderer --x"), false));
    kids.push_back(spawnTyped(QStringLiteral("--type=renderer"), false));
    kids.push_back(spawnTyped(QStringLiteral("--type=gpu-process"), true));
    kids.push_back(std::make_unique<QProcess>());
    kids.back()->start(QStringLiteral("sleep"), {QStringLiteral("60")});
    for (auto &k : kids) {
        QVERIFY(k->waitForStarted());
        // Classify only after bash has exec'd into the helper: the shell's own
        // command line names the type too, so wait for the helper's argv[0].
        if (k->arguments().size() > 1) {
            QTRY_VERIFY(readCmdline(k->processId()).value_or(QStringList()).value(0).startsWith(
                QStringLiteral("svd-helper ")));
        }
    }

    PerfMonitor m;
    const PerfSnapshot first = m.sample();
    QCOMPARE(first.intervalSec, 0.0);
    QCOMPARE(first.cpuPercent, 0.0); // no baseline yet
    QCOMPARE(first.processCount, 5);
    QCOMPARE(first.groups.value(QStringLiteral("renderer")).count, 2);
    QCOMPARE(first.groups.value(QStringLiteral("gpu")).count, 1);
    QCOMPARE(first.groups.value(QStringLiteral("child")).count, 1);
    QCOMPARE(first.groups.value(QStringLiteral("main")).count, 1);
    QVERIFY(first.groups.value(QStringLiteral("main")).ramBytes > 1048576);
    QVERIFY(first.logicalCpus >= 1);

    // The busy helper shows up with CPU time, the sleeping ones with none.
    const qint64 busy = kids[2]->processId();
    const quint64 startTicks = readProcTable().value(busy).utime;
    QTRY_VERIFY_WITH_TIMEOUT(readProcTable().value(busy).utime >= startTicks + 10, svd::test::waitMs(10000));
    const PerfSnapshot s = m.sample();
    QVERIFY2(s.groups.value(QStringLiteral("gpu")).cpuPercent > 5, qPrintable(PerfMonitor::format(s)));
    QVERIFY(s.intervalSec > 0);
    QVERIFY(s.groups.value(QStringLiteral("renderer")).cpuPercent < 20);
    QVERIFY(PerfMonitor::format(s).contains(QStringLiteral(" renderer 0.0x2")));

    // A process gone since the last sample simply drops out.
    kids.back()->kill();
    kids.back()->waitForFinished();
    QTRY_COMPARE(m.sample().processCount, 4);
    for (auto &k : kids) {
        k->kill();
        k->waitForFinished();
    }
}

void TestPerfMonitor::loggedLine()
{
    PerfMonitor m;
    m.setExtraText([] { return QStringLiteral("lite off, video idle"); });
    QSignalSpy spy(&m, &PerfMonitor::sampled);
    m.start(0.2);
    QVERIFY(spy.wait(svd::test::waitMs(5000)));
    // The first line after start already measures against the baseline start took.
    const auto snap = spy.first().first().value<PerfSnapshot>();
    QVERIFY(snap.intervalSec > 0.1);
    QVERIFY(snap.groups.contains(QStringLiteral("main")));
    QVERIFY(spy.wait(svd::test::waitMs(5000))); // and it keeps going
}

int runSelfTestTests(int argc, char **argv); // tst_selftest.cpp

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    logStart(dir.filePath(QStringLiteral("test.log")));
    TestPerfMonitor t;
    const int failed = QTest::qExec(&t, argc, argv);
    QFile log(dir.filePath(QStringLiteral("test.log")));
    if (!failed && (!log.open(QIODevice::ReadOnly) ||
                    !log.readAll().contains(" MiB (1 proc) | lite off, video idle\n"))) {
        qWarning("no perf line was logged");
        return 1;
    }
    return failed + runSelfTestTests(argc, argv);
}

#include "tst_perfmonitor.moc"
