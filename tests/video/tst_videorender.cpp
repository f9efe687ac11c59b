#include "player/mpvplayer.h"
#include "tests/common/timescale.h"
#include "tests/video/testsupport.h"
#include "video/mpvglwidget.h"
#include "video/mpvvideowindow.h"

#include <QKeyEvent>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

using namespace svd;

namespace {

std::unique_ptr<MpvPlayer> renderPlayer()
{
    auto p = std::make_unique<MpvPlayer>();
    MpvPlayer::InitOptions o;
    o.renderApi = true;
    o.logFile = qEnvironmentVariable("SVD_TEST_MPV_LOG");
    if (!p->init(o, nullptr))
        return nullptr;
    p->setProp(QStringLiteral("ao"), QStringLiteral("null"));
    // On a loaded machine a check may come after the clip's end; looping keeps
    // the position moving so "time advances" stays a question about the output.
    p->setProp(QStringLiteral("loop-file"), QStringLiteral("inf"));
    return p;
}

double timePos(MpvPlayer &p)
{
    return p.getProp(QStringLiteral("time-pos")).toDouble();
}

bool upright(const QImage &image, QString *why)
{
    return test::isUprightRedOverBlue(image, why);
}

void useRenderThread(bool on)
{
    if (on)
        qputenv("SVD_VIDEO_RENDER_THREAD", "1");
    else
        qunsetenv("SVD_VIDEO_RENDER_THREAD");
}

const QRegularExpression kWindowStats(QStringLiteral(
    R"(video: window render \d+ s: (\d+) frames shown, (\d+) consumed hidden; render( \(incl\. waiting for the )"
    R"(frame's display time\))? avg \d+\.\d\d ms max \d+\.\d, swap avg \d+\.\d\d ms max \d+\.\d \((GUI thread|render thread)\))"));

} // namespace

class TestVideoRender : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(!test::colourClip().isEmpty()); }
    void cleanup() { qunsetenv("SVD_VIDEO_RENDER_THREAD"); }

    void renderThreadSwitch();
    void windowPlaysUpright_data();
    void windowPlaysUpright();
    void hiddenWindowConsumesFrames_data();
    void hiddenWindowConsumesFrames();
    void windowInput();
    void glWidgetPlaysUpright();
    void glWidgetWithoutPlayer();
};

void TestVideoRender::renderThreadSwitch()
{
    QVERIFY(MpvVideoWindow::renderThreadRequested("1"));
    QVERIFY(MpvVideoWindow::renderThreadRequested(" -2 "));
    QVERIFY(!MpvVideoWindow::renderThreadRequested("0"));
    QVERIFY(!MpvVideoWindow::renderThreadRequested("yes"));
    QVERIFY(!MpvVideoWindow::renderThreadRequested(""));
    useRenderThread(true);
    QVERIFY(MpvVideoWindow().usesRenderThread());
    useRenderThread(false);
    QVERIFY(!MpvVideoWindow().usesRenderThread());

    // No player, or one that never started, gives no renderer.
    MpvVideoWindow w;
    QVERIFY(!w.setPlayer(nullptr));
    MpvPlayer notStarted;
    QVERIFY(!w.setPlayer(&notStarted));
    QVERIFY(!w.hasRenderContext());
    QVERIFY(w.grabNextFrame(10).isNull());
}

void TestVideoRender::windowPlaysUpright_data()
{
    QTest::addColumn<bool>("thread");
    QTest::newRow("gui-thread") << false;
    QTest::newRow("render-thread") << true;
}

void TestVideoRender::windowPlaysUpright()
{
    QFETCH(bool, thread);
    useRenderThread(thread);
    const QString label = thread ? QStringLiteral("render thread") : QStringLiteral("GUI thread");
    auto player = renderPlayer();
    QVERIFY(player);

    MpvVideoWindow w;
    QCOMPARE(w.usesRenderThread(), thread);
    w.resize(320, 240);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    test::LogMark mark;
    QVERIFY(w.setPlayer(player.get()));
    QVERIFY(w.hasRenderContext());
    QVERIFY(w.glInfo().contains(QStringLiteral(" profile ")));
    QVERIFY(mark.contains(QStringLiteral("video: mpv render context created (OpenGL, window mode, %1)").arg(label)));

    player->loadFile(test::colourClip(), {});
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > 0.5, svd::test::waitMs(30000));
    QImage frame;
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(upright(frame = w.grabNextFrame(3000), &why), qPrintable(why),
                              svd::test::waitMs(20000));
    QCOMPARE(frame.size(), w.pixelSize());

    // Attaching again replaces the renderer: the old render context is freed
    // (its statistics logged) and playback goes on through the new one.
    QVERIFY(w.setPlayer(player.get()));
    QTRY_VERIFY(mark.contains(QStringLiteral("mpv: re-selecting video track 1 for a new render context")));
    const auto stats = kWindowStats.match(mark.text());
    QVERIFY2(stats.hasMatch(), qPrintable(mark.text()));
    QVERIFY(stats.captured(1).toInt() > 0);
    QCOMPARE(stats.captured(4), label);
    QCOMPARE(stats.captured(3).isEmpty(), !thread);
    double pos = timePos(*player);
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > pos + 0.5, svd::test::waitMs(20000));
    QTRY_VERIFY2_WITH_TIMEOUT(upright(frame = w.grabNextFrame(3000), &why), qPrintable(why),
                              svd::test::waitMs(20000));

    // The native window going away stops the renderer before anything draws
    // into it; a new one brings the picture back.
    w.destroy();
    QVERIFY(!w.hasRenderContext());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_VERIFY(w.hasRenderContext());
    pos = timePos(*player);
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > pos + 0.5, svd::test::waitMs(20000));
    QTRY_VERIFY2_WITH_TIMEOUT(upright(frame = w.grabNextFrame(3000), &why), qPrintable(why),
                              svd::test::waitMs(20000));

    // The player frees the render context before its handle goes away.
    player->destroy();
    QVERIFY(!w.hasRenderContext());
    if (thread)
        QVERIFY(mark.contains(QStringLiteral("video: window mode render thread stopped")));
    QVERIFY(w.grabNextFrame(100).isNull());
}

