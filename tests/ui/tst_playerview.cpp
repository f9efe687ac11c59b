#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "tests/common/timescale.h"
#include "ui/playerview.h"
#include "ui/seekslider.h"
#include "video/mpvvideowindow.h"

#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

using namespace svd;

// The player view on a real headless player, without a torrent engine.
class TestPlayerView : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void keysAndFullscreen();
    void statusLine();
    void reattachConnectsOnce();
    void menusWithoutSources();
    void menuRebuildWaitsForOpenMenu();
    void barsStayWhileMouseRestsOnThem();
    void holesCutTheMask();
    void sliderClickLandsOnTarget();

private:
    MpvPlayer *m_player = nullptr;
    PlaybackController *m_controller = nullptr;
    PlayerView *m_view = nullptr;
};

void TestPlayerView::init()
{
    m_player = new MpvPlayer;
    MpvPlayer::InitOptions o;
    o.headless = true;
    QVERIFY(m_player->init(o, nullptr));
    m_controller = new PlaybackController(nullptr, nullptr, m_player, PlaybackOptions());
    m_view = new PlayerView;
    m_view->resize(900, 500);
    m_view->attach(m_player, m_controller);
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view));
}

void TestPlayerView::cleanup()
{
    delete m_view;
    delete m_controller;
    delete m_player;
}

void TestPlayerView::keysAndFullscreen()
{
    QSignalSpy fs(m_view, &PlayerView::fullscreenRequested);
    QVERIFY(m_view->handleKey(Qt::Key_Escape)); // handled, but nothing to leave
    QCOMPARE(fs.count(), 0);
    QVERIFY(m_view->handleKey(Qt::Key_F));
    QCOMPARE(fs.count(), 1);
    QCOMPARE(fs.takeFirst().at(0).toBool(), true);
    m_view->setFullscreen(true);
    QVERIFY(m_view->handleKey(Qt::Key_Escape));
    QCOMPARE(fs.takeFirst().at(0).toBool(), false);
    QVERIFY(m_view->handleKey(Qt::Key_F11));
    QCOMPARE(fs.takeFirst().at(0).toBool(), false);
    QVERIFY(!m_view->handleKey(Qt::Key_Q));
    m_view->setFullscreen(false);

    // Space toggles the player's pause property through the cache.
    QTRY_VERIFY(m_player->cachedProp(QStringLiteral("pause")).isValid());
    const bool paused = m_player->cachedProp(QStringLiteral("pause")).toBool();
    QVERIFY(m_view->handleKey(Qt::Key_Space));
    QTRY_COMPARE(m_player->cachedProp(QStringLiteral("pause")).toBool(), !paused);

    // Up/Down and the wheel over the video step the volume by 5 within 0-130,
    // however fast the steps come, and the slider follows.
    const auto volume = [this] { return qRound(m_player->cachedProp(QStringLiteral("volume")).toDouble()); };
    QTRY_COMPARE(volume(), 100);
    for (int i = 0; i < 3; ++i)
        QVERIFY(m_view->handleKey(Qt::Key_Up));
    QTRY_COMPARE(volume(), 115);
    for (int i = 0; i < 40; ++i)
        QVERIFY(m_view->handleKey(Qt::Key_Down));
    QTRY_COMPARE(volume(), 0);
    QCOMPARE(m_view->volumeSlider()->value(), 0);
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    if (m_view->videoWindow())
        QCoreApplication::sendEvent(m_view->videoWindow(), &wheel);
    else
        QCoreApplication::sendEvent(m_view->videoWidget(), &wheel);
    QTRY_COMPARE(volume(), 10);
    QCOMPARE(m_view->volumeSlider()->value(), 10);
    // Up and at once Down, before mpv reports the first step: back where it
    // started, in mpv and the slider; a change from elsewhere still moves it.
    QVERIFY(m_view->handleKey(Qt::Key_Up));
    QVERIFY(m_view->handleKey(Qt::Key_Down));
    QTest::qWait(svd::test::waitMs(300));
    QCOMPARE(m_player->getProp(QStringLiteral("volume")).toDouble(), 10.0);
    QCOMPARE(volume(), 10);
    QCOMPARE(m_view->volumeSlider()->value(), 10);
    m_player->setProp(QStringLiteral("volume"), 55.0);
    QTRY_COMPARE(m_view->volumeSlider()->value(), 55);

    // Without a player nothing is handled.
    PlayerView bare;
    QVERIFY(!bare.handleKey(Qt::Key_F));
}

