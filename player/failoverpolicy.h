#pragma once

#include "sources/episodesources.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>

#include <memory>

namespace svd {

class StreamTorrent;
class TorrentEngine;

// When a source counts as dead or stalled, and which source comes after it. A source left in
// mid-episode is "given up": it is skipped until every other source failed too, then tried
// once more, and its torrent stays open with its data until that retry (or until the episode
// ends or the cache needs the room). GUI thread only.
class FailoverPolicy {
public:
    FailoverPolicy(TorrentEngine *engine, int startTimeoutSec, int noPeersTimeoutSec);
    FailoverPolicy(const FailoverPolicy &) = delete;
    FailoverPolicy &operator=(const FailoverPolicy &) = delete;
    ~FailoverPolicy();

    // Before the first frame: why the source that started `sourceSeconds` ago is abandoned,
    // empty while it may go on waiting.
    QString startTimeout(double sourceSeconds, int numPeers) const;

    // What one tick after the first frame shows of the source being played. Times are on the
    // log clock.
    struct Sample {
        double now = 0.0;
        qint64 bytesDone = 0;
        int numPeers = 0;
        bool pausedForCache = false;
        double buffered = 0.0; // seconds in the demuxer cache
        bool eofCached = false;
    };
    // Why the source being played is to be left, empty while it is fine. Remembers since
    // when it is stalled, without peers and without new data, so it is fed every tick.
    QString stallReason(const Sample &sample);
    void resetWatch(double now);

    // The source to switch to after `after`: later ones first, then (in mid-episode) earlier
    // ones; never a given-up one nor one of the same torrent as `after` (the same swarm).
    // -1 when none.
    int nextCandidate(const QList<SourceInfo> &sources, int after, bool started) const;
    // The source to try when `index` of `count` is asked for: given-up ones are skipped, and
    // when nothing else is left the first given-up one gets its one retry. `count` or more
    // when none is left.
    int admit(int index, int count);

    // `index` was left in mid-episode; `torrent` waits for its retry.
    void giveUp(int index, std::shared_ptr<StreamTorrent> torrent);
    std::shared_ptr<StreamTorrent> takeKept(int index);
    bool hasKept() const { return !m_kept.isEmpty(); }
    // Refreshes the kept torrents' figures (GUI thread tick).
    void tick(int dhtNodes);
    qint64 keptBytes() const;
    void closeKept();
    // A new episode: nothing given up, nothing kept.
    void reset(double now);

private:
    QPointer<TorrentEngine> m_engine;
    const int m_startTimeoutSec;
    const int m_noPeersTimeoutSec;

    QSet<int> m_givenUp;
    bool m_givenUpRetried = false;
    QHash<int, std::shared_ptr<StreamTorrent>> m_kept; // by source index

    double m_stallSince = -1.0;   // -1 = not stalled
    double m_noPeersSince = -1.0; // -1 = peers present
    qint64 m_lastBytes = -1;
    double m_lastBytesAt = 0.0;
};

} // namespace svd
