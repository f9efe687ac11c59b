#include "torrent/utpdial.h"

#include "base/log.h"

#include <libtorrent/peer_info.hpp>
#include <libtorrent/settings_pack.hpp>

namespace svd {

namespace {

// Libtorrent dials on its tick (100 ms here). The window stays open until every waiting
// peer was dialled over uTP, for a tick at least and 1.5 s at most.
constexpr auto kWindowMin = std::chrono::milliseconds(100);
constexpr auto kWindowMax = std::chrono::milliseconds(1500);
constexpr auto kNameEvery = std::chrono::milliseconds(100);
constexpr auto kWindowGap = std::chrono::seconds(1);
// A peer waiting this long for its uTP dial counts as dropped (the failover's dead-swarm rule).
constexpr auto kUtpTurn = std::chrono::seconds(4);
// A TCP failure this soon after a uTP dial: both transports were tried.
constexpr auto kBothTried = std::chrono::seconds(15);
constexpr auto kForgetAfter = std::chrono::seconds(60);
constexpr size_t kMaxPeers = 4096;

bool isUtp(lt::socket_type_t t)
{
    return t == lt::socket_type_t::utp || t == lt::socket_type_t::utp_ssl;
}

} // namespace

UtpDial::UtpDial(lt::session *session, int minReconnectTime)
    : m_session(session), m_minReconnectTime(minReconnectTime)
{
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

bool UtpDial::onDisconnect(const lt::torrent_handle &h, const lt::tcp::endpoint &ep, lt::socket_type_t type,
                           bool handshakeSeen, Clock::time_point now)
{
    const Key key{h, ep};
    // Only our own dials: the port of a peer that dialled us is not where it listens.
    const bool dialledByUs = m_tcpDialled.erase(key) > 0;
    if (handshakeSeen || isUtp(type) || !dialledByUs)
        return true;
    const auto dialled = m_utpDialled.find(key);
    if (dialled != m_utpDialled.end() && now - dialled->second < kBothTried)
        return true;
    if (m_waiting.count(key))
        return false;
    if (m_waiting.size() >= kMaxPeers)
        return true;
    m_waiting.emplace(key, now);
    m_newWaiting = true;
    return false;
}

std::vector<UtpDial::Key> UtpDial::tick(Clock::time_point now)
{
    if (m_newWaiting && (m_open || now - m_openedAt >= kWindowGap)) {
        m_newWaiting = false;
        if (!m_open) {
            setWindow(true);
            m_open = true;
            m_openedAt = now;
            m_lastNaming = Clock::time_point{};
            logLine(QStringLiteral("engine: %1 peer(s) ended the TCP connection before the handshake -> dialling over uTP")
                        .arg(m_waiting.size()));
        }
    }
    if (m_open && now - m_lastNaming >= kNameEvery) {
        // Named again on every round: a name given before libtorrent has put the closed
        // connection away is lost on it.
        m_lastNaming = now;
        for (const auto &w : m_waiting) {
            try {
                w.first.first.connect_peer(w.first.second, lt::peer_info::tracker);
            } catch (const std::exception &) {
            }
        }
    }
    if (m_open && (now - m_openedAt >= kWindowMax || (m_waiting.empty() && now - m_openedAt >= kWindowMin))) {
        setWindow(false);
        m_open = false;
    }
    std::vector<Key> late;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (now - it->second >= kUtpTurn) {
            late.push_back(it->first);
            it = m_waiting.erase(it);
        } else {
            ++it;
        }
    }
    if (now - m_lastPrune >= kForgetAfter / 4) {
        m_lastPrune = now;
        for (auto it = m_utpDialled.begin(); it != m_utpDialled.end();)
            it = now - it->second >= kForgetAfter ? m_utpDialled.erase(it) : std::next(it);
        // A torrent removed with connections open posts no alert we see for them.
        for (auto it = m_tcpDialled.begin(); it != m_tcpDialled.end();)
            it = it->first.is_valid() ? std::next(it) : m_tcpDialled.erase(it);
    }
    return late;
}

void UtpDial::setWindow(bool open)
{
    lt::settings_pack s;
    s.set_bool(lt::settings_pack::enable_outgoing_utp, open);
    s.set_int(lt::settings_pack::min_reconnect_time, open ? 0 : m_minReconnectTime);
    m_session->apply_settings(std::move(s)); // posts to the session thread
}

} // namespace svd