void TestPlayerView::statusLine()
{
    PlayerStats s;
    s.state = QStringLiteral("playing");
    s.downloadRate = 1000000;
    m_view->onStats(s);
    QCOMPARE(m_view->statusLabel()->text(), QStringLiteral("▶  ·  1.0 МБ/с"));
    QCOMPARE(m_view->statusLabel()->toolTip(), m_view->statusLabel()->text());
    s.state = QStringLiteral("buffering");
    s.cacheBuffering = 42.9;
    s.downloadRate = 999999;
    m_view->onStats(s);
    QCOMPARE(m_view->statusLabel()->text(), QStringLiteral("Буферизация 42%  ·  1000 КБ/с"));
    s.state = QStringLiteral("failed");
    s.message = QStringLiteral("low-disk-space: 120 MB free");
    m_view->onStats(s);
    QCOMPARE(m_view->statusLabel()->text(), QStringLiteral("Серия недоступна: мало свободного места на диске"));
    s.state = QStringLiteral("connecting");
    s.sourceSeconds = 7.6;
    s.bufferedRanges = {{1, 2}};
    m_view->onStats(s);
    QCOMPARE(m_view->statusLabel()->text(), QStringLiteral("Подключение… 7 с  ·  1000 КБ/с"));
    QCOMPARE(m_view->seekSlider()->buffered().size(), 1);

    // A failure reported through the state signal reads the same.
    emit m_controller->stateChanged(PlaybackController::Failed, QStringLiteral("storage-error: disk full"));
    QCOMPARE(m_view->statusLabel()->text(), QStringLiteral("Серия недоступна: не удалось записать видео на диск"));

    emit m_controller->episodeChanged(5, 1, QString());
    QCOMPARE(m_view->titleLabel()->text(), QStringLiteral("Серия 1"));
    QVERIFY(!m_view->prevButton()->isEnabled());
    emit m_controller->episodeChanged(5, 3, QStringLiteral("Тест %1"));
    QCOMPARE(m_view->titleLabel()->text(), QStringLiteral("Тест %1 — серия 3"));
    QVERIFY(m_view->prevButton()->isEnabled());
}

void TestPlayerView::reattachConnectsOnce()
{
    // As after a shut-down player is made again: a new controller on the same view.
    delete m_controller;
    m_controller = new PlaybackController(nullptr, nullptr, m_player, PlaybackOptions());
    m_view->attach(m_player, m_controller);
    m_controller->play(5, 2, QString(), QString());
    QSignalSpy episodes(m_controller, &PlaybackController::episodeChanged);
    m_view->nextButton()->click();
    QCOMPARE(episodes.count(), 1);
    QCOMPARE(episodes.first().at(1).toInt(), 3);
    QCOMPARE(m_view->titleLabel()->text(), QStringLiteral("Серия 3"));
}

void TestPlayerView::menusWithoutSources()
{
    m_view->rebuildMenus();
    QCOMPARE(m_view->subMenu()->actions().size(), 1);
    QCOMPARE(m_view->subMenu()->actions().first()->text(), QStringLiteral("Выключены"));
    QVERIFY(m_view->subMenu()->actions().first()->isChecked());
    QVERIFY(!m_view->subButton()->isEnabled());
    QVERIFY(!m_view->dubButton()->isEnabled());
    QCOMPARE(m_view->dubButton()->text(), QStringLiteral("Озвучка"));
}

void TestPlayerView::menuRebuildWaitsForOpenMenu()
{
    m_view->rebuildMenus();
    m_view->subMenu()->popup(m_view->mapToGlobal(QPoint(20, 20)));
    QTRY_VERIFY(m_view->subMenu()->isVisible());
    QAction *before = m_view->subMenu()->actions().first();
    m_view->requestMenuRebuild();
    QVERIFY(m_view->menuRebuildPending());
    QCOMPARE(m_view->subMenu()->actions().first(), before); // untouched while open
    m_view->subMenu()->hide();
    QTRY_VERIFY(!m_view->menuRebuildPending());

    // Inline mode has no track menus: nothing is rebuilt or marked.
    m_view->setInlineMode(true);
    m_view->requestMenuRebuild();
    QVERIFY(!m_view->menuRebuildPending());
    QVERIFY(!m_view->topBar()->isVisible());
    QVERIFY(!m_view->dubButton()->isVisible());
}

