#include "tools/swarmlab/swarmlab.h"

#include "tools/backend/testbackend.h"
#include "tools/swarmlab/labfiles.h"
#include "tools/swarmlab/labseeder.h"
#include "tools/swarmlab/labtracker.h"
#include "tools/swarmlab/relay.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QUrl>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace svd::lab {

namespace {
// The head of the largest file: what a player reads before its first frame, about.
constexpr qint64 kHeadBytes = 4 << 20;
// What the check of the silent ports sends each: a handshake and a datagram (labchecks.cpp).
constexpr qint64 kProbeBytes = 68 + 20;
// The longest wait for a scenario's state (a choked seeder's slot is taken within seconds, a
// DHT announce lands within seconds; a loaded machine may take longer).
constexpr int kCheckWaitMs = 60000;
} // namespace


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
    // A DHT scenario has no tracker: the lab's copy of the torrent and its magnet name none.
    const bool dht = scenario.dhtNodes > 0;
    m_trackerUrl = m_backend->baseUrl().toString() + QStringLiteral("/announce");
    m_torrentPath = QDir(options.workDir).absoluteFilePath(QStringLiteral("lab.torrent"));
    QString why;
    if (!writeTorrentWithTracker(options.torrentFile, m_torrentPath, dht ? QString() : m_trackerUrl, &why) ||
        !readLayout(m_torrentPath, kHeadBytes, &m_layout, &why))
        return fail(why);
    m_magnet = QStringLiteral("magnet:?xt=urn:btih:") + QString::fromLatin1(m_layout.infoHash.toHex()) +
               QStringLiteral("&dn=") + QString::fromLatin1(QUrl::toPercentEncoding(m_layout.name)) +
               (dht ? QString() : QStringLiteral("&tr=") + QString::fromLatin1(QUrl::toPercentEncoding(m_trackerUrl)));
    const QList<QList<int>> pieces = assignPieces(scenario.seeders, m_layout, qHash(scenario.name));
    for (int i = 0; i < pieces.size(); ++i)
        if (scenario.seeders.at(i).partial() && pieces.at(i).isEmpty())
            return fail(QStringLiteral("seeder %1 is partial but has no piece to hold (head=no on a torrent "
                                       "that is all head?)").arg(i));
    m_running = true;
    m_clock.start();
    if (dht && !startDhtNodes(&why))
        return fail(why);

    m_relays = std::make_unique<RelayHub>();
    if (!startDecoys(&why))
        return fail(why);
    QSet<int> seederPorts;
    for (int i = 0; i < scenario.seeders.size(); ++i) {
        if (!prepareSeeder(i, pieces.at(i), dht, &why))
            return fail(why);
        seederPorts.insert(m_seeders.back()->state.listenPort);
    }
    m_tracker->setSeederPorts(seederPorts);
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

