#include "tools/swarmlab/swarmlab.h"

#include "tools/backend/testbackend.h"
#include "tools/swarmlab/labfiles.h"
#include "tools/swarmlab/labtracker.h"
#include "tools/swarmlab/relay.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace svd::lab {

struct SwarmLab::Seeder {
    SeederState state;
    QString contentDir;
    int relayId = -1;
    std::unique_ptr<QProcess> proc;
    std::unique_ptr<QFile> log;
    QByteArray pending; // output not yet split into lines
};

SwarmLab::SwarmLab(QObject *parent) : QObject(parent)
{
    m_tick.setInterval(100);
    connect(&m_tick, &QTimer::timeout, this, &SwarmLab::tick);
}

SwarmLab::~SwarmLab()
{
    stop();
}

QString SwarmLab::seederProgram() const
{
    if (!m_options.seederProgram.isEmpty())
        return m_options.seederProgram;
    const QString env = qEnvironmentVariable("SVD_SEEDER");
    if (!env.isEmpty())
        return env;
    const QString sibling = QCoreApplication::applicationDirPath() + QStringLiteral("/../demo/svd-seeder");
    if (QFileInfo::exists(sibling))
        return QDir::cleanPath(sibling);
    return qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/tools/demo/svd-seeder");
}

bool SwarmLab::start(const Scenario &scenario, const Options &options, QString *error)
{
    auto fail = [&](const QString &what) {
        if (error)
            *error = what;
        stop();
        return false;
    };
    stop();
    m_seeders.clear();
    m_scenario = scenario;
    m_options = options;
    if (!QDir().mkpath(options.workDir))
        return fail(QStringLiteral("cannot create ") + options.workDir);
    if (!QFileInfo(options.contentDir).isDir())
        return fail(QStringLiteral("no content folder ") + options.contentDir);

    m_tracker = std::make_unique<LabTracker>();
    m_tracker->onFirstLeecher([this] {
        if (!m_leecherClock.isValid())
            m_leecherClock.start();
    });
    m_backend = std::make_unique<TestBackend>();
    if (!m_backend->listen())
        return fail(QStringLiteral("tracker: cannot listen on 127.0.0.1"));
    m_backend->addHandler([this](const HttpRequest &r) {
        return m_tracker->handle(r, double(m_clock.elapsed()) / 1000.0);
    });
    m_trackerUrl = m_backend->baseUrl().toString() + QStringLiteral("/announce");
    m_torrentPath = QDir(options.workDir).absoluteFilePath(QStringLiteral("lab.torrent"));
    QString why;
    if (!writeTorrentWithTracker(options.torrentFile, m_torrentPath, m_trackerUrl, &why))
        return fail(why);

    m_relays = std::make_unique<RelayHub>();
    QSet<int> seederPorts;
    for (int i = 0; i < scenario.seeders.size(); ++i) {
        auto s = std::make_unique<Seeder>();
        s->state.spec = scenario.seeders.at(i);
        const SeederSpec &spec = s->state.spec;
        const bool relayed = options.relays || spec.latencyMs > 0 || spec.jitterMs > 0;
        s->state.listenPort = freeLoopbackPort(relayed);
        if (s->state.listenPort == 0)
            return fail(QStringLiteral("no free port on 127.0.0.1 and ::1"));
        seederPorts.insert(s->state.listenPort);
        s->state.advertisedPort = s->state.listenPort;
        s->contentDir = options.contentDir;
        if (!spec.corruptPieces.isEmpty()) {
            s->contentDir = options.workDir + QStringLiteral("/seeder%1-corrupt").arg(i);
            if (!writeCorruptCopy(options.torrentFile, options.contentDir, s->contentDir, spec.corruptPieces,
                                  &s->state.corruptPieces, &why))
                return fail(why);
        }
        if (relayed) {
            RelayHub::Spec r;
            r.port = s->state.listenPort;
            r.targetPort = s->state.listenPort;
            r.targetV6 = true;
            r.tcp = spec.transport != Transport::Utp;
            r.udp = spec.transport != Transport::Tcp;
            r.delayMs = spec.latencyMs;
            r.jitterMs = spec.jitterMs;
            int port = 0;
            s->relayId = m_relays->add(r, &port, &why);
            if (s->relayId < 0)
                return fail(why);
            s->state.relayed = true;
        }
        s->log = std::make_unique<QFile>(options.workDir + QStringLiteral("/seeder%1.log").arg(i));
        s->log->open(QIODevice::WriteOnly | QIODevice::Truncate);
        m_seeders.push_back(std::move(s));
    }
    m_tracker->setSeederPorts(seederPorts);
    m_running = true;
    m_clock.start();
    m_leecherClock.invalidate();
    for (int i = 0; i < seederCount(); ++i) {
        const double delay = m_seeders.at(size_t(i))->state.spec.startDelaySec;
        if (delay <= 0)
            launch(i);
        else
            QTimer::singleShot(int(delay * 1000), this, [this, i] {
                if (m_running)
                    launch(i);
            });
    }
    m_tick.start();
    return true;
}

