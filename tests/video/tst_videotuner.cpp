#include "player/mpvplayer.h"
#include "tests/common/timescale.h"
#include "tests/video/testsupport.h"
#include "video/videotuner.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTest>

using namespace svd;

namespace {

const QString kLevelKey = QStringLiteral("video/level");

// Feeds `seconds` advancing seconds with drops growing by `perSecond`; returns
// the verdicts in the order they came.
QList<double> playSeconds(DropWindow &w, double &pos, qint64 &drops, int seconds, qint64 perSecond, double fps)
{
    QList<double> verdicts;
    for (int i = 0; i < seconds; ++i) {
        pos += 1.0;
        drops += perSecond;
        if (w.position(false, pos) == DropWindow::Second::Advanced) {
            if (const auto v = w.measure(drops, fps))
                verdicts << *v;
        }
    }
    return verdicts;
}

bool startHeadless(MpvPlayer &player)
{
    MpvPlayer::InitOptions o;
    o.headless = true;
    return player.init(o, nullptr);
}

} // namespace

class TestVideoTuner : public QObject {
    Q_OBJECT
private slots:
    void init() { QSettings().remove(kLevelKey); }
    void cleanup() { QSettings().remove(kLevelKey); }

    void tables();
    void dropWindow();
    void dropWindowInterruptions();
    void startLevel();
    void stepDownWithPlayer();
    void reportsWhilePlaying();
};

void TestVideoTuner::tables()
{
    QCOMPARE(VideoTuner::levelName(0), QStringLiteral("default"));
    QCOMPARE(VideoTuner::levelName(2), QStringLiteral("fast+hwdec-copy"));
    QCOMPARE(VideoTuner::levelName(3), QStringLiteral("fast+software-decode"));
    QCOMPARE(VideoTuner::levelName(4), QString());
    QCOMPARE(VideoTuner::levelName(-1), QString());

    // A broken container rate falls back to the estimate, a broken estimate to 24.
    QCOMPARE(pickFramesPerSecond(0, 1000), 24.0);
    QCOMPARE(pickFramesPerSecond(23.976, 1000), 23.976);
    QCOMPARE(pickFramesPerSecond(400, 30), 30.0);
    QCOMPARE(pickFramesPerSecond(4.9, 4.9), 24.0);

    QCOMPARE(displayHzText(59.94, 75), QStringLiteral("59.9 Hz"));
    QCOMPARE(displayHzText(0, 60), QStringLiteral("60 Hz (screen)"));
    QCOMPARE(displayHzText(-1, 0), QStringLiteral("? Hz"));

    // Level 1 without hardware decoding skips copy-back decoding.
    QCOMPARE(nextLevelAfterDrops(1, QStringLiteral("vaapi")), 2);
    QCOMPARE(nextLevelAfterDrops(1, QStringLiteral("no")), 3);
    QCOMPARE(nextLevelAfterDrops(1, QString()), 2);
    QCOMPARE(nextLevelAfterDrops(0, QStringLiteral("no")), 1);
    QCOMPARE(nextLevelAfterDrops(2, QStringLiteral("vaapi")), 3);
}

void TestVideoTuner::dropWindow()
{
    DropWindow w;
    w.restart(10);
    double pos = 0;
    qint64 drops = 0;
    QVERIFY(w.position(false, pos) == DropWindow::Second::Interrupted); // no earlier position
    // 10 settle seconds, one baseline second, then a 10 s window: 3 drops a
    // second at 24 fps is 30 in 10 s, 12.5 %.
    QCOMPARE(playSeconds(w, pos, drops, 20, 3, 24), QList<double>());
    QCOMPARE(playSeconds(w, pos, drops, 1, 3, 24), QList<double>{12.5});
    // The next window starts at once from the new baseline; 120 of 2400 is exactly 5 %.
    QCOMPARE(playSeconds(w, pos, drops, 10, 12, 240), QList<double>{5.0});

    // A second in which the picture moved 0.3 s or less is not measured.
    QVERIFY(w.position(false, pos + 0.25) == DropWindow::Second::Still);
    QVERIFY(w.position(false, pos + 1.5) == DropWindow::Second::Advanced);
}