bool SwarmLab::prepareSeeder(int i, const QList<int> &pieces, bool dht, QString *error)
{
    auto s = std::make_unique<Seeder>();
    s->index = i;
    s->state.spec = m_scenario.seeders.at(i);
    s->state.pieces = pieces;
    if (s->state.spec.unchokeSlots > 0)
        s->state.optimisticFirstSec = 2 + int(QRandomGenerator::global()->bounded(30));
    const SeederSpec &spec = s->state.spec;
    // DHT seeders announce the port they listen on: no relay may stand in front of them.
    const bool relayed = !dht && (m_options.relays || spec.latencyMs > 0 || spec.jitterMs > 0);
    s->state.listenPort = freeLoopbackPort(relayed);
    if (s->state.listenPort == 0) {
        *error = QStringLiteral("no free port on 127.0.0.1 and ::1");
        return false;
    }
    s->state.advertisedPort = s->state.listenPort;
    s->contentDir = m_options.contentDir;
    if (!spec.corruptPieces.isEmpty()) {
        s->contentDir = m_options.workDir + QStringLiteral("/seeder%1-corrupt").arg(i);
        if (!writeCorruptCopy(m_options.torrentFile, m_options.contentDir, s->contentDir, spec.corruptPieces,
                              &s->state.corruptPieces, error))
            return false;
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
        s->relayId = m_relays->add(r, &port, error);
        if (s->relayId < 0)
            return false;
        s->state.relayed = true;
    }
    s->log = std::make_unique<QFile>(m_options.workDir + QStringLiteral("/seeder%1.log").arg(i));
    s->log->open(QIODevice::WriteOnly | QIODevice::Truncate);
    m_seeders.push_back(std::move(s));
    return true;
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
            return verify(kCheckWaitMs, error);
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
    if (m_relays)
        for (const int id : m_silentRelays) {
            const RelayCounters c = m_relays->counters(id);
            m_silentDials += c.connections;
            m_silentBytes += c.fromLeecher;
        }
    m_silentRelays.clear();
    for (const auto *all : {&m_seeders, &m_helpers})
        for (const auto &s : *all)
            if (s->proc && s->proc->state() != QProcess::NotRunning)
                s->proc->kill();
    for (const auto *all : {&m_seeders, &m_helpers})
        for (const auto &s : *all)
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
        QJsonObject o{{QStringLiteral("index"), i},
                      {QStringLiteral("kind"), kindName(sp.kind)},
                      {QStringLiteral("rate_kbps"), sp.rateKBps},
                      {QStringLiteral("transport"), transportName(sp.transport)},
                      {QStringLiteral("latency_ms"), sp.latencyMs},
                      {QStringLiteral("jitter_ms"), sp.jitterMs},
                      {QStringLiteral("start_s"), sp.startDelaySec},
                      {QStringLiteral("leave_s"), sp.leaveAfterSec},
                      {QStringLiteral("corrupt_pieces"), st.corruptPieces},
                      {QStringLiteral("endpoint"), st.endpoint()},
                      {QStringLiteral("listen"), st.listenEndpoint()},
                      {QStringLiteral("relayed"), st.relayed},
                      {QStringLiteral("started"), st.started},
                      {QStringLiteral("left"), st.left},
                      {QStringLiteral("failed"), st.failed},
                      {QStringLiteral("pid"), double(st.pid)},
                      {QStringLiteral("bytes_to_leechers"), double(st.bytesToLeechers)},
                      {QStringLiteral("bytes_from_leechers"), double(st.bytesFromLeechers)},
                      {QStringLiteral("connections"), st.connections},
                      {QStringLiteral("open_connections"), st.openConnections}};
        // A partial peer's pieces (all others hold every one); a choked seeder's slots.
        if (sp.partial())
            o.insert(QStringLiteral("pieces"), pieceRanges(st.pieces));
        if (sp.unchokeSlots > 0) {
            o.insert(QStringLiteral("unchoke_slots"), sp.unchokeSlots);
            o.insert(QStringLiteral("optimistic_first_s"), st.optimisticFirstSec);
        }
        seeders.append(o);
    }
    QJsonObject out{{QStringLiteral("scenario"), m_scenario.name},
                    {QStringLiteral("piece_kib"), m_scenario.pieceKiB},
                    {QStringLiteral("tracker"), m_scenario.dhtNodes > 0 ? QString() : m_trackerUrl},
                    {QStringLiteral("torrent"), m_torrentPath},
                    {QStringLiteral("magnet"), m_magnet},
                    {QStringLiteral("source"), m_scenario.source == SourceKind::Magnet ? QStringLiteral("magnet")
                                                                                       : QStringLiteral("torrent")},
                    {QStringLiteral("pieces"), m_layout.numPieces},
                    {QStringLiteral("head_pieces"), pieceRanges(m_layout.head)},
                    {QStringLiteral("seeders"), seeders},
                    {QStringLiteral("checks"), m_checks}};
    if (!m_dhtBootstrap.isEmpty())
        out.insert(QStringLiteral("dht_bootstrap"), m_dhtBootstrap);
    if (!m_silentPorts.isEmpty() || !m_closedPorts.isEmpty()) {
        int dials = m_silentDials;
        qint64 bytes = m_silentBytes;
        for (const int id : m_silentRelays) {
            const RelayCounters c = m_relays->counters(id);
            dials += c.connections;
            bytes += c.fromLeecher;
        }
        // The lab's own check dialled each silent port once (a handshake, a datagram): those are
        // not the leecher's.
        out.insert(QStringLiteral("decoys"),
                   QJsonObject{{QStringLiteral("silent"), m_silentPorts.size()},
                               {QStringLiteral("closed"), m_closedPorts.size()},
                               {QStringLiteral("silent_dials"), dials - m_probeConnections},
                               {QStringLiteral("silent_bytes_in"), double(bytes - qint64(m_probeConnections) * kProbeBytes)}});
    }
    return out;
}

} // namespace svd::lab
