// The program on a headless Weston of its own (weston-run.sh starts it and names its
// socket in SVD_TEST_WESTON_SOCKET), as in a GNOME Wayland session: the program asks
// for native Wayland by itself, the player-only window shows the frames it decodes,
// and the page's dropdown shows through the hole in the video. A Wayland client
// cannot read the screen, so the hole is judged on Weston's own screenshot.
#include "holeswarm.h"
#include "tests/common/timescale.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <cmath>

using svd::test::HoleSwarm;

namespace {

bool isRed(QRgb p)
{
    return qRed(p) >= 230 && qGreen(p) <= 40 && qBlue(p) <= 40;
}

// The hole test's dropdown (260 x 320 CSS pixels, pure red, its top 30 pixels above
// the video box) in the screenshot: from the first row with a red run nearly as wide.
QRect findDropdown(const QImage &image, int scale)
{
    const int width = 260 * scale;
    for (int y = 0; y < image.height(); ++y) {
        int run = 0;
        for (int x = 0; x < image.width(); ++x) {
            run = isRed(image.pixel(x, y)) ? run + 1 : 0;
            if (run >= width * 9 / 10)
                return QRect(x - run + 1, y, width, 320 * scale);
        }
    }
    return QRect();
}

double redShare(const QImage &image, const QRect &area)
{
    qint64 red = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            red += isRed(image.pixel(x, y));
    return r.isEmpty() ? 0.0 : double(red) / double(area.width() * area.height());
}

int distinctColours(const QImage &image, const QRect &area)
{
    QSet<QRgb> colours;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); y += 2)
        for (int x = r.left(); x <= r.right(); x += 2)
            colours.insert(image.pixel(x, y));
    return int(colours.size());
}

double firstNumber(const QString &text, const QString &pattern)
{
    const auto m = QRegularExpression(pattern).match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : -1.0;
}

} // namespace

class TestWeston : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { m_swarm.stop(); }
    void playerWindowShowsItsFrames();
    void pageShowsThroughTheHole();
    void noPlatformIsAClearError();

private:
    QProcessEnvironment waylandEnv(const QString &folder) const;
    QImage screenshot(const QString &folder) const;

    HoleSwarm m_swarm;
    QString m_socket;
    int m_scale = 1;
};

void TestWeston::initTestCase()
{
    m_socket = qEnvironmentVariable("SVD_TEST_WESTON_SOCKET");
    if (m_socket.isEmpty())
        QSKIP("no Weston (tests/shell/weston-run.sh starts one)");
    m_scale = qMax(1, qEnvironmentVariableIntValue("SVD_TEST_WESTON_SCALE"));
    bool skip = false;
    const QString why = m_swarm.start(&skip);
    if (skip)
        QSKIP(qPrintable(why));
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

// A GNOME Wayland session as the desktop starts programs: no X display, no platform asked for.
QProcessEnvironment TestWeston::waylandEnv(const QString &folder) const
{
    QProcessEnvironment env = m_swarm.childEnv(m_swarm.path(folder + QStringLiteral("/home")));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), m_socket);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("GNOME"));
    return env;
}

QImage TestWeston::screenshot(const QString &folder) const
{
    const QString dir = m_swarm.path(folder);
    QDir().mkpath(dir);
    QProcess shooter;
    shooter.setWorkingDirectory(dir);
    shooter.setProcessEnvironment(waylandEnv(folder));
    shooter.start(QStringLiteral("weston-screenshooter"), {});
    shooter.waitForFinished(svd::test::waitMs(10000));
    const QStringList shots =
        QDir(dir).entryList({QStringLiteral("wayland-screenshot-*.png")}, QDir::Files, QDir::Time);
    return shots.isEmpty() ? QImage() : QImage(QDir(dir).filePath(shots.first()));
}

void TestWeston::playerWindowShowsItsFrames()
{
    HoleSwarm::Run run;
    run.env = waylandEnv(QStringLiteral("player"));
    run.folder = QStringLiteral("player");
    run.capSeconds = 16;
    const QString log = m_swarm.runApp({QStringLiteral("--play-fixture"), m_swarm.fixture(),
                                        QStringLiteral("--quit-after"), QString::number(run.capSeconds)},
                                       run);
    // The renderer's and the tuner's own figures first: QtTest cuts long messages short.
    const QStringList figures =
        log.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("video: .*(render|playing)")));
    const QByteArray tail = (figures.join(u'\n') + QLatin1Char('\n')).toUtf8() + svd::test::runDiagnostics(log);
    QVERIFY2(log.contains(QStringLiteral("shell: display platform wayland (Wayland session")), tail.constData());
    // Every statistics period of the renderer, summed; the frames mpv decoded from
    // the time played at the stream's frame rate.
    qint64 shown = 0;
    qint64 hidden = 0;
    auto it = QRegularExpression(QStringLiteral(R"(video: window render \d+ s: (\d+) frames shown, (\d+) consumed)"))
                  .globalMatch(log);
    while (it.hasNext()) {
        const auto m = it.next();
        shown += m.captured(1).toLongLong();
        hidden += m.captured(2).toLongLong();
    }
    const double fps = firstNumber(log, QStringLiteral(R"(video: vo .* @ (\d+\.\d+) fps)"));
    const double played = firstNumber(log, QStringLiteral(R"("played_s":(\d+(\.\d+)?))"));
    const double decoded = fps * played;
    qInfo("Weston scale %d: %lld frames shown, %lld consumed hidden, ~%.0f decoded (%.3f s at %.3f fps)", m_scale,
          shown, hidden, decoded, played, fps);
    QVERIFY2(played > 5 && fps > 0, tail.constData());
    QVERIFY2(std::abs(double(shown) - decoded) <= 0.05 * decoded, tail.constData());
}