void TestVideoTuner::dropWindowInterruptions()
{
    DropWindow w;
    w.restart(0);
    double pos = 10;
    qint64 drops = 0;
    w.position(false, pos);
    QCOMPARE(playSeconds(w, pos, drops, 6, 5, 25), QList<double>());
    // A seek (or a cache pause) throws the half-measured window away and waits
    // at least 3 quiet seconds before taking a new baseline.
    QVERIFY(w.position(true, 100) == DropWindow::Second::Interrupted);
    QCOMPARE(w.settle(), 3);
    pos = 100;
    QCOMPARE(playSeconds(w, pos, drops, 3 + 1 + 9, 5, 25), QList<double>());
    QCOMPARE(playSeconds(w, pos, drops, 1, 5, 25), QList<double>{20.0});
    // An unknown position counts as an interruption too.
    QVERIFY(w.position(false, -1) == DropWindow::Second::Interrupted);
    QVERIFY(w.position(false, 5) == DropWindow::Second::Interrupted);
    // A longer settle is not shortened by an interruption.
    w.setSettle(60);
    w.position(true, 5);
    QCOMPARE(w.settle(), 60);
}

void TestVideoTuner::startLevel()
{
    MpvPlayer player;
    QVERIFY(startHeadless(player));

    {
        test::LogMark mark;
        VideoTuner t(&player, -1);
        t.init();
        QCOMPARE(t.level(), 1);
        QVERIFY2(mark.contains(QStringLiteral("video: renderer level 1 (fast), default\n")), qPrintable(mark.text()));
        QCOMPARE(player.getProp(QStringLiteral("deband")).toBool(), false);
        QCOMPARE(player.getProp(QStringLiteral("hwdec")).toString(), QStringLiteral("auto-safe"));
        // The cheap scalers take effect whether or not this mpv knows the profile.
        QCOMPARE(player.getProp(QStringLiteral("scale")).toString(), QStringLiteral("bilinear"));
        QVERIFY2(!mark.contains(QStringLiteral("failed")), qPrintable(mark.text()));
    }
    {
        QSettings().setValue(kLevelKey, 2);
        test::LogMark mark;
        VideoTuner t(&player, -1);
        t.init();
        QCOMPARE(t.level(), 2);
        QVERIFY(mark.contains(QStringLiteral("video: renderer level 2 (fast+hwdec-copy), remembered from an earlier run")));
        QCOMPARE(player.getProp(QStringLiteral("hwdec")).toString(), QStringLiteral("auto-copy-safe"));
    }
    {
        // A stored level out of range is clamped; a forced level above 3 runs as 3.
        QSettings().setValue(kLevelKey, 9);
        VideoTuner a(&player, -1);
        a.init();
        QCOMPARE(a.level(), 3);
        test::LogMark mark;
        VideoTuner t(&player, 7);
        t.init();
        QCOMPARE(t.level(), 3);
        QVERIFY(mark.contains(QStringLiteral("video: renderer level 3 (fast+software-decode), forced by --video-level")));
        QCOMPARE(player.getProp(QStringLiteral("hwdec")).toString(), QStringLiteral("no"));
        QCOMPARE(player.getProp(QStringLiteral("framedrop")).toString(), QStringLiteral("decoder+vo"));
        QCOMPARE(player.getProp(QStringLiteral("vd-lavc-skiploopfilter")).toString(), QStringLiteral("all"));
        QCOMPARE(player.getProp(QStringLiteral("vd-lavc-fast")).toBool(), true);
    }
}

