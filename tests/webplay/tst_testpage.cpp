// The bundled bridge test page in the real program: "#autotest" plays a
// generated episode from the loopback swarm, walks through tracks, dubs and
// subtitles, and ends with a stop (or, with "route", with history changes).
#include "tests/common/timescale.h"
#include "webswarm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace svd;

class TestBridgeTestPage : public QObject {
    Q_OBJECT
public:
    explicit TestBridgeTestPage(test::WebSwarm *swarm) : m_swarm(swarm) {}

private slots:
    void initTestCase();
    void autotestPlaysAndStops();
    void autotestFollowsRoutes();

private:
    // Runs the program on the test page with `fragment`; its log.
    QString runAutotest(const QString &fragment);

    test::WebSwarm *m_swarm;
    QString m_app;
    QTemporaryDir m_dir;
};

void TestBridgeTestPage::initTestCase()
{
    QVERIFY2(m_swarm->error().isEmpty(), qPrintable(m_swarm->error()));
    m_app = qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/app/sorvanta-desktop");
    if (!QFileInfo(m_app).isExecutable())
        QSKIP("the program is not built");
    QVERIFY(m_dir.isValid());
}

QString TestBridgeTestPage::runAutotest(const QString &fragment)
{
    const QString home = m_dir.filePath(fragment);
    const QString log = home + QStringLiteral("/app.log");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SVD_LOOPBACK_ONLY"), QStringLiteral("1"));
    for (const char *var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        env.insert(QLatin1String(var), home + QLatin1Char('/') + QLatin1String(var));
    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(m_app, {QStringLiteral("--site"), QStringLiteral("qrc:/web/test.html#") + fragment,
                      QStringLiteral("--api"), m_swarm->baseUrl().toString(QUrl::StripTrailingSlash),
                      QStringLiteral("--no-update"), QStringLiteral("--quit-after"), QStringLiteral("170"),
                      QStringLiteral("--window-geometry"), QStringLiteral("0,0,1280,800"), QStringLiteral("--log"),
                      log});
    if (!app.waitForStarted(svd::test::waitMs(10000)))
        return QStringLiteral("(did not start)");
    const auto readLog = [&] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    // The page's script has its own time-outs (at most a few minutes in all);
    // the wait here only has to outlast them. The test process keeps serving
    // the backend, tracker and seeder meanwhile.
    (void)QTest::qWaitFor(
        [&] {
            const QString text = readLog();
            return app.state() == QProcess::NotRunning ||
                   text.contains(QStringLiteral("testpage: autotest DONE")) ||
                   text.contains(QStringLiteral("testpage: autotest FAILED"));
        },
        svd::test::waitMs(190000));
    app.terminate();
    if (!app.waitForFinished(svd::test::waitMs(15000))) {
        app.kill();
        app.waitForFinished(svd::test::waitMs(5000));
    }
    QString text = readLog();
    if (text.isEmpty())
        text = QString::fromUtf8(app.readAll());
    return text;
}

void TestBridgeTestPage::autotestPlaysAndStops()
{
    const QString log = runAutotest(QStringLiteral("autotest"));
    const QByteArray tail = log.right(5000).toUtf8();
    QVERIFY2(log.contains(QStringLiteral("testpage: autotest DONE")), tail.constData());
    QVERIFY2(log.contains(QStringLiteral("js: testpage: event started {\"animeId\":2602,\"episode\":2")),
             tail.constData());
    QVERIFY(log.contains(QStringLiteral("testpage: autotest watching 25 s")));
    QVERIFY(log.contains(QStringLiteral("testpage: autotest closed {\"reason\":\"page\",\"type\":\"closed\"}")));
    QVERIFY(log.contains(QStringLiteral("testpage: autotest getTracks after close {\"ok\":false}")));
    // SIGTERM closes the window like its close button: the orderly shutdown runs to the end.
    QVERIFY2(log.contains(QStringLiteral("shell: SIGTERM -> closing")), tail.constData());
    QVERIFY2(log.trimmed().endsWith(QStringLiteral("exit 0")), tail.constData());
}

void TestBridgeTestPage::autotestFollowsRoutes()
{
    const QString log = runAutotest(QStringLiteral("autotest-route"));
    const QByteArray tail = log.right(5000).toUtf8();
    QVERIFY2(log.contains(QStringLiteral("testpage: autotest DONE")), tail.constData());
    QVERIFY(log.contains(QStringLiteral("testpage: autotest start (route)")));
    QVERIFY(log.contains(QStringLiteral("testpage: autotest still playing after the episode change")));
    QVERIFY(log.contains(QStringLiteral("shell: page changed while playing (route qrc:/web/other-title")));
    QVERIFY(log.contains(
        QStringLiteral("testpage: autotest closed {\"reason\":\"navigation\",\"type\":\"closed\"}")));
}

QObject *createBridgeTestPageTest(test::WebSwarm *swarm)
{
    return new TestBridgeTestPage(swarm);
}

#include "tst_testpage.moc"
