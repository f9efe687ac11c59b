#include "diag/smoke.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "torrent/torrentengine.h"
#include "video/mpvglwidget.h"
#include "video/mpvvideowindow.h"
#include "video/videooutput.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QSet>
#include <QSurfaceFormat>
#include <QThread>
#include <QVBoxLayout>
#include <QWebEngineView>

namespace svd {

namespace {

bool isRed(QColor c)
{
    return c.red() > 160 && c.green() < 100 && c.blue() < 100;
}

bool isBlue(QColor c)
{
    return c.blue() > 160 && c.red() < 100 && c.green() < 100;
}

// Processes events in short slices until `done` or the deadline (ms on `clock`).
template <typename Done> void pumpUntil(const QElapsedTimer &clock, qint64 deadlineMs, Done done)
{
    while (!done() && clock.elapsed() < deadlineMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

QString sibling(const QString &png, const QString &suffix)
{
    const QFileInfo fi(png);
    return fi.dir().filePath(fi.completeBaseName() + suffix);
}

// The video box over the page: the video in the chosen output, a control bar
// (a Qt widget) under it.
struct VideoBox {
    QWidget *box = nullptr;
    MpvVideoWindow *videoWindow = nullptr;
    MpvGlWidget *glWidget = nullptr;
    QWidget *widBox = nullptr;
};

VideoBox buildVideoBox(QWidget *web, VideoMode mode)
{
    VideoBox v;
    v.box = new QWidget(web);
    QWidget *box = v.box;
    box->setGeometry(40, 40, 640, 396);
    box->setStyleSheet(QStringLiteral("background:#000;"));
    if (mode != VideoMode::GlWidget)
        box->setAttribute(Qt::WA_NativeWindow);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (mode == VideoMode::Window) {
        v.videoWindow = new MpvVideoWindow;
        layout->addWidget(QWidget::createWindowContainer(v.videoWindow, box), 1);
    } else if (mode == VideoMode::GlWidget) {
        v.glWidget = new MpvGlWidget(box);
        layout->addWidget(v.glWidget, 1);
    } else {
        v.widBox = new QWidget(box);
        v.widBox->setAttribute(Qt::WA_NativeWindow);
        layout->addWidget(v.widBox, 1);
    }
    auto *bar = new QLabel(QStringLiteral("  control bar (Qt widget below the video)"), box);
    bar->setFixedHeight(36);
    bar->setStyleSheet(QStringLiteral("background:#111318;color:#e6e6e6;"));
    layout->addWidget(bar);
    return v;
}

// The video's frame as the output composes it, where the output can give one.
QImage grabVideoFrame(MpvGlWidget *glWidget, MpvVideoWindow *videoWindow, QString *source, QString *gl)
{
    QImage frame;
    if (glWidget) {
        frame = glWidget->grabFramebuffer();
        *source = QStringLiteral("QOpenGLWidget FBO as composed (grabFramebuffer)");
        *gl = glWidget->glInfo();
    } else if (videoWindow) {
        frame = videoWindow->grabNextFrame(3000);
        *source = QStringLiteral("window default framebuffer before swap");
        *gl = videoWindow->glInfo();
    } else {
        *source = QStringLiteral("not available (wid: mpv's own window)");
    }
    return frame;
}

// What the display shows of the video box, from a capture of the screen; only a
// capture that shows the page counts.
QString displayOrientation(const QMainWindow &window, const QWidget *web, const QWidget *box,
                           const QString &screenshot)
{
    QString display;
    QScreen *screen = window.screen();
    const QImage capture = screen ? screen->grabWindow(window.winId()).toImage() : QImage();
    if (capture.isNull()) {
        display = QStringLiteral("not available (no screen capture on this machine)");
    } else {
        const double scale = double(capture.width()) / qMax(1, window.width());
        const QPoint webPos = web->mapTo(&window, QPoint(0, 0));
        const QPoint probe = ((webPos + QPoint(900, 560)) * scale);
        const QColor c = capture.valid(probe) ? capture.pixelColor(probe) : QColor();
        const bool pageShown = c.isValid() && qAbs(c.red() - 29) <= 23 && qAbs(c.green() - 78) <= 23 &&
                               qAbs(c.blue() - 216) <= 23;
        if (!pageShown) {
            display = QStringLiteral("not available (screen capture shows %1, not the page: no permission / no "
                                     "real display)")
                          .arg(c.name());
        } else {
            capture.save(sibling(screenshot, QStringLiteral("-screen.png")));
            const QRect videoArea(box->mapTo(&window, QPoint(0, 0)) * scale,
                                  QSize(640, 360) * scale);
            display = pictureOrientation(capture, videoArea);
        }
    }
    return display;
}

// The exit code: 0 when the page loaded and the video played upright (or its
// orientation could not be told), 9 upside down, 6 otherwise.
int smokeVerdict(bool loadOk, bool videoOk, const QString &frameOrientation, const QString &display)
{
    const bool upside = frameOrientation.startsWith(QLatin1String("UPSIDE")) ||
                        display.startsWith(QLatin1String("UPSIDE"));
    const bool pass = loadOk && videoOk && !upside;
    const QString orientation = upside ? QStringLiteral("WRONG")
                                : (frameOrientation == QLatin1String("upright") || display == QLatin1String("upright"))
                                    ? QStringLiteral("upright")
                                    : QStringLiteral("NOT VERIFIED");
    logLine(QStringLiteral("smoke-ui: %1 (page %2, video %3, orientation %4)")
                .arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"),
                     loadOk ? QStringLiteral("ok") : QStringLiteral("FAILED"),
                     videoOk ? QStringLiteral("ok") : QStringLiteral("FAILED"), orientation));
    if (pass)
        return 0;
    return upside ? 9 : 6;
}

int runUi(const SmokeOptions &o, const QElapsedTimer &clock)
{
    const VideoMode mode = videoOutput().mode;
    logLine(QStringLiteral("smoke-ui: ") + videoOutput().describe());

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Sorvanta smoke"));
    window.resize(960, 600);
    auto *web = new QWebEngineView(&window);
    window.setCentralWidget(web);
    bool loaded = false, loadOk = false;
    QObject::connect(web, &QWebEngineView::loadFinished, web, [&](bool ok) {
        loaded = true;
        loadOk = ok;
    });
    web->setHtml(QStringLiteral("<html><body style='margin:0;background:#1d4ed8;color:#fff;font:22px "
                                "sans-serif'><div style='position:absolute;left:40px;top:470px'>Sorvanta smoke: "
                                "QWebEngineView (local HTML)</div></body></html>"));

    const VideoBox stage = buildVideoBox(web, mode);
    QWidget *box = stage.box;
    MpvVideoWindow *videoWindow = stage.videoWindow;
    MpvGlWidget *glWidget = stage.glWidget;
    QWidget *widBox = stage.widBox;
    window.show();
    box->show();
    box->raise();

    MpvPlayer player;
    MpvPlayer::InitOptions opts;
    if (mode == VideoMode::Wid)
        opts.wid = qint64(widBox->winId());
    else
        opts.renderApi = true;
    opts.logFile = o.mpvLog;
    if (!player.init(opts, nullptr)) {
        logLine(QStringLiteral("smoke-ui: FAIL mpv init"));
        return 3;
    }
    player.setProp(QStringLiteral("ao"), QStringLiteral("null"));
    if (videoWindow && !videoWindow->setPlayer(&player)) {
        logLine(QStringLiteral("smoke-ui: FAIL no mpv render context"));
        return 5;
    }
    if (glWidget)
        glWidget->setPlayer(&player);

    bool playing = false, ended = false;
    QObject::connect(&player, &MpvPlayer::playbackRestart, &player, [&] { playing = true; });
    QObject::connect(&player, &MpvPlayer::endFile, &player, [&](int reason, int error, long long) {
        ended = true;
        logLine(QStringLiteral("smoke-ui: end-file reason %1 error %2").arg(reason).arg(error));
    });
    player.loadFile(QStringLiteral("av://lavfi:color=c=blue:s=640x360:r=30,drawbox=x=0:y=0:w=640:h=180:color=red:t=fill"),
                    {});

    const qint64 capMs = qint64(o.maxWallSec * 1000);
    pumpUntil(clock, capMs, [&] { return (loaded && playing) || ended; });
    const bool timedOut = !((loaded && playing) || ended);
    auto tf = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };
    logLine(QStringLiteral("smoke-ui: web loaded=%1 ok=%2, mpv playing=%3%4")
                .arg(tf(loaded), tf(loadOk), tf(playing), timedOut ? QStringLiteral(" (timeout)") : QString()));
    const qint64 settleEnd = qMin(clock.elapsed() + 1500, capMs + 5000);
    pumpUntil(clock, settleEnd, [] { return false; });

    QString source;
    QString gl;
    const QImage frame = grabVideoFrame(glWidget, videoWindow, &source, &gl);
    const int colours = distinctColours(frame);
    logLine(QStringLiteral("smoke-ui: GL %1; video frame %2x%3, %4 distinct colours")
                .arg(gl, QString::number(frame.width()), QString::number(frame.height()),
                     QString::number(colours)));
    const bool videoOk = playing && colours >= 2;
    // The screenshot's folder is needed already for the frame next to it.
    QDir().mkpath(QFileInfo(o.screenshot).absolutePath());
    if (!frame.isNull())
        frame.save(sibling(o.screenshot, QStringLiteral("-video.png")));

    const QString display = displayOrientation(window, web, box, o.screenshot);

    const QImage shot = window.grab().toImage();
    QDir().mkpath(QFileInfo(o.screenshot).absolutePath());
    const bool saved = !shot.isNull() && shot.save(o.screenshot);
    logLine(QStringLiteral("smoke-ui: window screenshot (QWidget::grab, NOT what the display shows for GL content) "
                           "%1 -> %2")
                .arg(o.screenshot, saved ? QStringLiteral("saved") : QStringLiteral("NOT saved")));

    player.destroy();
    const QString frameOrientation = pictureOrientation(frame);
    logLine(QStringLiteral("smoke-ui: ORIENTATION frame (%1): %2").arg(frame.isNull() ? QStringLiteral("-") : source,
                                                                       frameOrientation));
    logLine(QStringLiteral("smoke-ui: ORIENTATION display: %1").arg(display));

    return smokeVerdict(loadOk, videoOk, frameOrientation, display);
}

} // namespace

QString pictureOrientation(const QImage &image, const QRect &areaIn)
{
    if (image.isNull())
        return QStringLiteral("not available");
    const QRect area = areaIn.isNull() ? image.rect() : areaIn.intersected(image.rect());
    if (area.isEmpty())
        return QStringLiteral("not available");
    const int x = area.left() + (area.width() + 1) / 2;
    const QPoint top(qMin(x, area.right()), area.top() + area.height() / 4);
    const QPoint bottom(qMin(x, area.right()), area.top() + area.height() * 3 / 4);
    const QColor t = image.pixelColor(top);
    const QColor b = image.pixelColor(bottom);
    if (isRed(t) && isBlue(b))
        return QStringLiteral("upright");
    if (isBlue(t) && isRed(b))
        return QStringLiteral("UPSIDE DOWN");
    return QStringLiteral("unclear (top %1, bottom %2)").arg(t.name(), b.name());
}

int distinctColours(const QImage &image)
{
    if (image.isNull())
        return 0;
    const int sx = qMax(1, image.width() / 32);
    const int sy = qMax(1, image.height() / 24);
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); y += sy)
        for (int x = 0; x < image.width(); x += sx)
            seen.insert(image.pixel(x, y) & 0xffffff);
    return int(seen.size());
}