void TestWeston::pageShowsThroughTheHole()
{
    const QString base = m_swarm.baseUrl();
    HoleSwarm::Run run;
    run.env = waylandEnv(QStringLiteral("hole"));
    run.folder = QStringLiteral("hole");
    run.doneMarker = QStringLiteral("hole-test: screenshot cleared");
    run.capSeconds = 60;
    // The program's own check finds no screen to read; Weston's screenshot is taken
    // while the hole is open, after the page has had time to repaint.
    QImage shot;
    run.marker = QStringLiteral("page region(s) cut out of the video");
    run.onMarker = [&] {
        QTest::qWait(1500);
        shot = screenshot(QStringLiteral("hole/shots"));
    };
    const QString log = m_swarm.runApp(
        {QStringLiteral("--site"), base + QStringLiteral("/"), QStringLiteral("--api"), base,
         QStringLiteral("--no-update"), QStringLiteral("--video-mode"), QStringLiteral("window"),
         QStringLiteral("--autoplay-test"), QStringLiteral("910001"), QStringLiteral("--autoplay-hole-shots"),
         m_swarm.path(QStringLiteral("hole/app-shots")), QStringLiteral("--quit-after"),
         QString::number(run.capSeconds), QStringLiteral("--window-geometry"), QStringLiteral("0,0,1280,800")},
        run);
    const QByteArray tail = svd::test::runDiagnostics(log);
    QVERIFY2(!log.contains(QStringLiteral("\n(")), tail.constData());
    QVERIFY2(log.contains(QStringLiteral("shell: display platform wayland")), tail.constData());
    QVERIFY2(log.contains(QStringLiteral("hole-test: no verdict: no screen grab on the wayland platform")),
             tail.constData());
    QVERIFY2(!shot.isNull(), "weston-screenshooter gave no picture");
    // Kept in the build folder for whoever wants to see it.
    const QString kept =
        qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/weston-hole-scale%1.png").arg(m_scale);
    shot.save(kept);

    const QRect dropdown = findDropdown(shot, m_scale);
    QVERIFY2(dropdown.isValid(), qPrintable(QStringLiteral("no dropdown in the screenshot (%1)").arg(kept)));
    // Most of the dropdown lies over the video: all of it red means the page shows
    // through; beside it, inside the video box, the video itself must show.
    const double share = redShare(shot, dropdown);
    const QRect beside(dropdown.left() - 250 * m_scale, dropdown.top() + 100 * m_scale, 240 * m_scale,
                       200 * m_scale);
    const int colours = distinctColours(shot, beside);
    qInfo("Weston scale %d: dropdown at %d,%d, %.1f%% of it red; %d colours in the video beside it", m_scale,
          dropdown.left(), dropdown.top(), share * 100, colours);
    QVERIFY2(share >= 0.85, qPrintable(kept));
    QVERIFY2(colours >= 8, qPrintable(kept));
}

// A Wayland session whose compositor cannot be reached and no XWayland: Qt has no
// platform to start, and the program says so instead of aborting.
void TestWeston::noPlatformIsAClearError()
{
    QProcessEnvironment env = waylandEnv(QStringLiteral("noplatform"));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("svd-no-such-socket"));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/app/sorvanta-desktop"),
              {QStringLiteral("--no-update")});
    QVERIFY(app.waitForFinished(svd::test::waitMs(30000)));
    const QString err = QString::fromLocal8Bit(app.readAllStandardError());
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 69);
    QVERIFY2(err.contains(QStringLiteral("cannot open a window: no display platform could start (asked Qt for "
                                         "wayland;xcb; WAYLAND_DISPLAY=svd-no-such-socket, DISPLAY=(unset))")),
             qPrintable(err));
}

QObject *createWestonTest()
{
    return new TestWeston;
}

#include "tst_weston.moc"
