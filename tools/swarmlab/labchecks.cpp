// What the lab checks of its own state before it reports ready (SwarmLab::verify): partial
// peers show the pieces they were given and say "upload only", seeders of a magnet-only source
// offer the metadata, silent ports accept and never answer, closed ports refuse, the slow
// leecher holds each choked seeder's one slot, and every DHT seeder's announce reached a node.
// The probes speak to the peers themselves (around their relays) as a BitTorrent client would.
#include "tools/swarmlab/labseeder.h"
#include "tools/swarmlab/relay.h"

#include <libtorrent/bdecode.hpp>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtEndian>

namespace svd::lab {

namespace {

// The fingerprint of svd-seeder --fetch, which the slow leecher is.
constexpr char kSlowLeecherId[] = "-LF1000-";
constexpr int kProbeWaitMs = 3000;
constexpr int kSilenceMs = 1500;
constexpr int kReadyWaitMs = 15000;

// One connection of a probe: our handshake (extension protocol on, no fast extension, so a
// peer sends its pieces as a bitfield), then what comes back.
struct Probe {
    QString label;
    QHostAddress address;
    int port = 0;
    std::unique_ptr<QTcpSocket> tcp;
    std::unique_ptr<QUdpSocket> udp; // a silent port: a datagram that must stay unanswered
    QByteArray in;
    bool connected = false;
    bool refused = false;
    bool handshake = false;
    bool gotBitfield = false;
    QByteArray bitfield;
    bool gotExtended = false;
    QByteArray extended;             // the extension handshake's dictionary
    qint64 bytesIn = 0;
    bool answered() const { return refused || (gotBitfield && gotExtended); }
};

Probe probeAt(const QString &label, const QHostAddress &address, int port)
{
    Probe p;
    p.label = label;
    p.address = address;
    p.port = port;
    return p;
}

QByteArray handshakeFor(const QByteArray &infoHash)
{
    QByteArray h("\x13" "BitTorrent protocol", 20);
    QByteArray reserved(8, '\0');
    reserved[5] = 0x10; // the extension protocol
    QByteArray id("-LP0001-");
    for (int k = 0; k < 12; ++k)
        id.append(char('a' + QRandomGenerator::global()->bounded(26)));
    return h + reserved + infoHash + id;
}

void parse(Probe &p)
{
    if (!p.handshake) {
        if (p.in.size() < 68)
            return;
        p.handshake = true;
        p.in.remove(0, 68);
    }
    while (p.in.size() >= 4) {
        const quint32 n = qFromBigEndian<quint32>(p.in.constData());
        if (quint32(p.in.size()) < 4 + n)
            return;
        const QByteArray msg = p.in.mid(4, int(n));
        p.in.remove(0, int(4 + n));
        if (msg.size() >= 1 && msg.at(0) == 5) {
            p.gotBitfield = true;
            p.bitfield = msg.mid(1);
        } else if (msg.size() >= 2 && msg.at(0) == 20 && msg.at(1) == 0) {
            p.gotExtended = true;
            p.extended = msg.mid(2);
        }
    }
}

// Dials every probe at once and spins the event loop until each has answered (or the time
// is up: `waitMs`, all of it when `listen` is set, for silent ports).
void run(std::vector<Probe> &probes, const QByteArray &infoHash, int waitMs, bool listen)
{
    for (Probe &p : probes) {
        if (p.answered())
            continue;
        p.tcp = std::make_unique<QTcpSocket>();
        QTcpSocket *s = p.tcp.get();
        QObject::connect(s, &QTcpSocket::connected, s, [&p, s, infoHash] {
            p.connected = true;
            s->write(handshakeFor(infoHash));
        });
        QObject::connect(s, &QTcpSocket::readyRead, s, [&p, s] {
            const QByteArray got = s->readAll();
            p.bytesIn += got.size();
            p.in += got;
            parse(p);
        });
        QObject::connect(s, &QTcpSocket::errorOccurred, s, [&p](QAbstractSocket::SocketError e) {
            p.refused = p.refused || (e == QAbstractSocket::ConnectionRefusedError && !p.connected);
        });
        s->connectToHost(p.address, quint16(p.port));
        if (listen) {
            p.udp = std::make_unique<QUdpSocket>();
            p.udp->bind(QHostAddress::LocalHost, 0);
            p.udp->writeDatagram(QByteArray(20, '\x41'), p.address, quint16(p.port));
        }
    }
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < waitMs) {
        bool all = !listen;
        for (const Probe &p : probes)
            all = all && p.answered();
        if (all)
            break;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
}

// run() again for the probes still without an answer: a seeder listens a moment before its
// torrent is ready, and closes connections for it until then.
void runUntilAnswered(std::vector<Probe> &probes, const QByteArray &infoHash, int totalMs)
{
    QElapsedTimer t;
    t.start();
    run(probes, infoHash, kProbeWaitMs, false);
    for (;;) {
        bool all = true;
        for (const Probe &p : probes)
            all = all && p.answered();
        if (all || t.elapsed() > totalMs)
            return;
        QElapsedTimer pause;
        pause.start();
        while (pause.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        for (Probe &p : probes)
            if (!p.answered()) {
                Probe again = probeAt(p.label, p.address, p.port);
                p.tcp.release()->deleteLater();
                p = std::move(again);
            }
        run(probes, infoHash, kProbeWaitMs, false);
    }
}

QList<int> piecesOf(const QByteArray &bitfield, int numPieces)
{
    QList<int> out;
    for (int p = 0; p < numPieces && p / 8 < bitfield.size(); ++p)
        if (uchar(bitfield.at(p / 8)) & (0x80 >> (p % 8)))
            out.append(p);
    return out;
}

// The extension handshake's "upload_only", "metadata_size" and whether "m" names ut_metadata.
struct Extended {
    bool valid = false;
    qint64 uploadOnly = 0;
    qint64 metadataSize = 0;
    bool utMetadata = false;
};

Extended extendedOf(const QByteArray &dict)
{
    Extended e;
    lt::error_code ec;
    const lt::bdecode_node n = lt::bdecode(lt::span<const char>(dict.constData(), dict.size()), ec);
    if (ec || n.type() != lt::bdecode_node::dict_t)
        return e;
    e.valid = true;
    e.uploadOnly = n.dict_find_int_value("upload_only", 0);
    e.metadataSize = n.dict_find_int_value("metadata_size", 0);
    const lt::bdecode_node m = n.dict_find_dict("m");
    e.utMetadata = m && m.dict_find_int_value("ut_metadata", 0) > 0;
    return e;
}

QJsonObject result(const QString &check, bool ok, const QString &detail)
{
    return {{QStringLiteral("check"), check}, {QStringLiteral("ok"), ok}, {QStringLiteral("detail"), detail}};
}

Probe probeOf(const SwarmLab::SeederState &st, const QString &label)
{
    return probeAt(label, st.relayed ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, st.listenPort);
}

} // namespace

bool SwarmLab::verify(int timeoutMs, QString *error)
{
    m_checks = {};
    if (m_scenario.slowLeecherKBps >= 0)
        startSlowLeecher();
    QList<int> partial;
    for (int i = 0; i < seederCount(); ++i)
        if (m_seeders.at(size_t(i))->state.spec.partial())
            partial.append(i);
    if (!partial.isEmpty())
        checkPartialPeers(partial);
    if (m_scenario.source == SourceKind::Magnet)
        checkMetadata();
    if (!m_silentPorts.isEmpty() || !m_closedPorts.isEmpty())
        checkDecoys();
    bool slotsOk = m_scenario.slowLeecherKBps < 0;
    bool dht = m_scenario.dhtNodes == 0;
    QElapsedTimer t;
    t.start();
    while (!(slotsOk && dht)) {
        slotsOk = slotsOk || checkSlotsHeld(false);
        dht = dht || checkDhtAnnounced(false);
        if (t.elapsed() > timeoutMs) {
            slotsOk = slotsOk || checkSlotsHeld(true);
            dht = dht || checkDhtAnnounced(true);
            break;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    QStringList failed;
    for (const QJsonValue &v : std::as_const(m_checks))
        if (!v.toObject().value(QStringLiteral("ok")).toBool())
            failed << v.toObject().value(QStringLiteral("check")).toString() + QStringLiteral(": ") +
                          v.toObject().value(QStringLiteral("detail")).toString();
    if (!failed.isEmpty() && error)
        *error = QStringLiteral("the scenario's state is not as it should be: ") + failed.join(QStringLiteral("; "));
    return failed.isEmpty();
}

// A uTP-only peer cannot be dialled by the probe (TCP): its own status line must say it
// holds as many pieces as it was given and is upload only.
QString SwarmLab::partialStatusWrong(int i) const
{
    const SeederState &st = m_seeders.at(size_t(i))->state;
    const QString want = QStringLiteral(" have=%1 upload_only=1").arg(st.pieces.size());
    if (st.status.endsWith(want))
        return {};
    return QStringLiteral("seeder %1 (uTP only) says '%2', should end '%3'").arg(i).arg(st.status, want);
}

void SwarmLab::checkPartialPeers(const QList<int> &peers)
{
    std::vector<Probe> probes;
    QList<int> probed;
    QList<int> utpOnly;
    for (const int i : peers) {
        if (m_seeders.at(size_t(i))->state.spec.transport == Transport::Utp) {
            utpOnly.append(i);
            continue;
        }
        probed.append(i);
        probes.push_back(probeOf(seeder(i), QStringLiteral("seeder %1").arg(i)));
    }
    runUntilAnswered(probes, m_layout.infoHash, kReadyWaitMs);
    QStringList wrong;
    int held = 0;
    for (size_t k = 0; k < probes.size(); ++k) {
        const QList<int> &want = m_seeders.at(size_t(probed.at(int(k))))->state.pieces;
        const QList<int> got = piecesOf(probes[k].bitfield, m_layout.numPieces);
        const Extended e = extendedOf(probes[k].extended);
        if (got != want || e.uploadOnly != 1)
            wrong << QStringLiteral("%1 shows %2 (should %3), upload only %4")
                         .arg(probes[k].label, pieceRanges(got), pieceRanges(want))
                         .arg(e.uploadOnly);
        held += int(got.size());
    }
    QElapsedTimer t;
    t.start();
    QStringList statusWrong;
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        statusWrong.clear();
        for (const int i : std::as_const(utpOnly))
            if (const QString w = partialStatusWrong(i); !w.isEmpty())
                statusWrong << w;
    } while (!statusWrong.isEmpty() && t.elapsed() < kReadyWaitMs);
    wrong += statusWrong;
    m_checks.append(result(QStringLiteral("partial peers"), wrong.isEmpty(),
                           wrong.isEmpty() ? QStringLiteral("%1 peers show their %2 pieces (of %3 each) in their "
                                                            "bitfields and say upload only; %4 uTP-only ones say so "
                                                            "in their status")
                                                 .arg(probes.size())
                                                 .arg(held)
                                                 .arg(m_layout.numPieces)
                                                 .arg(utpOnly.size())
                                           : wrong.join(QStringLiteral("; "))));
}

void SwarmLab::checkMetadata()
{
    std::vector<Probe> probes;
    for (int i = 0; i < seederCount(); ++i)
        if (m_seeders.at(size_t(i))->state.spec.kind == SeederKind::Libtorrent)
            probes.push_back(probeOf(seeder(i), QStringLiteral("seeder %1").arg(i)));
    runUntilAnswered(probes, m_layout.infoHash, kReadyWaitMs);
    QStringList wrong;
    for (const Probe &p : probes) {
        const Extended e = extendedOf(p.extended);
        if (!e.utMetadata || e.metadataSize != m_layout.metadataSize)
            wrong << QStringLiteral("%1 offers %2 bytes of metadata%3")
                         .arg(p.label)
                         .arg(e.metadataSize)
                         .arg(e.utMetadata ? QString() : QStringLiteral(", no ut_metadata"));
    }
    m_checks.append(result(QStringLiteral("metadata"), wrong.isEmpty() && !probes.empty(),
                           wrong.isEmpty() ? QStringLiteral("%1 seeders offer the %2 bytes of the info dictionary")
                                                 .arg(probes.size())
                                                 .arg(m_layout.metadataSize)
                                           : wrong.join(QStringLiteral("; "))));
}

void SwarmLab::checkDecoys()
{
    std::vector<Probe> probes;
    for (const int port : m_silentPorts + m_closedPorts)
        probes.push_back(probeAt(QStringLiteral("%1 %2")
                                     .arg(m_silentPorts.contains(port) ? QStringLiteral("silent") : QStringLiteral("closed"))
                                     .arg(port),
                                 QHostAddress::LocalHost, port));
    const size_t silent = size_t(m_silentPorts.size());
    run(probes, m_layout.infoHash, kSilenceMs, true);
    QStringList wrong;
    for (size_t k = 0; k < probes.size(); ++k) {
        const Probe &p = probes[k];
        const bool answered = p.bytesIn > 0 || (p.udp && p.udp->hasPendingDatagrams());
        if (k < silent && (!p.connected || answered))
            wrong << p.label + (p.connected ? QStringLiteral(" answered") : QStringLiteral(" did not accept"));
        if (k >= silent && !p.refused)
            wrong << p.label + QStringLiteral(" did not refuse");
    }
    m_probeConnections = int(silent);
    m_checks.append(result(QStringLiteral("decoys"), wrong.isEmpty(),
                           wrong.isEmpty() ? QStringLiteral("%1 silent ports accepted and sent nothing in %2 ms (TCP "
                                                            "nor uTP), %3 closed ports refused")
                                                 .arg(silent)
                                                 .arg(kSilenceMs)
                                                 .arg(probes.size() - silent)
                                           : wrong.join(QStringLiteral("; "))));
}

bool SwarmLab::checkSlotsHeld(bool final)
{
    QStringList states;
    bool all = true;
    for (const auto &s : m_seeders) {
        if (s->state.spec.unchokeSlots <= 0)
            continue;
        // The slow leecher alone, unchoked in the optimistic round: the regular slot, if any,
        // is empty, and a newcomer waits for the next round.
        const QString &st = s->state.status;
        // rounds=set: the round that loads the seeder's random phase is past (until then a
        // newcomer would take the slot in that round).
        const bool held = st.startsWith(QLatin1String("peers=1 ")) && st.endsWith(QLatin1String(" rounds=set")) &&
                          st.contains(QStringLiteral("unchoked=1 unchoked_ids=%1*:").arg(QLatin1String(kSlowLeecherId)));
        all = all && held;
        states << QStringLiteral("seeder %1 (first round %2 s): %3")
                      .arg(s->index)
                      .arg(s->state.optimisticFirstSec)
                      .arg(st.isEmpty() ? QStringLiteral("no status") : st);
    }
    if (all || final)
        m_checks.append(result(QStringLiteral("slots held"), all, states.join(QStringLiteral("; "))));
    return all;
}

bool SwarmLab::checkDhtAnnounced(bool final)
{
    QSet<int> heard;
    for (const auto &h : m_helpers)
        heard.unite(h->dhtHeard);
    QStringList missing;
    for (const auto &s : m_seeders)
        if (!heard.contains(s->state.listenPort))
            missing << QStringLiteral("seeder %1 (%2)").arg(s->index).arg(s->state.listenPort);
    if (missing.isEmpty() || final)
        m_checks.append(result(QStringLiteral("dht announces"), missing.isEmpty(),
                               missing.isEmpty() ? QStringLiteral("every seeder's port reached a DHT node")
                                                 : QStringLiteral("no node heard ") + missing.join(QStringLiteral(", "))));
    return missing.isEmpty();
}

} // namespace svd::lab