void TestVideoRender::hiddenWindowConsumesFrames_data()
{
    windowPlaysUpright_data();
}

void TestVideoRender::hiddenWindowConsumesFrames()
{
    QFETCH(bool, thread);
    useRenderThread(thread);
    auto player = renderPlayer();
    QVERIFY(player);
    MpvVideoWindow w;
    w.resize(320, 240);
    test::LogMark mark;
    QVERIFY(w.setPlayer(player.get()));
    QVERIFY(!w.isExposed());

    // Nothing is drawn, yet the picture keeps moving: frames are consumed.
    player->loadFile(test::colourClip(), {});
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > 1.5, svd::test::waitMs(30000));
    QVERIFY(w.grabNextFrame(200).isNull());
    w.stopRenderer();
    const auto stats = kWindowStats.match(mark.text());
    QVERIFY2(stats.hasMatch(), qPrintable(mark.text()));
    QCOMPARE(stats.captured(1).toInt(), 0);
    QVERIFY(stats.captured(2).toInt() > 10);
}

void TestVideoRender::windowInput()
{
    MpvVideoWindow w;
    w.resize(200, 100);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QSignalSpy pressed(&w, &MpvVideoWindow::pressed);
    qRegisterMetaType<QKeyEvent *>();
    QSignalSpy keys(&w, &MpvVideoWindow::keyPressed);
    QTest::mouseClick(&w, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseClick(&w, Qt::RightButton, {}, QPoint(10, 10));
    QTest::mouseDClick(&w, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::keyClick(&w, Qt::Key_Space);
    QVERIFY(pressed.size() >= 2);
    QCOMPARE(pressed.first().at(0).toBool(), false);
    QCOMPARE(pressed.last().at(0).toBool(), true);
    QCOMPARE(keys.size(), 1);
}

void TestVideoRender::glWidgetPlaysUpright()
{
    auto player = renderPlayer();
    QVERIFY(player);
    QWidget top;
    auto *layout = new QVBoxLayout(&top);
    auto *gl = new MpvGlWidget;
    layout->addWidget(gl);
    top.resize(400, 300);
    top.show();
    QVERIFY(QTest::qWaitForWindowExposed(&top));

    test::LogMark mark;
    QVERIFY(gl->setPlayer(player.get()));
    QVERIFY(gl->hasRenderContext());
    QVERIFY(mark.contains(QStringLiteral("video: mpv render context created (OpenGL)")));
    player->loadFile(test::colourClip(), {});
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > 0.5, svd::test::waitMs(30000));
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(upright(gl->grabFramebuffer(), &why), qPrintable(why),
                              svd::test::waitMs(20000));

    // Hidden, the widget keeps mpv's frame queue moving without painting.
    gl->hide();
    double pos = timePos(*player);
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > pos + 1.0, svd::test::waitMs(20000));
    gl->show();

    // Moving to another top-level window destroys the OpenGL context; the new
    // one gets a new render context and the video track is sent again.
    QWidget other;
    auto *otherLayout = new QVBoxLayout(&other);
    otherLayout->addWidget(gl);
    other.resize(400, 300);
    other.show();
    gl->show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    QTRY_VERIFY2_WITH_TIMEOUT(
        mark.contains(QStringLiteral("mpv: re-selecting video track 1 for a new render context")),
        qPrintable(mark.text()), svd::test::waitMs(20000));
    QVERIFY(gl->hasRenderContext());
    pos = timePos(*player);
    QTRY_VERIFY_WITH_TIMEOUT(timePos(*player) > pos + 0.5, svd::test::waitMs(20000));
    QTRY_VERIFY2_WITH_TIMEOUT(upright(gl->grabFramebuffer(), &why), qPrintable(why),
                              svd::test::waitMs(20000));

    player->destroy();
    QVERIFY(!gl->hasRenderContext());
    // Without a render context it paints black.
    const QImage black = gl->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(black.pixel(black.width() / 2, black.height() / 2) & 0xffffff, 0u);
}

void TestVideoRender::glWidgetWithoutPlayer()
{
    MpvGlWidget gl;
    QVERIFY(!gl.setPlayer(nullptr));
    MpvPlayer notStarted;
    QVERIFY(!gl.setPlayer(&notStarted));
    gl.resize(320, 180);
    gl.show();
    QVERIFY(QTest::qWaitForWindowExposed(&gl));
    const QImage img = gl.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    QVERIFY(!img.isNull());
    QCOMPARE(img.pixel(img.width() / 2, img.height() / 2) & 0xffffff, 0u);
}

int runVideoRenderTests(int argc, char **argv)
{
    TestVideoRender t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_videorender.moc"
