#pragma once

#include <libtorrent/error_code.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/socket.hpp>
#include <libtorrent/socket_type.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <utility>

namespace svd {

// Outgoing connections go over TCP: libtorrent would try uTP first and make every TCP-only
// peer wait out the uTP time-out. A peer that turns our TCP connection away before its
// handshake (refused, or accepted and closed at once, as a peer that takes only uTP does) gets
// a uTP dial next: libtorrent chooses the transport only session-wide, so while such a peer
// waits, outgoing uTP is on and the reconnect wait off, and the waiting peers are named again
// every round until libtorrent has dialled each of them over uTP (or they waited too long).
// Anything libtorrent dials meanwhile goes over uTP too; a TCP-only peer among them costs its
// uTP time-out once and is never dialled over uTP again. A dial that timed out is no refusal
// (a silent peer would answer uTP no better), and a dial to our own listening port is no peer.
// Alert thread only.
class UtpDial
{
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<lt::torrent_handle, lt::tcp::endpoint>;

    explicit UtpDial(lt::session *session);

    // True for the ways a peer turns a TCP connection away; not for time-outs.
    static bool isRefusal(const lt::error_code &ec);

    void onDial(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type, Clock::time_point now);
    // ourPort: the port the session listens on; a dial to it on this machine reached us.
    void onDisconnect(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type,
                      bool handshakeSeen, const lt::error_code &ec, int ourPort, Clock::time_point now);
    // Opens the uTP window, names the waiting peers again, and closes the window with the
    // session's settings as they were when it opened.
    void tick(Clock::time_point now);
    // More to do soon: the alert loop should not sleep long.
    bool busy() const { return m_saved.has_value() || !m_waiting.empty(); }
    bool windowOpen() const { return m_saved.has_value(); }
    // A torrent starting now would dial its first peers over uTP, TCP-only ones included, and
    // uTP from a busy machine loses packets where TCP does not (each loss a half-second stall):
    // new torrents wait for the window to close, which takes one dial round and a linger, but
    // no longer than a moment should it stay open.
    bool holdsStarts(Clock::time_point now) const;

private:
    void openWindow();
    void closeWindow();

    struct Saved {
        bool outgoingUtp = false;
        int minReconnectTime = 0;
    };

    lt::session *m_session;
    std::set<Key> m_tcpDialled;                 // our TCP connections not closed yet
    std::map<Key, Clock::time_point> m_waiting; // TCP turned away at, no uTP dial yet
    std::map<Key, Clock::time_point> m_utpDialled;
    std::optional<Saved> m_saved; // set while the window is open: what closing it restores
    struct Boost {
        int count = 0;
        Clock::time_point first{}; // of the minute counted
        Clock::time_point at{};
    };
    std::map<lt::torrent_handle, Boost> m_boosted; // announces asked for the uTP dials
    Clock::time_point m_openedAt{};
    Clock::time_point m_lastWaiter{};
    Clock::time_point m_lastNaming{};
    Clock::time_point m_lastPrune{};
};

} // namespace svd
