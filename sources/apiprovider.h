#pragma once

#include "sources/sourceprovider.h"

#include <QUrl>

class QNetworkAccessManager;
class QNetworkRequest;

namespace svd {

// Episode sources and .torrent files from the site's backend.
class ApiProvider : public SourceProvider {
    Q_OBJECT
public:
    static constexpr int kTransferTimeoutMs = 20000;
    // A .torrent of a whole season with small pieces stays far below this; a body
    // past it is a misbehaving server, not a torrent.
    static constexpr qint64 kMaxTorrentBytes = 16 * 1024 * 1024;

    explicit ApiProvider(const QUrl &baseUrl, QObject *parent = nullptr);

    void fetchEpisode(qint64 animeId, int episode, EpisodeCallback done) override;
    void fetchTorrent(const SourceInfo &source, TorrentCallback done) override;
    QString describe() const override;

    QUrl baseUrl() const { return m_base; }
    // Tests shorten the transfer time-out; the program keeps the default.
    void setTransferTimeout(int ms) { m_timeoutMs = ms; }
    int transferTimeout() const { return m_timeoutMs; }
    // Tests lower the .torrent size cap so they need not serve megabytes.
    void setMaxTorrentBytes(qint64 bytes) { m_maxTorrentBytes = bytes; }

    // The URL fetchTorrent asks for this source.
    QUrl torrentUrlFor(const SourceInfo &source) const;

private:
    QNetworkRequest makeRequest(const QUrl &url, const char *accept) const;

    QUrl m_base;
    QNetworkAccessManager *m_net;
    int m_timeoutMs = kTransferTimeoutMs;
    qint64 m_maxTorrentBytes = kMaxTorrentBytes;
};

} // namespace svd
