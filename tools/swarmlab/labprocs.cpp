// The lab's processes: seeders (svd-seeder, aria2c), the DHT nodes and the slow leecher, and
// the decoys the tracker lists first (silent relays, closed ports).
#include "tools/swarmlab/labseeder.h"
#include "tools/swarmlab/labtracker.h"
#include "tools/swarmlab/relay.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace svd::lab {

QStringList SwarmLab::libtorrentArgs(int i) const
{
    const Seeder &s = *m_seeders.at(size_t(i));
    const SeederSpec &spec = s.state.spec;
    QStringList args{QStringLiteral("--torrent"), m_torrentPath,
                     QStringLiteral("--content"), s.contentDir,
                     QStringLiteral("--address"), s.state.relayed ? QStringLiteral("::1") : QStringLiteral("127.0.0.1"),
                     QStringLiteral("--port"), QString::number(s.state.listenPort),
                     QStringLiteral("--transport"), transportName(spec.transport),
                     QStringLiteral("--upload-kbps"), QString::number(spec.rateKBps),
                     QStringLiteral("--name"), QString::number(i)};
    if (spec.partial())
        args << QStringLiteral("--have") << pieceRanges(s.state.pieces) << QStringLiteral("--status");
    if (spec.unchokeSlots > 0)
        args << QStringLiteral("--unchoke-slots") << QString::number(spec.unchokeSlots)
             << QStringLiteral("--optimistic-first") << QString::number(s.state.optimisticFirstSec)
             << QStringLiteral("--status");
    if (!m_dhtBootstrap.isEmpty())
        args << QStringLiteral("--dht-bootstrap") << m_dhtBootstrap;
    return args;
}

void SwarmLab::launch(int i)
{
    Seeder &s = *m_seeders.at(size_t(i));
    const SeederSpec &spec = s.state.spec;
    if (spec.kind == SeederKind::Libtorrent) {
        spawn(&s, seederProgram(), libtorrentArgs(i));
        return;
    }
    const QStringList args{
        QStringLiteral("--no-conf"), QStringLiteral("--enable-color=false"),
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
    spawn(&s, m_options.aria2Program, args);
}

void SwarmLab::spawn(Seeder *s, const QString &program, const QStringList &args)
{
    s->proc = std::make_unique<QProcess>();
    s->proc->setProcessChannelMode(QProcess::MergedChannels);
    const pid_t parent = ::getpid();
    // The process must not outlive the lab, also when the lab's process is killed.
    s->proc->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
    });
    connect(s->proc.get(), &QProcess::readyRead, this, [this, s] { onOutput(s); });
    connect(s->proc.get(), &QProcess::finished, this, [this, s](int code, QProcess::ExitStatus) { onFinished(s, code); });
    connect(s->proc.get(), &QProcess::errorOccurred, this, [this, s, program](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart || s->state.failed)
            return;
        s->state.failed = true;
        emit seederFailed(s->index, QStringLiteral("cannot start ") + program);
    });
    s->proc->start(program, args);
    s->state.pid = s->proc->processId();
}

void SwarmLab::onFinished(Seeder *s, int code)
{
    onOutput(s);
    if (!m_running || s->state.left)
        return;
    s->state.failed = true;
    updateAdvertised();
    const QString what = s->index >= 0 ? QStringLiteral("seeder %1 (%2)").arg(s->index).arg(kindName(s->state.spec.kind))
                                       : s->name;
    emit seederFailed(s->index, QStringLiteral("%1 exited with %2; see %3")
                                    .arg(what)
                                    .arg(code)
                                    .arg(s->log ? s->log->fileName() : QString()));
}

