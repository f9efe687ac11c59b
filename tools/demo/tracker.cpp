#include "tools/demo/tracker.h"

#include <QJsonObject>
#include <QtEndian>

namespace svd::demo {

namespace {

QByteArray bencodeString(const QByteArray &s)
{
    return QByteArray::number(s.size()) + ':' + s;
}

QByteArray bencodeInt(qint64 v)
{
    return 'i' + QByteArray::number(v) + 'e';
}

} // namespace

bool parseAnnounce(const QByteArray &encodedQuery, Announce *out, QByteArray *error)
{
    Announce a;
    bool havePort = false;
    for (const QByteArray &pair : encodedQuery.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = QByteArray::fromPercentEncoding(pair.left(eq));
        const QByteArray value = QByteArray::fromPercentEncoding(pair.mid(eq + 1));
        bool ok = true;
        if (key == "info_hash") {
            a.infoHash = value;
        } else if (key == "peer_id") {
            a.peerId = value;
        } else if (key == "port") {
            a.port = value.toInt(&ok);
            havePort = ok;
        } else if (key == "left") {
            a.left = value.toLongLong(&ok);
            if (!ok)
                a.left = -1;
        } else if (key == "event") {
            a.event = value;
        } else if (key == "numwant") {
            const int n = value.toInt(&ok);
            if (ok && n >= 0)
                a.numWant = qMin(n, 200);
        }
    }
    QByteArray problem;
    if (a.infoHash.size() != 20)
        problem = "info_hash must be 20 bytes";
    else if (a.peerId.size() != 20)
        problem = "peer_id must be 20 bytes";
    else if (!havePort || a.port < 1 || a.port > 65535)
        problem = "bad port";
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    *out = a;
    return true;
}

QByteArray announceAnswer(int complete, int incomplete, int intervalSec, const QList<int> &ports)
{
    QByteArray peers;
    for (const int port : ports) {
        // Compact form: 4 address bytes, 2 port bytes, network order.
        uchar entry[6] = {127, 0, 0, 1, 0, 0};
        qToBigEndian(quint16(port), entry + 4);
        peers.append(reinterpret_cast<const char *>(entry), 6);
    }
    return "d" + bencodeString("complete") + bencodeInt(complete) + bencodeString("incomplete") +
           bencodeInt(incomplete) + bencodeString("interval") + bencodeInt(intervalSec) +
           bencodeString("min interval") + bencodeInt(qMax(1, intervalSec / 3)) + bencodeString("peers") +
           bencodeString(peers) + "e";
}

QByteArray Tracker::failure(const QByteArray &reason)
{
    return "d" + bencodeString("failure reason") + bencodeString(reason) + "e";
}

void Tracker::expire(double now)
{
    const double maxAge = 3.0 * m_interval;
    for (auto it = m_swarms.begin(); it != m_swarms.end();) {
        it->removeIf([&](const Peer &p) { return now - p.lastSeen > maxAge; });
        it = it->isEmpty() ? m_swarms.erase(it) : std::next(it);
    }
}

QByteArray Tracker::announce(const Announce &a, double now)
{
    expire(now);
    QList<Peer> &swarm = m_swarms[a.infoHash];
    swarm.removeIf([&](const Peer &p) { return p.peerId == a.peerId || p.port == a.port; });
    if (a.event != "stopped")
        swarm.append(Peer{a.peerId, a.port, a.left == 0 || a.event == "completed", now});

    QList<int> ports;
    int complete = 0;
    int incomplete = 0;
    for (const Peer &p : swarm) {
        (p.seeding ? complete : incomplete) += 1;
        if (p.peerId != a.peerId && ports.size() < a.numWant)
            ports.append(p.port);
    }
    if (swarm.isEmpty())
        m_swarms.remove(a.infoHash);
    return announceAnswer(complete, incomplete, m_interval, ports);
}

Tracker::Counts Tracker::counts(const QByteArray &infoHash, double now) const
{
    Counts c;
    for (const Peer &p : m_swarms.value(infoHash)) {
        if (now - p.lastSeen > 3.0 * m_interval)
            continue;
        (p.seeding ? c.seeders : c.leechers) += 1;
    }
    return c;
}

QJsonObject Tracker::stats(double now) const
{
    QJsonObject o;
    for (auto it = m_swarms.constBegin(); it != m_swarms.constEnd(); ++it) {
        const Counts c = counts(it.key(), now);
        o.insert(QString::fromLatin1(it.key().toHex()),
                 QJsonObject{{QStringLiteral("seeders"), c.seeders}, {QStringLiteral("leechers"), c.leechers}});
    }
    return o;
}

std::optional<HttpResponse> Tracker::handle(const HttpRequest &request, double now)
{
    const QString path = request.path();
    if (path == QLatin1String("/tracker/stats"))
        return HttpResponse::json(stats(now));
    if (path != QLatin1String("/announce"))
        return std::nullopt;
    Announce a;
    QByteArray error;
    if (!parseAnnounce(request.url.query(QUrl::FullyEncoded).toLatin1(), &a, &error))
        return HttpResponse::bytes(failure(error), "text/plain");
    return HttpResponse::bytes(announce(a, now), "text/plain");
}

} // namespace svd::demo
