#pragma once

#include "sources/sourceprovider.h"

#include <QHash>
#include <QList>
#include <QStringList>

namespace svd {

// Episode sources from local JSON fixture files, .torrent files from disk.
// Filled at start-up only; answers are delivered through zero-delay timers.
class FixtureProvider : public SourceProvider {
    Q_OBJECT
public:
    // Directories contribute their *.json files in name order; paths that do
    // not exist are skipped; load errors are not reported here.
    explicit FixtureProvider(const QStringList &paths, QObject *parent = nullptr);

    // Returns the file's title id, or 0 with *error filled.
    qint64 loadFile(const QString &path, QString *error);
    // A directory: loads its *.json files, ignoring their errors, and returns
    // true. A file: loadFile, true when it loaded.
    bool loadPath(const QString &path, QString *error);

    QList<int> episodes(qint64 animeId) const;
    QString title(qint64 animeId) const;
    qint64 firstAnimeId() const { return m_firstAnimeId; }
    QStringList loadedFiles() const { return m_loaded; }

    void fetchEpisode(qint64 animeId, int episode, EpisodeCallback done) override;
    void fetchTorrent(const SourceInfo &source, TorrentCallback done) override;
    QString describe() const override;

private:
    struct Title {
        QString title;
        QHash<int, EpisodeSources> episodes;
    };
    QHash<qint64, Title> m_titles;
    qint64 m_firstAnimeId = 0;
    QStringList m_loaded;
};

} // namespace svd
