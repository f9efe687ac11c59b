#include "base/log.h"
#include "app/options.h"
#include "tests/common/timescale.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <vector>

using namespace svd;

Q_LOGGING_CATEGORY(lcEngineCtx, "qt.webenginecontext")
Q_LOGGING_CATEGORY(lcOther, "qt.other.debug")

namespace {

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

struct RunResult {
    int code = -1;
    QString out;
    QString err;
};

// Runs the real program with its own data and settings folders so a test never
// touches the user's files.
RunResult runProgram(const QStringList &args, const QTemporaryDir &home, bool withDisplay = true)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    if (!withDisplay) {
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    }
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(SVD_APP_BINARY), args);
    if (!p.waitForFinished(svd::test::waitMs(60000))) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

bool parse(const QStringList &args, AppConfig *cfg, QString *error = nullptr, QCommandLineParser *out = nullptr)
{
    QCommandLineParser local;
    QCommandLineParser &p = out ? *out : local;
    registerOptions(p);
    if (!p.parse(QStringList{QStringLiteral("prog")} + args))
        return false;
    QString err;
    const bool ok = fillAppConfig(p, QStringLiteral("/res"), cfg, &err);
    if (error)
        *error = err;
    return ok;
}

} // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void logLineFormat();
    void logFileAndQtHandler();
    void logLinesFromManyThreadsNeverInterleave();
    void userAgent();
    void lenientNumbers();
    void optionValues();
    void logFileChoice();
    void resourcesDirLookup();
    void programExitCodes();
    void smokeChecks();

private:
    // Process-wide log file, pinned by the first logStart of this run.
    QTemporaryDir m_logDir;
};

void TestApp::logLineFormat()
{
    QCOMPARE(formatLogLine(0.05, QStringLiteral("a")), QStringLiteral("[t=   0.05] a"));
    QCOMPARE(formatLogLine(123.4, QStringLiteral("b")), QStringLiteral("[t= 123.40] b"));
    QCOMPARE(formatLogLine(12345.678, QStringLiteral("c")), QStringLiteral("[t=12345.68] c"));
    // Message text is never treated as a format string.
    QCOMPARE(formatLogLine(1, QStringLiteral("x %1 %2 100%")), QStringLiteral("[t=   1.00] x %1 %2 100%"));
    // Text from pages and libraries cannot start lines of its own.
    QCOMPARE(formatLogLine(2, QStringLiteral("a\r\n[t=   0.00] b\t\x1b[31m\u0085\u2028é")),
             QStringLiteral("[t=   2.00] a\\r\\n[t=   0.00] b\\t\\u001b[31m\\u0085\\u2028é"));
}

// The log is process-wide, so the file behaviour is checked in one sequence.
void TestApp::logFileAndQtHandler()
{
    const QString first = m_logDir.filePath(QStringLiteral("first.log"));
    const QString second = m_logDir.filePath(QStringLiteral("second.log"));

    logLine(QStringLiteral("before start"));
    const double t0 = logClock();
    logStart(first);
    QVERIFY(logClock() >= t0); // starting the file does not reset the clock
    logStart(second);          // a second start keeps the first file
    logLine(QStringLiteral("after %1 start 50%"));

    // The rules start-up sets, so the web engine context's debug output passes.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.debug=true\nqt.webenginecontext.info=true"));
    installQtMessageHandler();
    qCDebug(lcEngineCtx, "context debug");
    qCDebug(lcOther, "other debug");
    qCWarning(lcOther, "other warning");
    qCInfo(lcOther, "other info");
    qInstallMessageHandler(nullptr);

    QVERIFY(!QFile::exists(second));
    const QStringList lines = readLines(first);
    const QStringList expected = {QStringLiteral("after %1 start 50%"), QStringLiteral("qt-debug: context debug"),
                                  QStringLiteral("qt-warning: other warning"), QStringLiteral("qt-info: other info")};
    QCOMPARE(lines.size(), expected.size());
    static const QRegularExpression stamp(QStringLiteral("^\\[t=[ 0-9]{4}\\.[0-9]{2}\\] "));
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(stamp.match(lines[i]).hasMatch(), qPrintable(lines[i]));
        QCOMPARE(lines[i].mid(12), expected[i]);
    }
}

void TestApp::logLinesFromManyThreadsNeverInterleave()
{
    // logStart has already pinned the file in the previous test; lines append.
    constexpr int kThreads = 8, kLines = 200;
    std::vector<QThread *> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(QThread::create([t] {
            const QString pad(64, QLatin1Char('a' + t));
            for (int i = 0; i < kLines; ++i)
                logLine(QStringLiteral("thread %1 line %2 ").arg(t).arg(i) + pad);
        }));
        threads.back()->start();
    }
    for (QThread *t : threads) {
        QVERIFY(t->wait(svd::test::waitMs(30000)));
        delete t;
    }
    const QString path = m_logDir.filePath(QStringLiteral("first.log"));
    static const QRegularExpression whole(QStringLiteral("^\\[t=[ 0-9.]{7}\\] thread (\\d) line (\\d+) ([a-h])\\3{63}$"));
    int counted = 0;
    for (const QString &line : readLines(path)) {
        if (!line.contains(QLatin1String("] thread ")))
            continue;
        const auto m = whole.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QCOMPARE(m.captured(3).at(0).unicode() - 'a', m.captured(1).toInt());
        ++counted;
    }
    QCOMPARE(counted, kThreads * kLines);
}

