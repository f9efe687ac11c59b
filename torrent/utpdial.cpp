#include "torrent/utpdial.h"

#include "base/log.h"

#include <libtorrent/error.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/settings_pack.hpp>

#include <boost/asio/error.hpp>

namespace svd {

namespace {

// Libtorrent dials from its peer list once a second, and later still on a loaded machine: a
// waiting peer is named on every 100 ms round until its uTP dial is seen. A peer not dialled
// in this long is left to libtorrent's own redial.
constexpr auto kNameEvery = std::chrono::milliseconds(100);
constexpr auto kGiveUp = std::chrono::seconds(10);
// The window outlives its last waiter by a round, so a dial libtorrent has begun is not cut
// over to TCP by the restore.
constexpr auto kLinger = std::chrono::milliseconds(100);
// A TCP failure this soon after a uTP dial: both transports were tried.
constexpr auto kBothTried = std::chrono::seconds(15);
constexpr auto kForgetAfter = std::chrono::seconds(60);
constexpr auto kHoldStartsFor = std::chrono::milliseconds(500);
constexpr int kMaxBoosts = 3;
constexpr auto kBoostAgainAfter = std::chrono::milliseconds(150);
constexpr auto kBoostsPer = std::chrono::seconds(60);
constexpr size_t kMaxPeers = 4096;

bool isUtp(lt::socket_type_t t)
{
    return t == lt::socket_type_t::utp || t == lt::socket_type_t::utp_ssl;
}

bool isOurs(const lt::tcp::endpoint &ep, const lt::error_code &ec, int ourPort)
{
    if (ec == lt::errors::self_connection)
        return true;
    const auto a = ep.address();
    return ourPort > 0 && ep.port() == ourPort && (a.is_loopback() || a.is_unspecified());
}

} // namespace

UtpDial::UtpDial(lt::session *session) : m_session(session)
{
}

bool UtpDial::isRefusal(const lt::error_code &ec)
{
    namespace ae = boost::asio::error;
    return ec == ae::connection_refused || ec == ae::eof || ec == ae::connection_reset
        || ec == ae::connection_aborted || ec == ae::broken_pipe;
}

void UtpDial::onDial(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type,
                     Clock::time_point now)
{
    const Key key{h, ep};
    if (!isUtp(type)) {
        if (m_tcpDialled.size() < kMaxPeers)
            m_tcpDialled.insert(key);
        return;
    }
    m_waiting.erase(key);
    if (m_utpDialled.size() < kMaxPeers || m_utpDialled.count(key))
        m_utpDialled[key] = now;
}

void UtpDial::onDisconnect(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type,
                           bool handshakeSeen, const lt::error_code &ec, int ourPort, Clock::time_point now)
{
    const Key key{h, ep};
    // Only our own dials: the port of a peer that dialled us is not where it listens.
    const bool dialledByUs = m_tcpDialled.erase(key) > 0;
    if (handshakeSeen || isUtp(type) || !dialledByUs || !isRefusal(ec) || isOurs(ep, ec, ourPort))
        return;
    const auto dialled = m_utpDialled.find(key);
    if (dialled != m_utpDialled.end() && now - dialled->second < kBothTried)
        return;
    if (m_waiting.size() >= kMaxPeers)
        return;
    m_waiting.emplace(key, now);
    m_lastWaiter = now;
}

void UtpDial::tick(Clock::time_point now)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        // A torrent removed with connections open posts no alert we see for them.
        if (now - it->second >= kGiveUp || !it->first.first.is_valid())
            it = m_waiting.erase(it);
        else
            ++it;
    }
    if (!m_waiting.empty()) {
        m_lastWaiter = now;
        if (!m_saved) {
            m_openedAt = now;
            openWindow();
            m_lastNaming = Clock::time_point{};
        }
    }
    if (m_saved && !m_waiting.empty() && now - m_lastNaming >= kNameEvery) {
        // Named again on every round: a name given before libtorrent has put the closed
        // connection away is lost on it.
        m_lastNaming = now;
        for (const auto &w : m_waiting) {
            try {
                w.first.first.connect_peer(w.first.second, lt::peer_info::tracker);
            } catch (const std::exception &) {
            }
            // Libtorrent dials from its peer list once a second, except right after a tracker
            // reply (its connect boost, while the torrent's boost budget lasts: the session sets
            // it high): an announce brings the uTP dial forward by up to that second. A forced
            // announce is due at the start of the whole second after the time given: "a second
            // ago" makes it due now, where "now" would wait up to a second, as
            // long as the dial round it should beat. A reply that comes before libtorrent has
            // put the closed connection away finds no peer to dial: the peer still waiting a
            // moment later gets another. A few at most per torrent and minute, however many
            // windows open: each ignores the tracker's minimum interval.
            Boost &b = m_boosted[w.first.first];
            if (b.count > 0 && now - b.first >= kBoostsPer)
                b.count = 0;
            if (b.count < kMaxBoosts && (b.count == 0 || now - b.at >= kBoostAgainAfter)) {
                if (b.count++ == 0)
                    b.first = now;
                b.at = now;
                try {
                    w.first.first.force_reannounce(-1, -1, lt::torrent_handle::ignore_min_interval);
                } catch (const std::exception &) {
                }
            }
        }
    }
    if (m_saved && m_waiting.empty() && now - m_lastWaiter >= kLinger)
        closeWindow();
    if (now - m_lastPrune >= kForgetAfter / 4) {
        m_lastPrune = now;
        for (auto it = m_utpDialled.begin(); it != m_utpDialled.end();)
            it = now - it->second >= kForgetAfter ? m_utpDialled.erase(it) : std::next(it);
        for (auto it = m_tcpDialled.begin(); it != m_tcpDialled.end();)
            it = it->first.is_valid() ? std::next(it) : m_tcpDialled.erase(it);
        for (auto it = m_boosted.begin(); it != m_boosted.end();)
            it = it->first.is_valid() && now - it->second.first < kBoostsPer ? std::next(it) : m_boosted.erase(it);
    }
}

bool UtpDial::holdsStarts(Clock::time_point now) const
{
    return m_saved.has_value() && now - m_openedAt < kHoldStartsFor;
}

void UtpDial::openWindow()
{
    // What the session runs with now, not what it started with: closing the window puts back
    // exactly this.
    Saved saved;
    try {
        const lt::settings_pack live = m_session->get_settings();
        saved.outgoingUtp = live.get_bool(lt::settings_pack::enable_outgoing_utp);
        saved.minReconnectTime = live.get_int(lt::settings_pack::min_reconnect_time);
    } catch (const std::exception &) {
        return;
    }
    m_saved = saved;
    logLine(QStringLiteral("engine: %1 peer(s) ended the TCP connection before the handshake -> dialling over uTP")
                .arg(m_waiting.size()));
    lt::settings_pack s;
    s.set_bool(lt::settings_pack::enable_outgoing_utp, true);
    s.set_int(lt::settings_pack::min_reconnect_time, 0);
    m_session->apply_settings(std::move(s)); // posts to the session thread
}

void UtpDial::closeWindow()
{
    lt::settings_pack s;
    s.set_bool(lt::settings_pack::enable_outgoing_utp, m_saved->outgoingUtp);
    s.set_int(lt::settings_pack::min_reconnect_time, m_saved->minReconnectTime);
    m_saved.reset();
    m_session->apply_settings(std::move(s));
}

} // namespace svd
