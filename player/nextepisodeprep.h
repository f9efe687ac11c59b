#pragma once

#include "sources/episodesources.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

namespace svd {

class SourceProvider;
class StreamTorrent;
class TorrentEngine;

// The next episode made ready while this one plays out: its sources, and the heads and tails
// of its file (in a torrent of its own, or in the torrent being played), so that Next starts
// from pieces already on disk. It only starts with room to spare under the cache cap, and it
// is the first thing dropped when the cap comes down. GUI thread only.
class NextEpisodePrep : public QObject {
    Q_OBJECT

public:
    NextEpisodePrep(TorrentEngine *engine, SourceProvider *provider, QObject *parent = nullptr);

    // The preparation fetches a head and a tail in whole pieces; twice that must fit under the
    // cap beside what the episode being watched holds and a dropped preparation still on disk,
    // so that neither the preparation nor a cap that moves a little recycles that episode.
    static qint64 roomNeeded(qint64 headTailBytes);
    static bool roomToPrepare(qint64 capBytes, qint64 heldBytes, qint64 leavingBytes, qint64 headTailBytes);

    bool requested() const { return m_requested; }
    // Episode `episode` of `animeId` is being played from `playing` (file `playingFile`) and
    // needs no more data (`downloaded`: all of it is here, else it is buffered to its end):
    // the one after it is prepared when there is room.
    void prepare(long long animeId, int episode, bool downloaded, qint64 heldBytes, qint64 capBytes,
                 const std::shared_ptr<StreamTorrent> &playing, int playingFile);
    // A new episode is asked for: its sources when they are the prepared ones, else none. The
    // prepared torrent stays until takeTorrent or drop.
    EpisodeSources takeSources(long long animeId, int episode);
    // The prepared torrent when it is `source`'s.
    std::shared_ptr<StreamTorrent> takeTorrent(const SourceInfo &source);
    // The prepared file of `playing` stops downloading unless it is `keep` (the episode that
    // starts now).
    void releaseFile(StreamTorrent *playing, int keep);
    void drop(const QString &why, StreamTorrent *playing);
    // Drops the preparation when it no longer fits under `capBytes` beside `heldBytes`.
    void fitUnder(qint64 capBytes, qint64 heldBytes, StreamTorrent *playing);
    // What it holds on disk: its torrent's bytes, and a dropped one's until the engine has
    // deleted its folder.
    qint64 bytes() const;
    // Forgets a dropped preparation's bytes once its folder is gone.
    void sweepLeaving();
    void tick(int dhtNodes);

private:
    void onSources(quint64 token, const EpisodeSources &sources);
    void onTorrent(quint64 token, const QByteArray &bytes, const QString &error);
    void serveHeads();

    QPointer<TorrentEngine> m_engine;
    QPointer<SourceProvider> m_provider;
    std::shared_ptr<StreamTorrent> m_torrent;
    std::weak_ptr<StreamTorrent> m_playing; // while the request is on its way
    int m_playingFile = -1;
    int m_fileInPlaying = -1; // the next episode's file when the torrent being played holds it
    long long m_animeId = 0;
    int m_episode = 0;
    EpisodeSources m_sources;
    bool m_requested = false;
    bool m_heldBack = false; // no room for it, logged once
    quint64 m_token = 0;     // answers for a dropped or taken preparation are dropped
    QString m_leavingFolder;
    qint64 m_leavingBytes = 0;
};

} // namespace svd