void TestPlayerView::barsStayWhileMouseRestsOnThem()
{
    QWidget *bottom = m_view->bottomBar();
    QCursor::setPos(bottom->mapToGlobal(bottom->rect().center()));
    m_view->setFullscreen(true);
    QTest::qWait(3200);
    QVERIFY(bottom->isVisible());
    QVERIFY(m_view->topBar()->isVisible());

    // Resting over the video hides both bars.
    QCursor::setPos(m_view->videoWidget()->mapToGlobal(m_view->videoWidget()->rect().center()));
    QTRY_VERIFY_WITH_TIMEOUT(!bottom->isVisible(), svd::test::waitMs(6000));
    QVERIFY(!m_view->topBar()->isVisible());
    // The pointer over the video hides with them, on the native video window too.
    const auto pointerShapes = [this] {
        QList<Qt::CursorShape> shapes{m_view->videoWidget()->cursor().shape()};
        if (m_view->videoWindow())
            shapes << m_view->videoWindow()->cursor().shape();
        return shapes;
    };
    QVERIFY(!pointerShapes().contains(Qt::ArrowCursor));
    // Moving brings them back.
    QCursor::setPos(QCursor::pos() + QPoint(5, 5));
    QTRY_VERIFY_WITH_TIMEOUT(bottom->isVisible(), svd::test::waitMs(3000));
    QVERIFY(!pointerShapes().contains(Qt::BlankCursor));
    m_view->setFullscreen(false);
}

void TestPlayerView::holesCutTheMask()
{
    const QRect hole(100, 100, 50, 40);
    QVERIFY(m_view->setHoles(QRegion(hole)));
    QVERIFY(!m_view->mask().contains(hole.center()));
    QVERIFY(m_view->mask().contains(QPoint(10, 10)));
    QVERIFY(!m_view->videoWidget()->mask().isEmpty());

    // Covering everything never leaves an empty mask (which would show all).
    QVERIFY(m_view->setHoles(QRegion(m_view->rect().adjusted(-5, -5, 5, 5))));
    QCOMPARE(m_view->mask(), QRegion(-2, -2, 1, 1));

    QVERIFY(m_view->setHoles(QRegion()));
    QVERIFY(m_view->mask().isEmpty());
    QVERIFY(m_view->videoWidget()->mask().isEmpty());
}

// A click on the slider resumes at its target even where the keyframe before it is 9 s
// earlier (keyframes every 10 s, as in many real encodes).
void TestPlayerView::sliderClickLandsOnTarget()
{
    QTemporaryDir dir;
    const QString clip = dir.filePath(QStringLiteral("sparse.mkv"));
    QProcess ff;
    ff.start(QStringLiteral("ffmpeg"),
             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"),
              QStringLiteral("-i"), QStringLiteral("testsrc2=size=320x180:rate=24:duration=40"),
              QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"),
              QStringLiteral("ultrafast"), QStringLiteral("-g"), QStringLiteral("240"),
              QStringLiteral("-sc_threshold"), QStringLiteral("0"), clip});
    QVERIFY2(ff.waitForFinished(60000) && ff.exitCode() == 0, ff.readAllStandardError().constData());
    QSignalSpy restarts(m_player, &MpvPlayer::playbackRestart);
    m_player->setProp(QStringLiteral("pause"), true);
    m_player->loadFile(clip, {});
    QVERIFY(restarts.wait(svd::test::waitMs(15000)));

    // A click on the groove is a page step to 47.5 %: 19 s, the keyframes are at 10 and 20 s.
    SeekSlider *slider = m_view->seekSlider();
    slider->setValue(0);
    slider->setPageStep(4750);
    slider->triggerAction(QAbstractSlider::SliderPageStepAdd);
    QVERIFY(restarts.wait(svd::test::waitMs(10000)));
    const double landed = m_player->getProp(QStringLiteral("time-pos")).toDouble();
    qInfo("a click at 47.5 %% of 40 s landed at %.2f s", landed);
    QVERIFY2(qAbs(landed - 19) < 1, qPrintable(QString::number(landed)));
}

#include "tst_playerview.moc"
QObject *makeTestPlayerView() { return new TestPlayerView; }