void SwarmLab::launch(int i)
{
    Seeder &s = *m_seeders.at(size_t(i));
    const SeederSpec &spec = s.state.spec;
    QString program;
    QStringList args;
    if (spec.kind == SeederKind::Libtorrent) {
        program = seederProgram();
        args = {QStringLiteral("--torrent"), m_torrentPath,
                QStringLiteral("--content"), s.contentDir,
                QStringLiteral("--address"), s.state.relayed ? QStringLiteral("::1") : QStringLiteral("127.0.0.1"),
                QStringLiteral("--port"), QString::number(s.state.listenPort),
                QStringLiteral("--transport"), transportName(spec.transport),
                QStringLiteral("--upload-kbps"), QString::number(spec.rateKBps),
                QStringLiteral("--name"), QString::number(i)};
    } else {
        program = m_options.aria2Program;
        args = {QStringLiteral("--no-conf"), QStringLiteral("--enable-color=false"),
                QStringLiteral("--console-log-level=notice"), QStringLiteral("--summary-interval=0"),
                QStringLiteral("--show-console-readout=false"),
                QStringLiteral("--enable-dht=false"), QStringLiteral("--enable-dht6=false"),
                QStringLiteral("--bt-enable-lpd=false"), QStringLiteral("--enable-peer-exchange=false"),
                s.state.relayed ? QStringLiteral("--interface=::1") : QStringLiteral("--interface=127.0.0.1"),
                s.state.relayed ? QStringLiteral("--disable-ipv6=false") : QStringLiteral("--disable-ipv6=true"),
                QStringLiteral("--listen-port=%1").arg(s.state.listenPort),
                // Seed what lies there without hashing it first: a corrupt copy is served as it is.
                QStringLiteral("--seed-ratio=0.0"), QStringLiteral("--bt-seed-unverified=true"),
                QStringLiteral("--check-integrity=false"),
                QStringLiteral("--max-upload-limit=%1").arg(qint64(spec.rateKBps) * 1000),
                QStringLiteral("--file-allocation=none"), QStringLiteral("--auto-save-interval=0"),
                QStringLiteral("--dir=") + s.contentDir, m_torrentPath};
    }
    s.proc = std::make_unique<QProcess>();
    s.proc->setProcessChannelMode(QProcess::MergedChannels);
    const pid_t parent = ::getpid();
    // The seeder must not outlive the lab, also when the lab's process is killed.
    s.proc->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
    });
    connect(s.proc.get(), &QProcess::readyRead, this, [this, i] { onOutput(i); });
    connect(s.proc.get(), &QProcess::finished, this, [this, i](int code, QProcess::ExitStatus) {
        Seeder &t = *m_seeders.at(size_t(i));
        onOutput(i);
        if (!m_running || t.state.left)
            return;
        t.state.failed = true;
        updateAdvertised();
        emit seederFailed(i, QStringLiteral("seeder %1 (%2) exited with %3; see %4")
                                 .arg(i)
                                 .arg(kindName(t.state.spec.kind))
                                 .arg(code)
                                 .arg(t.log ? t.log->fileName() : QString()));
    });
    connect(s.proc.get(), &QProcess::errorOccurred, this, [this, i, program](QProcess::ProcessError e) {
        Seeder &t = *m_seeders.at(size_t(i));
        if (e != QProcess::FailedToStart || t.state.failed)
            return;
        t.state.failed = true;
        emit seederFailed(i, QStringLiteral("cannot start ") + program);
    });
    s.proc->start(program, args);
    s.state.pid = s.proc->processId();
}

