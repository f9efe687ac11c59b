#pragma once

#include <libtorrent/session.hpp>
#include <libtorrent/socket.hpp>
#include <libtorrent/socket_type.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <chrono>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace svd {

// Outgoing connections go over TCP: libtorrent would try uTP first and make every TCP-only
// peer wait out the uTP time-out. A peer whose TCP connection ends before its handshake
// (refused, timed out, or closed at once, as a peer that takes only uTP does) gets a uTP dial
// right after: libtorrent chooses the transport only session-wide, so for a few ticks outgoing
// uTP is switched on and the reconnect wait off, and the waiting peers are named again.
// Anything libtorrent dials in that window goes over uTP too; a TCP-only peer among them costs
// its uTP time-out once and is never dialled over uTP again.
// Such a peer does not count as dropped until its uTP dial failed too (or never came).
// Alert thread only.
class UtpDial
{
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<lt::torrent_handle, lt::tcp::endpoint>;

    // minReconnectTime: the session's own setting, restored when a window closes.
    UtpDial(lt::session *session, int minReconnectTime);

    void onDial(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type, Clock::time_point now);
    // True when the peer counts as dropped now.
    bool onDisconnect(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type,
                      bool handshakeSeen, Clock::time_point now);
    // Opens and closes the uTP window; returns the waiting peers whose uTP dial never came
    // (they count as dropped now).
    std::vector<Key> tick(Clock::time_point now);
    // More to do soon: the alert loop should not sleep long.
    bool busy() const { return m_open || !m_waiting.empty(); }

private:
    void setWindow(bool open);

    lt::session *m_session;
    const int m_minReconnectTime;
    std::set<Key> m_tcpDialled;                 // our TCP connections not closed yet
    std::map<Key, Clock::time_point> m_waiting; // TCP failed at, no uTP dial yet
    std::map<Key, Clock::time_point> m_utpDialled;
    bool m_newWaiting = false;                  // since the last window opened
    bool m_open = false;
    Clock::time_point m_openedAt{};
    Clock::time_point m_lastNaming{};
    Clock::time_point m_lastPrune{};
};

} // namespace svd