void TestApp::userAgent()
{
    QCOMPARE(appUaToken(), QStringLiteral("SorvantaDesktop/0.1.3"));
    QCOMPARE(nativeUserAgent(), QStringLiteral("SorvantaDesktop/0.1.3 (Linux; x64)"));
}

void TestApp::lenientNumbers()
{
    QCOMPARE(parseIntLenient(QStringLiteral("42")), 42);
    QCOMPARE(parseIntLenient(QStringLiteral("2147483648")), 0); // does not fit 32 bits
    QCOMPARE(parseIntLenient(QStringLiteral("-2147483648")), int(-2147483648LL));
    QCOMPARE(parseIntLenient(QStringLiteral("12abc")), 0);
    QCOMPARE(parseIntLenient(QStringLiteral("1.5")), 0);
    QCOMPARE(parseInt64Lenient(QStringLiteral("2147483648")), 2147483648LL);
    QCOMPARE(parseInt64Lenient(QStringLiteral("99999999999999999999")), 0);
    QCOMPARE(parseDoubleLenient(QStringLiteral("2.5")), 2.5);
    QCOMPARE(parseDoubleLenient(QStringLiteral("fast")), 0.0);
}

void TestApp::optionValues()
{
    AppConfig c;
    QVERIFY(parse({}, &c));
    QCOMPARE(c.startTimeoutSec, 45);
    QCOMPARE(c.noPeersTimeoutSec, 30);
    QCOMPARE(c.cacheMaxMb, 4096);
    QCOMPARE(c.maxDownKbps, 0);
    QVERIFY(c.useApi);
    QCOMPARE(c.site.scheme(), QStringLiteral("https"));

    AppConfig st;
    QVERIFY(parse({QStringLiteral("--selftest")}, &st));
    QCOMPARE(st.startTimeoutSec, 180);
    QCOMPARE(st.noPeersTimeoutSec, 90);
    AppConfig st2;
    QVERIFY(parse({QStringLiteral("--selftest"), QStringLiteral("--start-timeout"), QStringLiteral("7"),
                   QStringLiteral("--no-peers-timeout=junk")},
                  &st2));
    QCOMPARE(st2.startTimeoutSec, 7);
    QCOMPARE(st2.noPeersTimeoutSec, 0);

    for (const char *off : {"off", "-5", "OFF"}) {
        AppConfig m;
        QVERIFY(parse({QStringLiteral("--max-down-kbps"), QString::fromLatin1(off)}, &m));
        QCOMPARE(m.maxDownKbps, -1);
    }
    AppConfig zero;
    QVERIFY(parse({QStringLiteral("--max-down-kbps"), QStringLiteral("0")}, &zero));
    QCOMPARE(zero.maxDownKbps, 0);

    AppConfig lite;
    QVERIFY(parse({QStringLiteral("--lite"), QStringLiteral("AUTO")}, &lite));
    QCOMPARE(lite.lite, QStringLiteral("auto"));
    AppConfig bad;
    QString err;
    QVERIFY(!parse({QStringLiteral("--lite"), QStringLiteral("maybe")}, &bad, &err));
    QCOMPARE(err, QStringLiteral("--lite must be on, off or auto"));

    AppConfig dev;
    QVERIFY(parse({QStringLiteral("--fixtures"), QStringLiteral("a.json"), QStringLiteral("--dev"),
                   QStringLiteral("--fixtures"), QStringLiteral("b"), QStringLiteral("--no-api"),
                   QStringLiteral("--anime"), QStringLiteral("9000000000"), QStringLiteral("--episode"),
                   QStringLiteral("x")},
                  &dev));
    QCOMPARE(dev.fixtures, (QStringList{QStringLiteral("a.json"), QStringLiteral("b"), QStringLiteral("/res/fixtures")}));
    QVERIFY(dev.testPage);
    QVERIFY(!dev.useApi);
    QCOMPARE(dev.animeId, 9000000000LL);
    QCOMPARE(dev.episode, 0);

    AppConfig site;
    QVERIFY(parse({QStringLiteral("--site"), QStringLiteral("qrc:/web/test.html#autotest")}, &site));
    QCOMPARE(site.site.scheme(), QStringLiteral("qrc"));
    QCOMPARE(site.site.fragment(), QStringLiteral("autotest"));
}

void TestApp::logFileChoice()
{
    const QString logs = QStringLiteral("/d/logs");
    auto choose = [&](const QStringList &args) {
        QCommandLineParser p;
        AppConfig c;
        parse(args, &c, nullptr, &p);
        return logFilePath(p, logs);
    };
    QCOMPARE(choose({}), QStringLiteral("/d/logs/last.log"));
    QCOMPARE(choose({QStringLiteral("--check-update")}), QStringLiteral("/d/logs/update-check.log"));
    QCOMPARE(choose({QStringLiteral("--selftest-update")}), QStringLiteral("/d/logs/update-check.log"));
    QCOMPARE(choose({QStringLiteral("--check-update"), QStringLiteral("--log"), QStringLiteral("/x.log")}),
             QStringLiteral("/x.log"));
}

