// The updater as the options and the command line set it up: its configuration, the
// update-check command's exit codes and the program's update modes.
#include "tst_updater.h"

#include "update/updatecli.h"

#include <QCommandLineParser>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using svd::Updater;

void TestUpdater::configFromOptions()
{
    auto configFor = [](const QStringList &args, svd::UpdaterConfig *c, QString *error) {
        QCommandLineParser p;
        for (const char *name : {"update-url", "update-channel", "update-max-kbps", "update-test-key"})
            p.addOption({QString::fromLatin1(name), QString(), QStringLiteral("v")});
        for (const char *name : {"check-update", "no-update"})
            p.addOption({QString::fromLatin1(name), QString()});
        return p.parse(QStringList{QStringLiteral("prog")} + args) &&
               svd::updaterConfigFromOptions(p, QUrl(QStringLiteral("https://api.example.net/")), QStringLiteral("/d"),
                                             c, error);
    };
    svd::UpdaterConfig c;
    QString error;
    QVERIFY(configFor({}, &c, &error));
    QCOMPARE(c.publicKey, svd::update::embeddedPublicKey());
    QCOMPARE(c.checksOff, !svd::update::isValidEd25519PublicKey(c.publicKey));
    // Our package's apt source in place: updates come with the system's software updates.
    qputenv("SVD_APT_SOURCE", QFile::encodeName(dir_->filePath(QStringLiteral("apt.sources"))));
    QVERIFY(configFor({}, &c, &error) && !c.systemUpdates);
    QVERIFY(QFile(dir_->filePath(QStringLiteral("apt.sources"))).open(QIODevice::WriteOnly));
    QVERIFY(configFor({}, &c, &error) && c.systemUpdates);
    qunsetenv("SVD_APT_SOURCE");

    // The test key: only for an update server on 127.0.0.1 or ::1, and only a usable key.
    const QString key = QString::fromLatin1(key_.publicKey().toBase64());
    for (const char *url : {"http://127.0.0.1:1/", "http://[::1]:1/"}) {
        QVERIFY2(configFor({QStringLiteral("--update-url"), QLatin1String(url), QStringLiteral("--update-test-key"), key},
                           &c, &error),
                 qPrintable(error));
        QCOMPARE(c.publicKey, key_.publicKey());
        QVERIFY(!c.checksOff);
    }
    for (const char *url : {"http://localhost:1/", "https://127.0.0.1.example.net/", "https://api.example.net/"}) {
        QVERIFY(!configFor({QStringLiteral("--update-url"), QLatin1String(url), QStringLiteral("--update-test-key"), key},
                           &c, &error));
        QCOMPARE(error, QStringLiteral("--update-test-key refused: the update URL must be on 127.0.0.1 or [::1]"));
    }
    QVERIFY(!configFor({QStringLiteral("--update-url"), QStringLiteral("http://127.0.0.1:1/"),
                        QStringLiteral("--update-test-key"), QStringLiteral("mZ3pLq8Tn0vR5cWx2YbH7kJd4sFg9eUa1oNi6tPyQ0w=")},
                       &c, &error));
    QCOMPARE(error, QStringLiteral("--update-test-key refused: no curve point has this y"));

    // The largest rate the option takes: ten seconds at it overflow 64 bits, the allowance must not.
    QVERIFY(configFor({QStringLiteral("--update-max-kbps"), QStringLiteral("1099511627775")}, &c, &error));
    QCOMPARE(c.maxBytesPerSec, qint64(1099511627775) * 1000);
    QVERIFY(Updater::allowance(0, c.maxBytesPerSec, 10000, 0) > 0);
    QCOMPARE(Updater::allowance(400, 1000000, 500, 400), qint64(500000));

    // With checks off nothing is ever asked.
    svd::UpdaterConfig off = config();
    off.checksOff = true;
    Updater u(off);
    u.startSchedule(0);
    u.check();
    QTest::qWait(200);
    QVERIFY(server_->requests.isEmpty());
    QCOMPARE(u.nextCheckInMs(), -1);
}

void TestUpdater::commandLineExitCodes()
{
    svd::UpdateCliOptions o;
    o.config = config();
    o.config.installInPlace = false;
    QCOMPARE(svd::runUpdateCheck(o), 0); // 204
    offer(manifest());
    QCOMPARE(svd::runUpdateCheck(o), 10);
    QCOMPARE(downloadRequests(), 0);
    offer(manifest("0.2.0", {}, -1, "0.2.0"));
    QCOMPARE(svd::runUpdateCheck(o), 11);
    o.config.publicKey = TestKey().publicKey();
    QCOMPARE(svd::runUpdateCheck(o), 4);
    o.config = config();
    o.download = true;
    offer(manifest());
    QCOMPARE(svd::runUpdateCheck(o), 10);
    offer(manifest("0.2.0", sha256Hex("x")));
    QCOMPARE(svd::runUpdateCheck(o), 3);
    server_.reset();
    QCOMPARE(svd::runUpdateCheck(o), 2);
}

void TestUpdater::programModes()
{
    const QString program = qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/app/sorvanta-desktop");
    if (!QFileInfo(program).isExecutable())
        QSKIP("the program is not built in this tree");
    auto run = [&](const QStringList &args, QByteArray *out) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir_->filePath(QStringLiteral("xdg")));
        // As on a server or over SSH: these modes show no window and need no display.
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
        p.setProcessEnvironment(env);
        QSignalSpy done(&p, &QProcess::finished);
        p.start(program, args);
        // The server answers from this event loop, so wait with the spy, not waitForFinished.
        if (!done.wait(30000))
            return -1;
        *out = p.readAllStandardOutput();
        return p.exitCode();
    };
    QByteArray out;
    const QString base = server_->base().toString();
    const QString log = dir_->filePath(QStringLiteral("xdg/Sorvanta/SorvantaDesktop/logs/update-check.log"));
    if (!svd::update::isValidEd25519PublicKey(svd::update::embeddedPublicKey())) {
        // A build without a usable release key: one log line, no request, the code of a failed check.
        QCOMPARE(run({QStringLiteral("--check-update"), QStringLiteral("--update-url"), base}, &out), 2);
        QCOMPARE(out, QByteArray("update-check: error built-in release key is not a valid Ed25519 key -> update "
                                 "checks off\n"));
        QVERIFY(server_->requests.isEmpty());
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("update: built-in release key is not a valid Ed25519 key -> update checks off"), 1);
    }
    const QStringList testKey{QStringLiteral("--update-test-key"), QString::fromLatin1(key_.publicKey().toBase64())};
    QCOMPARE(run(QStringList{QStringLiteral("--check-update"), QStringLiteral("--update-url"), base} + testKey, &out), 0);
    QCOMPARE(out, QByteArray("update-check: up-to-date nothing newer published (204)\n"));
    QCOMPARE(run(QStringList{QStringLiteral("--check-update"), QStringLiteral("--update-url"),
                             QStringLiteral("http://localhost:1/")} + testKey,
                 &out),
             2);
    QCOMPARE(run({QStringLiteral("--check-update"), QStringLiteral("--update-channel"), QStringLiteral("nightly")},
                 &out),
             2);
    QCOMPARE(run({QStringLiteral("--selftest-update")}, &out), 0);
    QVERIFY(QFileInfo::exists(log));
    server_.reset();
    QCOMPARE(run(QStringList{QStringLiteral("--check-update"), QStringLiteral("--update-url"), base} + testKey, &out), 2);
}
