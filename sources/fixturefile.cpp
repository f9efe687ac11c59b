#include "sources/fixturefile.h"

#include "sources/episodesources.h"

#include <QDir>
#include <QJsonArray>
#include <QUrl>

namespace svd {

FixtureDocument parseFixtureDocument(const QJsonDocument &doc)
{
    FixtureDocument out;
    const QJsonObject top = doc.object(); // empty for an array document
    QJsonArray list;
    if (doc.isObject() && top.contains(QLatin1String("episodes")))
        list = top.value(QLatin1String("episodes")).toArray();
    else if (doc.isArray())
        list = doc.array();
    else
        out.episodes.append(top);
    for (const QJsonValue &v : list)
        out.episodes.append(v.toObject());

    // The same truncation and range rules as the episode's own "animeId".
    QJsonObject idOnly;
    idOnly.insert(QStringLiteral("animeId"), top.value(QLatin1String("animeId")));
    out.animeId = EpisodeSources::fromJson(idOnly, QString()).animeId;
    const QJsonValue fixture = top.value(QLatin1String("fixture"));
    const QJsonValue title = fixture.toObject().value(QLatin1String("title"));
    if (title.isString())
        out.title = title.toString();
    return out;
}

QString fixtureTorrentPath(const QString &torrentUrl, const QString &infoHash, const QString &baseDir)
{
    if (torrentUrl.isEmpty())
        return baseDir + QStringLiteral("/torrents/") + infoHash + QStringLiteral(".torrent");
    QString path = torrentUrl;
    if (path.startsWith(QLatin1String("file:")))
        path = QUrl(path).toLocalFile();
    if (QDir::isRelativePath(path))
        path = QDir(baseDir).filePath(path);
    return path;
}

} // namespace svd
