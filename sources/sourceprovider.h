#pragma once

#include "sources/episodesources.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

namespace svd {

// Answers "which torrents hold episode E of title A" and "what is the .torrent
// of this source". Both answers arrive through callbacks on the caller's event
// loop: exactly once per request and never from inside the request call.
class SourceProvider : public QObject {
    Q_OBJECT
public:
    using EpisodeCallback = std::function<void(EpisodeSources)>;
    // (bytes, error): exactly one of the two is non-empty.
    using TorrentCallback = std::function<void(QByteArray, QString)>;

    explicit SourceProvider(QObject *parent = nullptr) : QObject(parent) {}

    virtual void fetchEpisode(qint64 animeId, int episode, EpisodeCallback done) = 0;
    virtual void fetchTorrent(const SourceInfo &source, TorrentCallback done) = 0;
    virtual QString describe() const = 0;
};

} // namespace svd