void TestVideoTuner::stepDownWithPlayer()
{
    const QString clip = test::colourClip();
    QVERIFY(!clip.isEmpty());
    MpvPlayer player;
    QVERIFY(startHeadless(player));

    // Nothing loaded: no decoder to ask, so one level down.
    VideoTuner idle(&player, -1);
    idle.init();
    idle.stepDown(7.25);
    QCOMPARE(idle.level(), 2);
    QCOMPARE(QSettings().value(kLevelKey).toInt(), 2);
    QSettings().remove(kLevelKey);

    player.loadFile(clip, {});
    QTRY_VERIFY_WITH_TIMEOUT(player.getProp(QStringLiteral("hwdec-current")).toString() ==
                                 QLatin1String("no"),
                             svd::test::waitMs(15000));
    QTRY_VERIFY_WITH_TIMEOUT(player.getProp(QStringLiteral("vid")).toLongLong() > 0,
                             svd::test::waitMs(15000));

    VideoTuner t(&player, -1);
    t.init();
    test::LogMark mark;
    t.stepDown(12.5);
    QCOMPARE(t.level(), 3);
    QCOMPARE(QSettings().value(kLevelKey).toInt(), 3);
    QVERIFY2(mark.contains(QStringLiteral(
                 "video: 12.5% of frames dropped over 10 s at level 1 (fast) -> level 3 (fast+software-decode)")),
             qPrintable(mark.text()));
    QVERIFY(mark.contains(QStringLiteral("mpv: re-selecting video track 1 for a new render context")));
    QCOMPARE(player.getProp(QStringLiteral("hwdec")).toString(), QStringLiteral("no"));

    // At the bottom the level stays and the verdict waits a minute.
    t.stepDown(30);
    QCOMPARE(t.level(), 3);
    QVERIFY(mark.contains(QStringLiteral(
        "video: 30.0% of frames dropped over 10 s at level 3 (fast+software-decode); already the lowest level")));

    VideoTuner forced(&player, 0);
    forced.init();
    forced.stepDown(50);
    QCOMPARE(forced.level(), 0);
    QVERIFY(mark.contains(QStringLiteral("at level 0 (default); level forced, not changing")));
    QCOMPARE(QSettings().value(kLevelKey).toInt(), 3);
}

void TestVideoTuner::reportsWhilePlaying()
{
    const QString clip = test::colourClip();
    QVERIFY(!clip.isEmpty());
    MpvPlayer player;
    QVERIFY(startHeadless(player));
    VideoTuner t(&player, -1);
    t.setScreenRefreshRate(60);
    t.init();
    test::LogMark mark;
    player.loadFile(clip, {});
    QTRY_VERIFY_WITH_TIMEOUT(player.getProp(QStringLiteral("time-pos")).toDouble() > 0.1,
                             svd::test::waitMs(15000));
    t.onPlaybackStarted();
    QVERIFY(t.isPlaying());

    // The pipeline is described once, in the third second.
    QTRY_VERIFY_WITH_TIMEOUT(mark.contains(QStringLiteral("video: vo ")), svd::test::waitMs(10000));
    const QString text = mark.text();
    QVERIFY2(text.contains(QStringLiteral("hwdec no, mpeg4 yuv420p 320x240 @ 25.000 fps, display 60 Hz (screen), "
                                          "level 1 (fast)")),
             qPrintable(text));

    // More than 4 measured seconds give a drop report when playback stops. How many frames a
    // loaded machine drops is a benchmark figure, not something to assert: only the shape.
    QTRY_VERIFY_WITH_TIMEOUT(player.getProp(QStringLiteral("time-pos")).toDouble() > 7.5,
                             svd::test::waitMs(15000));
    t.onStopped();
    QVERIFY(!t.isPlaying());
    QVERIFY2(mark.text().contains(QRegularExpression(QStringLiteral(
                 R"(video: [5-9] s playing: dropped \d+ \(\d+\.\d% of ~\d+; totals vo \d+ dec \d+\), )"
                 R"(avsync -?\d+\.\d{3} s, vf-fps \d+\.\d\d, display 60 Hz \(screen\), level [1-3])"))),
             qPrintable(mark.text()));
}

int runVideoTunerTests(int argc, char **argv)
{
    TestVideoTuner t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_videotuner.moc"
