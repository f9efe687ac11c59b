#include "torrent/announceschedule.h"

#include "base/log.h"

#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <algorithm>

namespace svd {

namespace {

constexpr auto kReannounceEvery = std::chrono::seconds(30);
constexpr auto kPeerLookEvery = std::chrono::seconds(5);
constexpr auto kRedialAfter = std::chrono::seconds(2); // without any peer
constexpr auto kRedialEvery = std::chrono::seconds(2);
constexpr auto kRedialSlowAfter = std::chrono::seconds(60);
constexpr auto kRedialSlowEvery = std::chrono::seconds(10);
constexpr size_t kMaxDialled = 50;

double secondsOf(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

AnnounceSchedule::AnnounceSchedule(const QString &torrentId)
    : m_id(torrentId), m_lastReannounce(Clock::now())
{
}

void AnnounceSchedule::onTick(const lt::torrent_handle &h, int dhtNodes, int numPeers,
                              const std::vector<lt::tcp::endpoint> &dialled)
{
    if (dhtNodes >= 20 && !m_dhtForced) {
        try {
            h.force_dht_announce();
        } catch (const std::exception &) {
        }
        m_dhtForced = true;
        logLine(QStringLiteral("[%1] DHT has %2 nodes -> force_dht_announce").arg(m_id).arg(dhtNodes));
    }
    const auto now = Clock::now();
    reannounce(h, numPeers, now);
    watchPeers(h, numPeers, dialled, now);
}

void AnnounceSchedule::reannounce(const lt::torrent_handle &h, int numPeers, Clock::time_point now)
{
    if (numPeers > 4 || now - m_lastReannounce <= kReannounceEvery)
        return;
    m_lastReannounce = now;
    try {
        h.force_reannounce(0, -1, {});
        if (m_dhtForced)
            h.force_dht_announce();
    } catch (const std::exception &) {
    }
    ++m_reannounces;
    logLine(QStringLiteral("[%1] peers %2 < 5 -> re-announce #%3").arg(m_id).arg(numPeers).arg(m_reannounces));
}

void AnnounceSchedule::watchPeers(const lt::torrent_handle &h, int numPeers,
                                  const std::vector<lt::tcp::endpoint> &dialled, Clock::time_point now)
{
    // The connections standing at the last look come first, then the dials the alerts saw.
    const auto addDialled = [this, &dialled] {
        for (const lt::tcp::endpoint &ep : dialled)
            if (m_dialled.size() < kMaxDialled && std::find(m_dialled.begin(), m_dialled.end(), ep) == m_dialled.end())
                m_dialled.push_back(ep);
    };
    if (numPeers > 0) {
        if (m_peersGone)
            logLine(QStringLiteral("[%1] peers back after %2 s without any (%3 redials)")
                        .arg(m_id)
                        .arg(secondsOf(now - m_peersGoneAt), 0, 'f', 1)
                        .arg(m_redials));
        m_peersGone = false;
        // Only the peers we dialled: the port of one that dialled us is not where it listens.
        if (now - m_lastPeerLook >= kPeerLookEvery) {
            m_lastPeerLook = now;
            std::vector<lt::peer_info> peers;
            try {
                h.get_peer_info(peers);
            } catch (const std::exception &) {
            }
            m_dialled.clear();
            for (const lt::peer_info &p : peers)
                if ((p.flags & lt::peer_info::local_connection) && m_dialled.size() < kMaxDialled)
                    m_dialled.push_back(p.ip);
            addDialled();
        }
        return;
    }
    addDialled();
    if (m_dialled.empty())
        return;
    if (!m_peersGone) {
        m_peersGone = true;
        m_peersGoneAt = now;
        m_redials = 0;
        m_lastRedial = now;
        return;
    }
    const auto gone = now - m_peersGoneAt;
    const auto every = gone < kRedialSlowAfter ? kRedialEvery : kRedialSlowEvery;
    if (gone >= kRedialAfter && now - m_lastRedial >= every)
        redial(h, now);
}

// libtorrent dials a peer again only (failures + 1) minutes after its last connection ended,
// and not at all after three failures. Naming the peer as heard from a tracker takes one
// failure off, and leaving upload mode is libtorrent's own way to clear every peer's wait.
void AnnounceSchedule::redial(const lt::torrent_handle &h, Clock::time_point now)
{
    m_lastRedial = now;
    try {
        const lt::torrent_status st = h.status({});
        // Paused, finished, or held in upload mode by a disk error: nothing to dial for.
        if ((st.flags & (lt::torrent_flags::paused | lt::torrent_flags::upload_mode)) || st.is_finished ||
            st.state != lt::torrent_status::downloading)
            return;
        for (const lt::tcp::endpoint &ep : m_dialled)
            h.connect_peer(ep, lt::peer_info::tracker);
        h.set_flags(lt::torrent_flags::upload_mode);
        h.unset_flags(lt::torrent_flags::upload_mode);
    } catch (const std::exception &) {
        return;
    }
    if (m_redials++ == 0)
        logLine(QStringLiteral("[%1] no peer for %2 s -> redialing %3 known peers every %4 s")
                    .arg(m_id)
                    .arg(secondsOf(now - m_peersGoneAt), 0, 'f', 1)
                    .arg(m_dialled.size())
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(kRedialEvery).count()));
}

} // namespace svd
