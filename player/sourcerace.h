#pragma once

#include "sources/episodesources.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

namespace svd {

class SourceProvider;
class StreamTorrent;
struct PeerCounts;
class TorrentEngine;

// Before the first frame, a source that stays silent gets another source opened alongside
// (its rival); whichever delivers a piece first is played, the other closed. At most one rival
// per source attempt. GUI thread only.
class SourceRace : public QObject {
    Q_OBJECT

public:
    SourceRace(TorrentEngine *engine, SourceProvider *provider, QObject *parent = nullptr);

    enum class Silence { None, NoPeers, AllPeersDropped };
    // Whether a source whose torrent opened `secondsOpen` ago, with these fresh peer counts,
    // is silent enough to race another one against it.
    static Silence silence(const PeerCounts &counts, double secondsOpen);

    enum class Step { Waiting, RivalWon };
    // One look at source `index` (being played from `current`) before its first frame.
    // `candidate`: the source of `sources` to open alongside a silent one (only one after
    // `index` is).
    Step watch(const StreamTorrent &current, int index, int candidate, const QList<SourceInfo> &sources);

    bool hasRival(int index) const { return m_rival && m_index == index; }
    int rivalIndex() const { return m_index; }
    // The rival becomes the source being played; no other is raced in this attempt.
    std::shared_ptr<StreamTorrent> takeRival();
    void close(const QString &why);
    // A new source attempt, which may race again.
    void newAttempt(const QString &why);
    // A rival still on its way is no longer wanted.
    void playbackStarted() { ++m_token; }
    void tick(int dhtNodes);
    qint64 rivalBytes() const;

private:
    void open(int index, const SourceInfo &source);
    void onTorrent(quint64 token, const QByteArray &bytes, const QString &error);

    QPointer<TorrentEngine> m_engine;
    QPointer<SourceProvider> m_provider;
    std::shared_ptr<StreamTorrent> m_rival;
    SourceInfo m_source;
    int m_index = -1;       // the rival's source, also while its .torrent is on its way
    bool m_opened = false;  // for the current source attempt
    quint64 m_token = 0;    // answers for an older rival are dropped
};

} // namespace svd
