#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace svd {

// The three shapes a fixture file may take: {"animeId", "fixture": {"title"},
// "episodes": [...]}, a bare array of episode objects, or one episode object.
struct FixtureDocument {
    qint64 animeId = 0;         // file-level "animeId" (0 for an array or when absent)
    QString title;              // "fixture" -> "title"
    QList<QJsonObject> episodes; // elements that are not objects become empty objects
};

FixtureDocument parseFixtureDocument(const QJsonDocument &doc);

// Where a fixture source's .torrent lives: a "file:" URL, a path relative to the
// fixture's folder, or <baseDir>/torrents/<infoHash>.torrent when none is given.
QString fixtureTorrentPath(const QString &torrentUrl, const QString &infoHash, const QString &baseDir);

} // namespace svd
