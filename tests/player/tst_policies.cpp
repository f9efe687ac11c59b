#include "player/cachepolicy.h"
#include "player/ratepolicy.h"
#include "tests/player/testsupport.h"

#include <QTest>

using namespace svd;

namespace {

constexpr qint64 MiB = 1048576;

RateInputs playing(qint64 nowMs, double buffered, double bitrate = 1500000)
{
    RateInputs in;
    in.nowMs = nowMs;
    in.started = true;
    in.buffered = buffered;
    in.cacheSecs = 300;
    in.streamBitrate = bitrate;
    return in;
}

} // namespace

class TestPolicies : public QObject {
    Q_OBJECT

private slots:
    // One torrent's life: start burst, buffer-driven bursts and throttles with
    // hysteresis in between, and a stall that forces 10 s of burst.
    void rateTable()
    {
        RateState st;
        RateInputs in = playing(0, 0);
        in.started = false;
        RateDecision d = decideRate(in, &st);
        QVERIFY(d.burst && d.apply);
        QCOMPARE(d.limit, 0);
        QCOMPARE(rateLogLine(d, 0, 0), QStringLiteral("rate: burst, unlimited (starting)"));

        // The last tick before the start was at 5 s: the start burst runs until 15 s.
        in.nowMs = 5000;
        QVERIFY(!decideRate(in, &st).apply);
        d = decideRate(playing(14000, 100), &st);
        QVERIFY(d.burst && !d.apply);
        QCOMPARE(d.reason, QStringLiteral("seek / stall / dub switch"));

        d = decideRate(playing(16000, 5), &st);
        QVERIFY(d.burst && !d.apply);
        QCOMPARE(d.reason, QStringLiteral("5 s buffered < 30 s"));

        d = decideRate(playing(17000, 100), &st);
        QVERIFY(!d.burst && d.apply);
        QCOMPARE(d.limit, 3000000);
        QCOMPARE(rateLogLine(d, 100, 0),
                 QStringLiteral("rate: throttle 3.0 MB/s (100 s buffered; file avg 1.50 MB/s)"));

        d = decideRate(playing(18000, 50), &st); // between the marks: keep throttling
        QVERIFY(!d.burst && !d.apply);
        QCOMPARE(d.limit, 3000000);

        d = decideRate(playing(19000, 29), &st);
        QVERIFY(d.burst && d.apply);
        QCOMPARE(rateLogLine(d, 29, 0), QStringLiteral("rate: burst, unlimited (29 s buffered < 30 s)"));

        d = decideRate(playing(20000, 60), &st); // between the marks: keep bursting
        QVERIFY(d.burst && !d.apply);
        QVERIFY(d.reason.isEmpty());

        // Low bit rates still get 2 MB/s.
        d = decideRate(playing(21000, 91, 100000), &st);
        QVERIFY(!d.burst && d.apply);
        QCOMPARE(d.limit, 2000000);

        // A seek while playing: unlimited for 10 s, whatever is buffered.
        RateInputs seek = playing(30000, 100);
        seek.stalled = true;
        d = decideRate(seek, &st);
        QVERIFY(d.burst && d.apply);
        QCOMPARE(d.reason, QStringLiteral("seek / stall / dub switch"));
        QVERIFY(decideRate(playing(39900, 100), &st).burst);
        QVERIFY(!decideRate(playing(40100, 100), &st).burst);
    }

    void rateHysteresisAndFileAverage()
    {
        RateState st;
        st.burst = false;
        st.appliedLimit = 4000000;
        QVERIFY(!decideRate(playing(100000, 100, 2200000), &st).apply); // 4.4: +10 %
        QCOMPARE(st.appliedLimit, 4000000);
        const RateDecision up = decideRate(playing(101000, 100, 2400000), &st); // 4.8: +20 %
        QVERIFY(up.apply);
        QCOMPARE(st.appliedLimit, 4800000);

        // The whole file's average counts once the duration is known to exceed 60 s.
        RateInputs in = playing(102000, 100, 1000000);
        in.servedBytes = 600000000;
        in.duration = 120;
        QCOMPARE(decideRate(in, &st).limit, 10000000);
        in.duration = 60;
        QCOMPARE(decideRate(in, &st).limit, 2000000);

        // cache-secs 20: low mark 6 s, high mark 15 s.
        in.cacheSecs = 20;
        in.buffered = 16;
        QVERIFY(!decideRate(in, &st).burst);
        in.buffered = 5;
        QCOMPARE(decideRate(in, &st).reason, QStringLiteral("5 s buffered < 6 s"));
    }

    void fixedLimitStillBursts()
    {
        RateState st;
        st.burst = false;
        RateInputs in = playing(100000, 100);
        in.maxDownKbps = 500;
        RateDecision d = decideRate(in, &st);
        QCOMPARE(d.limit, 500000);
        QCOMPARE(rateLogLine(d, 100, 500),
                 QStringLiteral(
                     "rate: throttle 0.5 MB/s (100 s buffered; file avg 1.50 MB/s, --max-down-kbps 500)"));
        in.buffered = 3;
        d = decideRate(in, &st);
        QVERIFY(d.apply);
        QCOMPARE(d.limit, 0);
    }

    void recycleWindow()
    {
        QList<qint64> times;
        QCOMPARE(noteRecycle(&times, 1000), 1);
        QCOMPARE(noteRecycle(&times, 60000), 2);
        QCOMPARE(noteRecycle(&times, 120000), 3);
        QCOMPARE(noteRecycle(&times, 181000), 4); // exactly 3 minutes old still counts
        times = {1000, 60000, 120000};
        QCOMPARE(noteRecycle(&times, 181001), 3);
        QCOMPARE(noteRecycle(&times, 181500), kRecyclesFailAt);
    }

    void budgetLoggingAndStorageErrors()
    {
        const qint64 cap = 4096 * MiB;
        QVERIFY(!budgetChangeWorthLogging(cap, cap - 64 * MiB));
        QVERIFY(budgetChangeWorthLogging(cap, cap - 65 * MiB));
        QVERIFY(!budgetChangeWorthLogging(cap, cap + 256 * MiB));
        QVERIFY(budgetChangeWorthLogging(cap, cap + 257 * MiB));

        disk::CacheBudget b = disk::cacheBudget(cap, 2147483647, 0, disk::kReserveBytes);
        QVERIFY(storageErrorIsLowDisk(false, b));
        b = disk::cacheBudget(cap, 2147483648LL, 0, disk::kReserveBytes);
        QVERIFY(!storageErrorIsLowDisk(false, b));
        QVERIFY(storageErrorIsLowDisk(true, b));
        b = disk::cacheBudget(cap, -1, 0, disk::kReserveBytes);
        QVERIFY(!storageErrorIsLowDisk(false, b));

        const QVariantMap unknown = lowDiskInfo(b, QStringLiteral("/tmp/c"));
        QCOMPARE(unknown.value(QStringLiteral("freeMB")).toLongLong(), -1LL);
        QCOMPARE(unknown.value(QStringLiteral("needMB")).toInt(), 2560);
    }
};

SVD_REGISTER_TEST(TestPolicies)

#include "tst_policies.moc"
