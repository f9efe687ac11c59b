#pragma once

#include <QString>

#include <libtorrent/socket.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <chrono>
#include <vector>

namespace svd {

// Asks for more peers while a torrent has few: once from the DHT as soon as it has enough
// nodes, and from its trackers (and the DHT, once it was asked) every 30 s while at most four
// peers are connected. When every peer is gone (a network outage), it redials the peers it
// had dialled every 2 s (every 10 s after a minute): libtorrent itself waits a minute and more
// before it dials a peer whose connection ended, which is long past a stream's buffer.
// Driven by the GUI thread's once-a-second tick only.
class AnnounceSchedule
{
public:
    explicit AnnounceSchedule(const QString &torrentId);
    // dialled: every peer we dialled so far, as the alerts saw it: a connection that ended
    // between two ticks is never seen by one, and its peer must still be redialled.
    void onTick(const lt::torrent_handle &h, int dhtNodes, int numPeers,
                const std::vector<lt::tcp::endpoint> &dialled);
    int reannounces() const { return m_reannounces; }

private:
    using Clock = std::chrono::steady_clock;
    void reannounce(const lt::torrent_handle &h, int numPeers, Clock::time_point now);
    void watchPeers(const lt::torrent_handle &h, int numPeers, const std::vector<lt::tcp::endpoint> &dialled,
                    Clock::time_point now);
    void redial(const lt::torrent_handle &h, Clock::time_point now);

    const QString m_id;
    bool m_dhtForced = false;
    Clock::time_point m_lastReannounce;
    int m_reannounces = 0;

    std::vector<lt::tcp::endpoint> m_dialled; // peers we connected to, as last seen
    Clock::time_point m_lastPeerLook{};
    Clock::time_point m_peersGoneAt{};        // valid while no peer is connected
    bool m_peersGone = false;
    Clock::time_point m_lastRedial{};
    int m_redials = 0;
};

} // namespace svd