void TestApp::resourcesDirLookup()
{
    QTemporaryDir root;
    const QString bin = root.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    // Neither layout: the program's own folder (the build tree).
    QCOMPARE(resourcesDirFor(bin), bin);
    // Installed under a prefix.
    const QString share = root.filePath(QStringLiteral("share/sorvanta-desktop"));
    QVERIFY(QDir().mkpath(share));
    QCOMPARE(resourcesDirFor(bin), share);
    // A bundle's Resources folder wins.
    const QString res = root.filePath(QStringLiteral("Resources"));
    QVERIFY(QDir().mkpath(res));
    QCOMPARE(resourcesDirFor(bin), res);
}

void TestApp::programExitCodes()
{
    QTemporaryDir home;
    // -v anywhere answers before the application object exists: no display
    // is needed and the unknown option before it is never parsed.
    RunResult v = runProgram({QStringLiteral("--bogus"), QStringLiteral("-v")}, home, false);
    QCOMPARE(v.code, 0);
    static const QRegularExpression versionRe(QStringLiteral(
        "^Sorvanta Desktop 0\\.1\\.3 \\(Qt 6\\.[0-9.]+, libtorrent 2\\.[0-9.]+, mpv client API 2\\.[0-9]+, OpenSSL 3[^)]*\\)\\n$"));
    QVERIFY2(versionRe.match(v.out).hasMatch(), qPrintable(v.out));

    RunResult mode = runProgram({QStringLiteral("--video-mode"), QStringLiteral("bogus")}, home, false);
    QCOMPARE(mode.code, 2);
    QCOMPARE(mode.err.trimmed(), QStringLiteral("--video-mode must be wid, window, glwidget or auto"));
    RunResult flip = runProgram({QStringLiteral("--video-flip=upside")}, home, false);
    QCOMPARE(flip.code, 2);
    QCOMPARE(flip.err.trimmed(), QStringLiteral("--video-flip must be on, off or auto"));

    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("the remaining checks need a display (run under xvfb-run)");
    RunResult lite = runProgram({QStringLiteral("--lite"), QStringLiteral("maybe")}, home);
    QCOMPARE(lite.code, 2);
    QVERIFY(lite.err.contains(QStringLiteral("--lite must be on, off or auto\n")));

    RunResult unknown = runProgram({QStringLiteral("--no-such-option")}, home);
    QVERIFY(unknown.code != 0);
    QVERIFY(unknown.err.contains(QStringLiteral("no-such-option")));

    RunResult st = runProgram({QStringLiteral("--selftest"), QStringLiteral("--anime"), QStringLiteral("0")}, home);
    QCOMPARE(st.code, 2);
    QVERIFY(st.err.contains(QStringLiteral("--selftest needs --play-fixture <file> or --anime <id>")));
    const QStringList log = readLines(home.path() + QStringLiteral("/data/Sorvanta/SorvantaDesktop/logs/last.log"));
    QVERIFY(log.size() >= 2);
    QVERIFY(log[0].endsWith(QStringLiteral("Sorvanta Desktop 0.1.3, data ") + home.path() +
                            QStringLiteral("/data/Sorvanta/SorvantaDesktop")));
    QVERIFY(log[1].contains(QStringLiteral("shell: video output window (default), flip-y 1 (auto); QSG_RHI_BACKEND=")));
}

void TestApp::smokeChecks()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("the smoke checks need a display (run under xvfb-run)");
    QTemporaryDir home;
    RunResult basic = runProgram({QStringLiteral("--smoke")}, home);
    QCOMPARE(basic.code, 0);
    QVERIFY2(basic.err.contains(QStringLiteral("smoke: basic PASS")), qPrintable(basic.err));

    // Both render paths must give an upright red-over-blue picture; turning
    // the flip off turns it upside down, which the check must notice.
    const QString png = home.filePath(QStringLiteral("shots/smoke.png"));
    for (const QString &mode : {QStringLiteral("window"), QStringLiteral("glwidget")}) {
        RunResult ui = runProgram({QStringLiteral("--video-mode"), mode, QStringLiteral("--smoke-ui"), png}, home);
        QVERIFY2(ui.code == 0, qPrintable(ui.err));
        QVERIFY(ui.err.contains(QStringLiteral("smoke-ui: PASS (page ok, video ok, orientation upright)")));
        QVERIFY(QFile::exists(png));
        QVERIFY(QFile::exists(home.filePath(QStringLiteral("shots/smoke-video.png"))));
    }
    RunResult flipped = runProgram({QStringLiteral("--video-mode"), QStringLiteral("window"),
                                    QStringLiteral("--video-flip"), QStringLiteral("off"),
                                    QStringLiteral("--smoke-ui"), png},
                                   home);
    QCOMPARE(flipped.code, 9);
    QVERIFY(flipped.err.contains(QStringLiteral("orientation WRONG")));
}

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
