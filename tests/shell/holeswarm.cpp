#include "holeswarm.h"

#include "tests/common/timescale.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

namespace svd::test {

namespace {

// Waits until the process has printed a line containing `marker`; returns it.
QString waitForLine(QProcess *p, const QString &marker, int ms)
{
    QString seen;
    QString found;
    (void)QTest::qWaitFor(
        [&] {
            seen += QString::fromUtf8(p->readAllStandardOutput());
            for (const QString &line : seen.split(QLatin1Char('\n')))
                if (line.contains(marker)) {
                    found = line.trimmed();
                    return true;
                }
            return p->state() == QProcess::NotRunning;
        },
        waitMs(ms));
    if (found.isEmpty())
        qWarning("no '%s' in: %s %s", qPrintable(marker), qPrintable(seen),
                 p->readAllStandardError().constData());
    return found;
}

quint16 freePort()
{
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

void stopProcess(QProcess *p)
{
    if (!p || p->state() == QProcess::NotRunning)
        return;
    p->terminate();
    if (!p->waitForFinished(waitMs(5000))) {
        p->kill();
        p->waitForFinished(waitMs(5000));
    }
}

} // namespace

HoleSwarm::HoleSwarm() = default;

HoleSwarm::~HoleSwarm()
{
    stop();
}

QProcessEnvironment HoleSwarm::childEnv(const QString &scratch) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SVD_LOOPBACK_ONLY"), QStringLiteral("1"));
    env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    for (const char *var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        env.insert(QLatin1String(var), scratch + QLatin1Char('/') + QLatin1String(var));
    // The generated media is cached outside the scratch folders so reruns stay fast.
    if (!env.contains(QStringLiteral("SVD_TEST_MEDIA_CACHE")))
        env.insert(QStringLiteral("SVD_TEST_MEDIA_CACHE"),
                   QDir::homePath() + QStringLiteral("/.cache/sorvanta-test-media"));
    return env;
}

QString HoleSwarm::start(bool *skip)
{
    *skip = true;
    const QString bin = qEnvironmentVariable("SVD_BINARY_DIR");
    const QString src = qEnvironmentVariable("SVD_SOURCE_DIR");
    if (bin.isEmpty() || src.isEmpty())
        return QStringLiteral("SVD_BINARY_DIR / SVD_SOURCE_DIR not set (run through ctest)");
    m_app = bin + QStringLiteral("/app/sorvanta-desktop");
    const QString gen = bin + QStringLiteral("/tools/gen-episodes");
    const QString server = bin + QStringLiteral("/tools/demo/svd-demo-server");
    const QString seeder = bin + QStringLiteral("/tools/demo/svd-seeder");
    for (const QString &b : {m_app, gen, server, seeder})
        if (!QFileInfo(b).isExecutable())
            return QStringLiteral("%1 is not built").arg(b);
    *skip = false;
    const quint16 port = freePort();
    if (!m_dir.isValid() || port == 0)
        return QStringLiteral("no scratch folder or free port");
    m_base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    const QProcessEnvironment env = childEnv(m_dir.filePath(QStringLiteral("tools")));

    // One short, small title: the torrents name the tracker, so the port is fixed first.
    QProcess g;
    g.setProcessEnvironment(env);
    g.start(gen, {QStringLiteral("--out"),           m_dir.filePath(QStringLiteral("titles/910001")),
                  QStringLiteral("--anime"),         QStringLiteral("910001"),
                  QStringLiteral("--title"),         QStringLiteral("Star Courier"),
                  QStringLiteral("--first-episode"), QStringLiteral("1"),
                  QStringLiteral("--episodes"),      QStringLiteral("1"),
                  QStringLiteral("--sources"),       QStringLiteral("main:2048"),
                  QStringLiteral("--announce"),      m_base + QStringLiteral("/announce"),
                  QStringLiteral("--duration"),      QStringLiteral("40"),
                  QStringLiteral("--height"),        QStringLiteral("240"),
                  QStringLiteral("--video-kbps"),    QStringLiteral("300")});
    if (!g.waitForFinished(waitMs(150000)) || g.exitCode() != 0)
        return QStringLiteral("gen-episodes failed: ") + QString::fromUtf8(g.readAllStandardError());
    const QStringList out =
        QString::fromUtf8(g.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    m_fixture = out.isEmpty() ? QString() : out.last().trimmed();
    if (!QFile::exists(m_fixture))
        return QStringLiteral("no fixture: ") + m_fixture;

    m_server = std::make_unique<QProcess>();
    m_server->setProcessEnvironment(env);
    m_server->start(server, {QStringLiteral("--port"), QString::number(port), QStringLiteral("--site"),
                             src + QStringLiteral("/tools/demo/site"), QStringLiteral("--fixtures"), m_fixture,
                             QStringLiteral("--interval"), QStringLiteral("300")});
    if (waitForLine(m_server.get(), QStringLiteral("listening on"), 15000).isEmpty())
        return QStringLiteral("the backend did not start");

    m_seeder = std::make_unique<QProcess>();
    m_seeder->setProcessEnvironment(env);
    m_seeder->start(seeder,
                    {QStringLiteral("--name"), QStringLiteral("fast"), QStringLiteral("--fixture"), m_fixture});
    // The episode starts quickly only once the tracker knows the seeder.
    if (waitForLine(m_seeder.get(), QStringLiteral("seeder fast: announced"), 20000).isEmpty())
        return QStringLiteral("the seeder did not announce");
    return QString();
}

void HoleSwarm::stop()
{
    stopProcess(m_seeder.get());
    stopProcess(m_server.get());
}

QString HoleSwarm::runApp(const QStringList &args, const Run &run) const
{
    const QString log = m_dir.filePath(run.folder + QStringLiteral("/app.log"));
    QDir().mkpath(QFileInfo(log).path());
    QProcess app;
    app.setProcessEnvironment(run.env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(m_app, args + QStringList{QStringLiteral("--log"), log});
    if (!app.waitForStarted(waitMs(10000)))
        return QStringLiteral("(did not start)");
    const auto readLog = [&] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    bool markerSeen = run.marker.isEmpty();
    const bool done = QTest::qWaitFor(
        [&] {
            const QString text = readLog();
            if (!markerSeen && text.contains(run.marker)) {
                markerSeen = true;
                if (run.onMarker)
                    run.onMarker();
            }
            return app.state() == QProcess::NotRunning ||
                   (!run.doneMarker.isEmpty() && text.contains(run.doneMarker));
        },
        waitMs((run.capSeconds + 30) * 1000));
    // SIGTERM closes the window in order (the statistics lines come then); a hung one is killed.
    stopProcess(&app);
    QString text = readLog();
    if (text.isEmpty())
        text = QString::fromUtf8(app.readAll());
    if (!done)
        text += QStringLiteral("\n(neither finished nor quit)");
    return text;
}

QByteArray runDiagnostics(const QString &log)
{
    return (log.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^\\("))).join(u' ') +
            QLatin1Char('\n') + log.right(4000))
        .toUtf8();
}

} // namespace svd::test