void SwarmLab::onOutput(Seeder *s)
{
    if (!s->proc)
        return;
    const QByteArray out = s->proc->readAll();
    if (s->log)
        s->log->write(out), s->log->flush();
    s->pending += out;
    qsizetype nl = 0;
    while ((nl = s->pending.indexOf('\n')) >= 0) {
        const QByteArray line = s->pending.left(nl);
        s->pending.remove(0, nl + 1);
        // svd-seeder: "seeder N: 127.0.0.1:PORT, ..."; aria2c: "listening on TCP port PORT";
        // the slow leecher: "fetch: started, ...".
        const bool up = line.startsWith("seeder ") || line.contains("listening on TCP port") ||
                        line.startsWith("fetch: started");
        if (!s->state.started && up) {
            if (s->index >= 0)
                markStarted(s->index);
            else
                s->state.started = true;
        }
        if (const qsizetype at = line.indexOf(": status "); at >= 0)
            s->state.status = QString::fromUtf8(line.mid(at + 9));
        // A DHT node's "seeder dN: dht announce 127.0.0.1:PORT".
        if (const qsizetype at = line.indexOf(": dht announce "); at >= 0)
            s->dhtHeard.insert(line.mid(line.lastIndexOf(':') + 1).toInt());
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

bool SwarmLab::waitHelpers(int timeoutMs, QString *error)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        bool all = true;
        for (const auto &h : m_helpers) {
            if (h->state.failed || (h->proc && h->proc->state() == QProcess::NotRunning && !h->state.started)) {
                *error = QStringLiteral("%1 failed; see %2").arg(h->name, h->log->fileName());
                return false;
            }
            all = all && h->state.started;
        }
        if (all)
            return true;
        if (t.elapsed() > timeoutMs) {
            *error = QStringLiteral("the lab's helpers did not start within %1 ms").arg(timeoutMs);
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

// DHT nodes on 127.0.0.1, each bootstrapped from those before it (the first hears of the
// others when they ask it); seeders and the program under test are given all of them.
bool SwarmLab::startDhtNodes(QString *error)
{
    QStringList nodes;
    for (int k = 0; k < m_scenario.dhtNodes; ++k) {
        const int port = freeLoopbackPort();
        if (port == 0) {
            *error = QStringLiteral("no free port on 127.0.0.1 for a DHT node");
            return false;
        }
        auto h = std::make_unique<Seeder>();
        h->name = QStringLiteral("DHT node %1").arg(k);
        h->state.listenPort = port;
        h->log = std::make_unique<QFile>(m_options.workDir + QStringLiteral("/dht%1.log").arg(k));
        h->log->open(QIODevice::WriteOnly | QIODevice::Truncate);
        QStringList args{QStringLiteral("--dht-node"), QStringLiteral("--port"), QString::number(port),
                         QStringLiteral("--name"), QStringLiteral("d%1").arg(k)};
        if (!nodes.isEmpty())
            args << QStringLiteral("--dht-bootstrap") << nodes.join(QLatin1Char(','));
        spawn(h.get(), seederProgram(), args);
        m_helpers.push_back(std::move(h));
        if (!waitHelpers(10000, error))
            return false;
        nodes << QStringLiteral("127.0.0.1:%1").arg(port);
    }
    m_dhtBootstrap = nodes.join(QLatin1Char(','));
    return true;
}

bool SwarmLab::startDecoys(QString *error)
{
    for (int k = 0; k < m_scenario.silentPeers; ++k) {
        RelayHub::Spec r;
        r.sink = true;
        int port = 0;
        const int id = m_relays->add(r, &port, error);
        if (id < 0)
            return false;
        m_silentRelays.append(id);
        m_silentPorts.append(port);
    }
    // Free now and left so: nothing of the lab's listens there, and the kernel answers a dial
    // with a refusal (TCP) or a port-unreachable (uTP).
    while (m_closedPorts.size() < m_scenario.closedPorts) {
        const int port = freeLoopbackPort();
        if (port == 0) {
            *error = QStringLiteral("no free port on 127.0.0.1 for a closed peer");
            return false;
        }
        if (!m_closedPorts.contains(port) && !m_silentPorts.contains(port))
            m_closedPorts.append(port);
    }
    m_tracker->setDecoys(m_silentPorts + m_closedPorts);
    return true;
}

// A leecher of the lab's own for each seeder with slots, which meets it before anyone else and
// so holds its one slot; it downloads slowly, so it stays interested throughout. (One leecher
// for all of them dropped the seeders that choked it while another served it.)
void SwarmLab::startSlowLeecher()
{
    for (const auto &s : m_seeders) {
        if (s->state.spec.unchokeSlots <= 0)
            continue;
        auto h = std::make_unique<Seeder>();
        h->name = QStringLiteral("slow leecher of seeder %1").arg(s->index);
        const QString base = m_options.workDir + QStringLiteral("/slowleecher%1").arg(s->index);
        h->log = std::make_unique<QFile>(base + QStringLiteral(".log"));
        h->log->open(QIODevice::WriteOnly | QIODevice::Truncate);
        const QStringList args{QStringLiteral("--fetch"), m_torrentPath, QStringLiteral("--out"), base,
                               QStringLiteral("--no-trackers"), QStringLiteral("--timeout"), QStringLiteral("86400"),
                               QStringLiteral("--download-kbps"), QString::number(m_scenario.slowLeecherKBps),
                               // Over uTP its connection ended as soon as another peer came (the seeder
                               // hung up without a word), taking the slot with it.
                               QStringLiteral("--transport"), QStringLiteral("tcp"),
                               QStringLiteral("--peer"), s->state.listenEndpoint()};
        spawn(h.get(), seederProgram(), args);
        m_helpers.push_back(std::move(h));
    }
}

} // namespace svd::lab