void SwarmLab::onOutput(int i)
{
    Seeder &s = *m_seeders.at(size_t(i));
    if (!s.proc)
        return;
    const QByteArray out = s.proc->readAll();
    if (s.log)
        s.log->write(out), s.log->flush();
    s.pending += out;
    qsizetype nl = 0;
    while ((nl = s.pending.indexOf('\n')) >= 0) {
        const QByteArray line = s.pending.left(nl);
        s.pending.remove(0, nl + 1);
        // svd-seeder: "seeder N: 127.0.0.1:PORT, ..."; aria2c: "listening on TCP port PORT".
        if (!s.state.started && (line.startsWith("seeder ") || line.contains("listening on TCP port")))
            markStarted(i);
    }
}

void SwarmLab::markStarted(int i)
{
    m_seeders.at(size_t(i))->state.started = true;
    updateAdvertised();
    emit seederStarted(i);
}

void SwarmLab::updateAdvertised()
{
    QList<int> ports;
    for (const auto &s : m_seeders)
        if (s->state.started && !s->state.left && !s->state.failed)
            ports.append(s->state.advertisedPort);
    if (m_tracker)
        m_tracker->setAdvertised(ports);
}

bool SwarmLab::waitStarted(int timeoutMs, QString *error)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        bool all = true;
        for (int i = 0; i < seederCount(); ++i) {
            const SeederState &st = m_seeders.at(size_t(i))->state;
            if (st.failed) {
                if (error)
                    *error = QStringLiteral("seeder %1 (%2) failed; see %3/seeder%1.log")
                                 .arg(i)
                                 .arg(kindName(st.spec.kind), m_options.workDir);
                return false;
            }
            all = all && (st.started || st.spec.startDelaySec > 0);
        }
        if (all)
            return true;
        if (t.elapsed() > timeoutMs) {
            if (error)
                *error = QStringLiteral("seeders did not start within %1 ms").arg(timeoutMs);
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

double SwarmLab::leecherClock() const
{
    return m_leecherClock.isValid() ? double(m_leecherClock.elapsed()) / 1000.0 : -1.0;
}

void SwarmLab::tick()
{
    if (!m_running)
        return;
    if (!m_leecherClock.isValid())
        for (const auto &s : m_seeders)
            if (s->relayId >= 0 && m_relays->counters(s->relayId).connections > 0) {
                m_leecherClock.start();
                break;
            }
    const double t = leecherClock();
    if (t >= 0 && m_options.dropAtSec >= 0 && !m_dropped && t >= m_options.dropAtSec && m_relays) {
        m_dropped = true;
        m_relays->freezeAll(int(m_options.dropForSec * 1000), m_options.dropCuts);
        emit dropStarted(t, m_options.dropForSec);
    }
    for (int i = 0; i < seederCount(); ++i) {
        const SeederState &st = m_seeders.at(size_t(i))->state;
        if (t >= 0 && st.spec.leaveAfterSec >= 0 && !st.left && t >= st.spec.leaveAfterSec)
            leave(i);
    }
}

void SwarmLab::leave(int i)
{
    if (i < 0 || i >= seederCount())
        return;
    Seeder &s = *m_seeders.at(size_t(i));
    if (s.state.left)
        return;
    s.state.left = true;
    updateAdvertised();
    if (s.relayId >= 0)
        m_relays->drop(s.relayId);
    if (s.proc) {
        s.proc->kill();
        s.proc->waitForFinished(5000);
    }
    emit seederLeft(i);
}

SwarmLab::SeederState SwarmLab::seeder(int i) const
{
    if (i < 0 || i >= seederCount())
        return {};
    const Seeder &s = *m_seeders.at(size_t(i));
    SeederState st = s.state;
    if (s.relayId >= 0 && m_relays) {
        const RelayCounters c = m_relays->counters(s.relayId);
        st.bytesToLeechers = c.toLeecher;
        st.bytesFromLeechers = c.fromLeecher;
        st.connections = c.connections;
        st.openConnections = c.open;
    }
    return st;
}

void SwarmLab::stop()
{
    m_running = false;
    m_tick.stop();
    // Counters stay readable after stop(): taken before the seeders go, so the open
    // connections are the leechers' own choice (a banned seeder has none).
    for (int i = 0; i < seederCount(); ++i) {
        const SeederState st = seeder(i);
        Seeder &s = *m_seeders.at(size_t(i));
        s.state.bytesToLeechers = st.bytesToLeechers;
        s.state.bytesFromLeechers = st.bytesFromLeechers;
        s.state.connections = st.connections;
        s.state.openConnections = st.openConnections;
        s.relayId = -1;
    }
    for (const auto &s : m_seeders)
        if (s->proc && s->proc->state() != QProcess::NotRunning)
            s->proc->kill();
    for (const auto &s : m_seeders)
        if (s->proc) {
            s->proc->waitForFinished(5000);
            s->proc.reset();
        }
    m_relays.reset();
    m_backend.reset();
}

QJsonObject SwarmLab::describe() const
{
    QJsonArray seeders;
    for (int i = 0; i < seederCount(); ++i) {
        const SeederState st = seeder(i);
        const SeederSpec &sp = st.spec;
        seeders.append(QJsonObject{{QStringLiteral("index"), i},
                                   {QStringLiteral("kind"), kindName(sp.kind)},
                                   {QStringLiteral("rate_kbps"), sp.rateKBps},
                                   {QStringLiteral("transport"), transportName(sp.transport)},
                                   {QStringLiteral("latency_ms"), sp.latencyMs},
                                   {QStringLiteral("jitter_ms"), sp.jitterMs},
                                   {QStringLiteral("start_s"), sp.startDelaySec},
                                   {QStringLiteral("leave_s"), sp.leaveAfterSec},
                                   {QStringLiteral("corrupt_pieces"), st.corruptPieces},
                                   {QStringLiteral("endpoint"), st.endpoint()},
                                   {QStringLiteral("listen"), QStringLiteral("%1:%2")
                                                                  .arg(st.relayed ? QStringLiteral("[::1]")
                                                                                  : QStringLiteral("127.0.0.1"))
                                                                  .arg(st.listenPort)},
                                   {QStringLiteral("relayed"), st.relayed},
                                   {QStringLiteral("started"), st.started},
                                   {QStringLiteral("left"), st.left},
                                   {QStringLiteral("failed"), st.failed},
                                   {QStringLiteral("pid"), double(st.pid)},
                                   {QStringLiteral("bytes_to_leechers"), double(st.bytesToLeechers)},
                                   {QStringLiteral("bytes_from_leechers"), double(st.bytesFromLeechers)},
                                   {QStringLiteral("connections"), st.connections},
                                   {QStringLiteral("open_connections"), st.openConnections}});
    }
    return {{QStringLiteral("scenario"), m_scenario.name},
            {QStringLiteral("piece_kib"), m_scenario.pieceKiB},
            {QStringLiteral("tracker"), m_trackerUrl},
            {QStringLiteral("torrent"), m_torrentPath},
            {QStringLiteral("seeders"), seeders}};
}

} // namespace svd::lab