int runSmoke(const SmokeOptions &o)
{
    QElapsedTimer clock;
    clock.start();
    const QSurfaceFormat fmt = QSurfaceFormat::defaultFormat();
    const QByteArray rhi = qgetenv("QSG_RHI_BACKEND");
    logLine(QStringLiteral("smoke: Qt %1, platform %2, QSG_RHI_BACKEND=%3, default GL format %4.%5 %6")
                .arg(QLatin1String(qVersion()), QGuiApplication::platformName(),
                     rhi.isEmpty() ? QStringLiteral("(unset)") : QString::fromLocal8Bit(rhi),
                     QString::number(fmt.majorVersion()), QString::number(fmt.minorVersion()),
                     fmt.profile() == QSurfaceFormat::CoreProfile ? QStringLiteral("core")
                                                                  : QStringLiteral("default")));
    bool resources = true;
    for (const char *r : {":/web/bridge.js", ":/web/test.html"}) {
        const bool ok = QFile::exists(QLatin1String(r));
        resources = resources && ok;
        logLine(QStringLiteral("smoke: resource %1 %2").arg(QLatin1String(r), ok ? QStringLiteral("ok")
                                                                                 : QStringLiteral("MISSING")));
    }
    const QString fixtures = QDir(o.resourcesDir).filePath(QStringLiteral("fixtures"));
    const int fixtureCount =
        int(QDir(fixtures).entryList({QStringLiteral("*.json")}, QDir::Files).size());
    logLine(QStringLiteral("smoke: fixtures %1: %2 files").arg(fixtures).arg(fixtureCount));
    logLine(QStringLiteral("smoke: libtorrent ") + TorrentEngine::libraryVersion() +
            QStringLiteral(" (no session started)"));
    bool mpvOk = false;
    {
        MpvPlayer player;
        MpvPlayer::InitOptions opts;
        opts.headless = true;
        mpvOk = player.init(opts, nullptr);
        logLine(QStringLiteral("smoke: mpv core %1").arg(mpvOk ? QStringLiteral("ok") : QStringLiteral("FAILED")));
        player.destroy();
    }
    if (!(resources && mpvOk && fixtureCount > 0)) {
        logLine(QStringLiteral("smoke: FAIL"));
        return 7;
    }
    logLine(QStringLiteral("smoke: basic PASS"));
    if (o.screenshot.isEmpty())
        return 0;
    return runUi(o, clock);
}

} // namespace svd
