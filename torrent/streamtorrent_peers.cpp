// StreamTorrent: its peers and the figures the GUI thread's tick reads.

#include "torrent/streamtorrent.h"

#include "base/log.h"

#include <libtorrent/torrent_status.hpp>

#include <algorithm>
#include <climits>

namespace svd {

namespace {

// The redial after an outage names these; the first dials of a torrent are its tracker's best.
constexpr size_t kMaxDialledPeers = 50;

} // namespace

void StreamTorrent::onPeerDialled(const lt::tcp::endpoint &ep)
{
    std::lock_guard l(m_infoMutex);
    if (m_dialledPeers.size() < kMaxDialledPeers && std::find(m_dialledPeers.begin(), m_dialledPeers.end(), ep) == m_dialledPeers.end())
        m_dialledPeers.push_back(ep);
}

void StreamTorrent::startIfHeld()
{
    {
        std::lock_guard l(m_infoMutex);
        if (!m_startHeld)
            return;
    }
    updateWindow(true);
}

void StreamTorrent::onPeerConnected()
{
    {
        std::lock_guard l(m_infoMutex);
        if (m_firstPeerAt >= 0)
            return;
        m_firstPeerAt = logClock();
    }
    logLine(QStringLiteral("[%1] first peer connected").arg(m_id));
}

std::string peerKey(const lt::tcp::endpoint &peer)
{
    try {
        return peer.address().to_string() + ':' + std::to_string(peer.port());
    } catch (const std::exception &) {
        return {};
    }
}

void StreamTorrent::onUploadOnlyHangUp(const lt::tcp::endpoint &peer)
{
    const std::string key = peerKey(peer);
    if (key.empty())
        return;
    {
        std::lock_guard l(m_infoMutex);
        // Once: a torrent that still wants nothing would be hung up on again.
        if (m_served.empty() || !m_uploadOnlyRedialled.insert(key).second)
            return;
    }
    try {
        handle().connect_peer(peer);
    } catch (const std::exception &) {
        return;
    }
    logLine(QStringLiteral("[%1] %2 hung up on us for wanting nothing -> dialling it again")
                .arg(m_id, QString::fromStdString(key)));
}

void StreamTorrent::onPeerDropped(const std::string &endpoint)
{
    std::lock_guard l(m_infoMutex);
    if (m_droppedPeers.size() < 4096)
        m_droppedPeers.insert(endpoint);
}

StreamStats StreamTorrent::tick(int dhtNodes)
{
    const lt::torrent_handle h = handle();
    if (!h.is_valid())
        return {};
    lt::torrent_status st;
    try {
        st = h.status();
    } catch (const std::exception &) {
        return {};
    }
    StreamStats s;
    static_cast<PeerCounts &>(s) = peerCountsOf(st);
    s.numSeeds = st.num_seeds;
    s.downloadRate = st.download_payload_rate;
    s.uploadRate = st.upload_payload_rate;
    s.payloadUploaded = st.total_payload_upload;
    s.bytesDone = st.total_done;
    s.piecesDone = st.num_pieces;
    s.hashFailures = hashFailures;

    if (st.errc && !hasStorageError())
        onStorageError(QStringLiteral("torrent stopped: %1 (file index %2)")
                           .arg(QString::fromStdString(st.errc.message()))
                           .arg(static_cast<int>(st.error_file)),
                       isDiskFullError(st.errc));

    std::vector<lt::tcp::endpoint> dialled;
    {
        std::lock_guard l(m_infoMutex);
        dialled = m_dialledPeers;
    }
    m_announces.onTick(h, dhtNodes, s.numPeers, dialled);
    s.reannounces = m_announces.reannounces();
    {
        std::lock_guard l(m_infoMutex);
        m_lastStats = s;
    }
    return s;
}

PeerCounts StreamTorrent::peerCountsOf(const lt::torrent_status &st) const
{
    PeerCounts s;
    s.valid = true;
    s.numPeers = st.num_peers;
    s.listPeers = st.list_peers;
    s.numConnections = st.num_connections;
    s.payloadDownloaded = st.total_payload_download;
    std::lock_guard l(m_infoMutex);
    s.droppedPeers = int(m_droppedPeers.size());
    return s;
}

PeerCounts StreamTorrent::peerCounts() const
{
    const lt::torrent_handle h = handle();
    if (!h.is_valid())
        return {};
    try {
        return peerCountsOf(h.status({}));
    } catch (const std::exception &) {
        return {};
    }
}

void StreamTorrent::setDownloadLimit(qint64 bytesPerSecond)
{
    const lt::torrent_handle h = handle();
    if (!h.is_valid())
        return;
    try {
        h.set_download_limit(bytesPerSecond < 1 ? -1 : int(std::min<qint64>(bytesPerSecond, INT_MAX)));
    } catch (const std::exception &) {
    }
}

} // namespace svd
