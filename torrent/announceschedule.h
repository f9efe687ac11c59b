#pragma once

#include <QString>

#include <libtorrent/torrent_handle.hpp>

#include <chrono>

namespace svd {

// Asks for more peers while a torrent has few: once from the DHT as soon as it has enough
// nodes, and from its trackers (and the DHT, once it was asked) every 30 s while at most four
// peers are connected. Driven by the GUI thread's once-a-second tick only.
class AnnounceSchedule
{
public:
    explicit AnnounceSchedule(const QString &torrentId);
    void onTick(const lt::torrent_handle &h, int dhtNodes, int numPeers);
    int reannounces() const { return m_reannounces; }

private:
    const QString m_id;
    bool m_dhtForced = false;
    std::chrono::steady_clock::time_point m_lastReannounce;
    int m_reannounces = 0;
};

} // namespace svd
