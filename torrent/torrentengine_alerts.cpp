// TorrentEngine: the alert thread's loop and what peers' comings and goings set off.

#include "torrent/torrentengine.h"

#include "torrent/utpdial.h"

#include <libtorrent/alert_types.hpp>

namespace svd {

namespace {

void noteDropped(StreamTorrent *stream, const lt::tcp::endpoint &ep)
{
    if (const std::string key = peerKey(ep); !key.empty())
        stream->onPeerDropped(key);
}

} // namespace

void TorrentEngine::onPeerAlert(lt::alert *a, StreamTorrent *stream)
{
    const auto now = UtpDial::Clock::now();
    if (auto *x = lt::alert_cast<lt::peer_connect_alert>(a)) {
        if (x->direction == lt::peer_connect_alert::direction_t::out) {
            if (m_utpDial)
                m_utpDial->onDial(x->handle, x->endpoint, x->socket_type, now);
            stream->onPeerDialled(x->endpoint);
        }
        stream->onPeerConnected();
    } else if (auto *x = lt::alert_cast<lt::peer_disconnected_alert>(a)) {
        // A peer that ended TCP before its handshake (its peer id unknown) may take uTP. It
        // counts as dropped all the same: a source whose every peer turned us away is tried
        // beside the next one at once, and the uTP dial goes on meanwhile.
        if (m_utpDial) {
            if (m_ourPort <= 0)
                m_ourPort = m_session->listen_port();
            m_utpDial->onDisconnect(x->handle, x->endpoint, x->socket_type, !x->pid.is_all_zeros(), x->error,
                                    m_ourPort, now);
        }
        noteDropped(stream, x->endpoint);
        if (x->error == lt::errors::upload_upload_connection)
            stream->onUploadOnlyHangUp(x->endpoint);
    }
}

void TorrentEngine::startHeldTorrents()
{
    std::vector<std::shared_ptr<StreamTorrent>> streams;
    {
        std::lock_guard l(m_mutex);
        for (const auto &[id, stream] : m_byId)
            streams.push_back(stream);
    }
    for (const auto &stream : streams)
        stream->startIfHeld();
}

void TorrentEngine::alertLoop()
{
    std::vector<lt::alert *> alerts;
    while (!m_stop) {
        restoreUploadCapWhenDue();
        if (m_utpDial) {
            const auto now = UtpDial::Clock::now();
            m_utpDial->tick(now);
            m_holdStarts = m_utpDial->holdsStarts(now);
            if (!m_holdStarts)
                startHeldTorrents();
        }
        m_session->wait_for_alert(std::chrono::milliseconds(m_utpDial && m_utpDial->busy() ? 50 : 200));
        m_session->pop_alerts(&alerts);
        for (lt::alert *a : alerts)
            dispatch(a);
    }
}

} // namespace svd
