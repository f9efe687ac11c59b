#include "torrent/announceschedule.h"

#include "base/log.h"

namespace svd {

AnnounceSchedule::AnnounceSchedule(const QString &torrentId)
    : m_id(torrentId), m_lastReannounce(std::chrono::steady_clock::now())
{
}

void AnnounceSchedule::onTick(const lt::torrent_handle &h, int dhtNodes, int numPeers)
{
    if (dhtNodes >= 20 && !m_dhtForced) {
        try {
            h.force_dht_announce();
        } catch (const std::exception &) {
        }
        m_dhtForced = true;
        logLine(QStringLiteral("[%1] DHT has %2 nodes -> force_dht_announce").arg(m_id).arg(dhtNodes));
    }
    const auto now = std::chrono::steady_clock::now();
    if (numPeers <= 4 && now - m_lastReannounce > std::chrono::seconds(30)) {
        m_lastReannounce = now;
        try {
            h.force_reannounce(0, -1, {});
            if (m_dhtForced)
                h.force_dht_announce();
        } catch (const std::exception &) {
        }
        ++m_reannounces;
        logLine(QStringLiteral("[%1] peers %2 < 5 -> re-announce #%3")
                    .arg(m_id)
                    .arg(numPeers)
                    .arg(m_reannounces));
    }
}

} // namespace svd
