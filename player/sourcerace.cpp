#include "player/sourcerace.h"

#include "base/log.h"
#include "player/torrentopen.h"
#include "sources/sourceprovider.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

namespace svd {

namespace {

constexpr double kSilentSourceSec = 2.0; // no peer this long after open: try the next source too

} // namespace

SourceRace::SourceRace(TorrentEngine *engine, SourceProvider *provider, QObject *parent)
    : QObject(parent), m_engine(engine), m_provider(provider)
{
}

SourceRace::Silence SourceRace::silence(const PeerCounts &st, double secondsOpen)
{
    // Every peer the source knows has already dropped us without sending a byte (a dead
    // swarm's stale peers, or peers without this torrent): no reason to wait out the 2 s.
    if (st.valid && st.listPeers > 0 && st.droppedPeers >= st.listPeers && st.numConnections == 0 &&
        st.payloadDownloaded == 0)
        return Silence::AllPeersDropped;
    // Connected peers (a connection that never finished its handshake does not count).
    if (st.numPeers > 0 || secondsOpen < kSilentSourceSec)
        return Silence::None;
    return Silence::NoPeers;
}

SourceRace::Step SourceRace::watch(const StreamTorrent &current, int index, int candidate,
                                   const QList<SourceInfo> &sources)
{
    if (m_rival) {
        serveSourceFile(m_rival.get(), m_source);
        if (current.events().firstPieceAt >= 0)
            close(QStringLiteral("source %1 delivered first").arg(index));
        else if (m_rival->events().firstPieceAt >= 0)
            return Step::RivalWon;
        return Step::Waiting;
    }
    if (m_opened || current.events().firstPieceAt >= 0)
        return Step::Waiting;
    const PeerCounts st = current.peerCounts();
    const Silence quiet = silence(st, logClock() - current.openedAt());
    if (quiet == Silence::None || candidate <= index)
        return Step::Waiting;
    if (quiet == Silence::AllPeersDropped)
        logLine(QStringLiteral("player: source %1: all %2 known peers dropped the connection -> trying source %3 alongside")
                    .arg(index)
                    .arg(st.listPeers)
                    .arg(candidate));
    else
        logLine(QStringLiteral("player: source %1 has no peers after 2 s -> trying source %2 alongside")
                    .arg(index)
                    .arg(candidate));
    open(candidate, sources[candidate]);
    return Step::Waiting;
}

void SourceRace::open(int index, const SourceInfo &source)
{
    m_opened = true;
    m_index = index;
    m_source = source;
    const quint64 token = ++m_token;
    if (!m_provider)
        return;
    QPointer<SourceRace> self(this);
    m_provider->fetchTorrent(source, [self, token](QByteArray bytes, QString error) {
        if (self)
            self->onTorrent(token, bytes, error);
    });
}

void SourceRace::onTorrent(quint64 token, const QByteArray &bytes, const QString &error)
{
    if (token != m_token || m_rival || !m_engine)
        return;
    if (bytes.isEmpty() && m_source.magnet.isEmpty()) {
        logLine(QStringLiteral("player: source %1 alongside: %2").arg(m_index).arg(error));
        m_index = -1;
        return;
    }
    QString openError;
    bool later = false;
    m_rival = openTorrentSoon(m_engine, bytes, m_source, &openError, &later, this,
                              [=, this] { onTorrent(token, bytes, error); });
    if (later)
        return;
    if (!m_rival) {
        logLine(QStringLiteral("player: source %1 alongside: %2").arg(m_index).arg(openError));
        m_index = -1;
        return;
    }
    serveSourceFile(m_rival.get(), m_source);
}

std::shared_ptr<StreamTorrent> SourceRace::takeRival()
{
    ++m_token;
    m_index = -1;
    m_opened = true;
    return std::move(m_rival);
}

void SourceRace::close(const QString &why)
{
    if (!m_rival && m_index < 0)
        return;
    ++m_token;
    if (m_rival) {
        logLine(QStringLiteral("player: %1 -> closing source %2").arg(why).arg(m_index));
        if (m_engine)
            m_engine->close(m_rival);
        m_rival.reset();
    }
    m_index = -1;
}

void SourceRace::newAttempt(const QString &why)
{
    close(why);
    m_opened = false;
}

void SourceRace::tick(int dhtNodes)
{
    if (m_rival)
        m_rival->tick(dhtNodes);
}

qint64 SourceRace::rivalBytes() const
{
    return m_rival ? m_rival->lastStats().bytesDone : 0;
}

} // namespace svd
