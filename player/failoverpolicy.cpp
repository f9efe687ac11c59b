#include "player/failoverpolicy.h"

#include "base/log.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <algorithm>

namespace svd {

namespace {

constexpr double kStallFailoverSec = 8.0;   // stalled this long with no piece arriving
constexpr double kNoPeersFailoverSec = 5.0; // no peer this long while the buffer runs dry
constexpr double kDryBufferSec = 10.0;

// Since when `condition` holds: kept while it does, -1 once it does not.
double since(bool condition, double since, double now)
{
    return condition ? (since < 0 ? now : since) : -1.0;
}

} // namespace

FailoverPolicy::FailoverPolicy(TorrentEngine *engine, int startTimeoutSec, int noPeersTimeoutSec)
    : m_engine(engine), m_startTimeoutSec(startTimeoutSec), m_noPeersTimeoutSec(noPeersTimeoutSec)
{
}

FailoverPolicy::~FailoverPolicy()
{
    closeKept();
}

QString FailoverPolicy::startTimeout(double sourceSeconds, int numPeers) const
{
    if (sourceSeconds > m_startTimeoutSec)
        return QStringLiteral("playback did not start within %1 s").arg(m_startTimeoutSec);
    if (sourceSeconds > m_noPeersTimeoutSec && numPeers == 0)
        return QStringLiteral("no peers after %1 s").arg(m_noPeersTimeoutSec);
    return {};
}

// After the first frame: a stall with no data for 8 s, or no peer for 5 s while the buffer
// runs dry.
QString FailoverPolicy::stallReason(const Sample &s)
{
    if (s.bytesDone != m_lastBytes) {
        m_lastBytes = s.bytesDone;
        m_lastBytesAt = s.now;
    }
    m_stallSince = since(s.pausedForCache, m_stallSince, s.now);
    m_noPeersSince = since(s.numPeers == 0, m_noPeersSince, s.now);
    if (m_stallSince >= 0 && s.now - m_stallSince > kStallFailoverSec && s.now - m_lastBytesAt > kStallFailoverSec)
        return QStringLiteral("stalled %1 s with no data").arg(int(s.now - m_stallSince));
    if (m_noPeersSince >= 0 && s.now - m_noPeersSince > kNoPeersFailoverSec && !s.eofCached &&
        (s.pausedForCache || s.buffered < kDryBufferSec))
        return QStringLiteral("no peers for %1 s, %2 s buffered").arg(int(s.now - m_noPeersSince)).arg(s.buffered, 0, 'f', 1);
    return {};
}

void FailoverPolicy::resetWatch(double now)
{
    m_stallSince = -1.0;
    m_noPeersSince = -1.0;
    m_lastBytes = -1;
    m_lastBytesAt = now;
}

int FailoverPolicy::nextCandidate(const QList<SourceInfo> &sources, int after, bool started) const
{
    const int n = int(sources.size());
    const QString hash = after >= 0 && after < n ? sources[after].infoHash : QString();
    const auto usable = [&](int i) {
        return !m_givenUp.contains(i) && (hash.isEmpty() || sources[i].infoHash.compare(hash, Qt::CaseInsensitive) != 0);
    };
    for (int i = after + 1; i < n; ++i)
        if (usable(i))
            return i;
    // In mid-episode a source that failed to start earlier may have peers by now.
    for (int i = 0; started && i < after; ++i)
        if (usable(i))
            return i;
    return -1;
}

int FailoverPolicy::admit(int index, int count)
{
    while (index < count && m_givenUp.contains(index))
        ++index;
    if (index >= count && !m_givenUp.isEmpty() && !m_givenUpRetried) {
        // Every other source failed too: the ones left in mid-episode get one more chance.
        m_givenUpRetried = true;
        index = *std::min_element(m_givenUp.begin(), m_givenUp.end());
        m_givenUp.clear();
    }
    return index;
}

void FailoverPolicy::giveUp(int index, std::shared_ptr<StreamTorrent> torrent)
{
    m_givenUp.insert(index);
    if (!torrent)
        return;
    logLine(QStringLiteral("player: source %1 kept for a retry [%2]").arg(index).arg(torrent->id()));
    m_kept.insert(index, std::move(torrent));
}

std::shared_ptr<StreamTorrent> FailoverPolicy::takeKept(int index)
{
    return m_kept.take(index);
}

qint64 FailoverPolicy::keptBytes() const
{
    qint64 bytes = 0;
    for (const auto &t : m_kept)
        bytes += t->lastStats().bytesDone;
    return bytes;
}

void FailoverPolicy::tick(int dhtNodes)
{
    for (const auto &t : std::as_const(m_kept))
        t->tick(dhtNodes);
}

void FailoverPolicy::closeKept()
{
    for (const auto &t : std::as_const(m_kept))
        if (m_engine)
            m_engine->close(t);
    m_kept.clear();
}

void FailoverPolicy::reset(double now)
{
    closeKept();
    m_givenUp.clear();
    m_givenUpRetried = false;
    resetWatch(now);
}

} // namespace svd
