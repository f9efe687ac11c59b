#include "tools/swarmlab/labtracker.h"

#include "tools/demo/tracker.h"

namespace svd::lab {

std::optional<HttpResponse> LabTracker::handle(const HttpRequest &request, double now)
{
    if (request.path() != QLatin1String("/announce"))
        return std::nullopt;
    demo::Announce a;
    QByteArray error;
    if (!demo::parseAnnounce(request.url.query(QUrl::FullyEncoded).toLatin1(), &a, &error))
        return HttpResponse::bytes(demo::Tracker::failure(error), "text/plain");
    for (auto it = m_leechers.begin(); it != m_leechers.end();)
        it = now - it->lastSeen > 3.0 * m_interval ? m_leechers.erase(it) : std::next(it);

    const int seeders = int(m_advertised.size());
    if (m_seederPorts.contains(a.port))
        return HttpResponse::bytes(demo::announceAnswer(seeders, int(m_leechers.size()), m_interval, {}),
                                   "text/plain");
    if (a.event == "stopped")
        m_leechers.remove(a.peerId);
    else
        m_leechers.insert(a.peerId, Leecher{a.port, now});
    if (m_leecherAnnounces++ == 0 && m_firstLeecher)
        m_firstLeecher();
    QList<int> ports = m_decoys + m_advertised;
    for (auto it = m_leechers.constBegin(); it != m_leechers.constEnd(); ++it)
        if (it.key() != a.peerId)
            ports.append(it->port);
    ports = ports.mid(0, a.numWant);
    return HttpResponse::bytes(demo::announceAnswer(seeders, int(m_leechers.size()), m_interval, ports),
                               "text/plain");
}

} // namespace svd::lab
