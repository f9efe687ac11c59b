#pragma once

#include "sources/sourceprovider.h"

#include <QHash>
#include <QList>

namespace svd {

// Asks its providers in order until one delivers sources, and sends each
// .torrent request to the provider that delivered that source.
class ChainProvider : public SourceProvider {
    Q_OBJECT
public:
    // Takes ownership: every provider becomes a child of the chain.
    explicit ChainProvider(const QList<SourceProvider *> &providers, QObject *parent = nullptr);

    void fetchEpisode(qint64 animeId, int episode, EpisodeCallback done) override;
    void fetchTorrent(const SourceInfo &source, TorrentCallback done) override;
    QString describe() const override;

    QList<SourceProvider *> providers() const { return m_providers; }
    static QString sourceKey(const SourceInfo &source);

private:
    void tryAt(int index, qint64 animeId, int episode, EpisodeCallback done, QString errors);

    QList<SourceProvider *> m_providers;
    QHash<QString, SourceProvider *> m_origin;
};

} // namespace svd
