#include "sources/fixtureprovider.h"

#include "base/log.h"
#include "sources/fixturefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>

#include <algorithm>

namespace svd {

FixtureProvider::FixtureProvider(const QStringList &paths, QObject *parent) : SourceProvider(parent)
{
    for (const QString &p : paths) {
        if (QFileInfo::exists(p))
            loadPath(p, nullptr);
    }
}

bool FixtureProvider::loadPath(const QString &path, QString *error)
{
    if (QFileInfo(path).isDir()) {
        const QFileInfoList files =
            QDir(path).entryInfoList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
        for (const QFileInfo &f : files)
            loadFile(f.filePath(), nullptr);
        return true;
    }
    return loadFile(path, error) != 0;
}

qint64 FixtureProvider::loadFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot open ") + path;
        return 0;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &perr);
    if (perr.error != QJsonParseError::NoError) {
        if (error)
            *error = path + QStringLiteral(": ") + perr.errorString();
        return 0;
    }
    const QString baseDir = QFileInfo(path).absolutePath();
    const FixtureDocument fixture = parseFixtureDocument(doc);

    qint64 fileId = fixture.animeId;
    for (const QJsonObject &obj : fixture.episodes) {
        EpisodeSources e = EpisodeSources::fromJson(obj, baseDir);
        if (e.animeId != 0 && fileId == 0)
            fileId = e.animeId;
        if (e.animeId == 0)
            e.animeId = fileId;
        if (e.title.isEmpty())
            e.title = fixture.title;
        Title &t = m_titles[e.animeId];
        t.title = fixture.title;
        t.episodes.insert(e.episode, e);
    }

    if (fileId == 0) {
        if (error)
            *error = path + QStringLiteral(": no animeId");
        return 0;
    }
    if (m_firstAnimeId == 0)
        m_firstAnimeId = fileId;
    m_loaded.append(path);
    logLine(QStringLiteral("fixtures: %1 -> anime %2, %3 episodes")
                .arg(QFileInfo(path).fileName(), QString::number(fileId),
                     QString::number(fixture.episodes.size())));
    return fileId;
}

QList<int> FixtureProvider::episodes(qint64 animeId) const
{
    QList<int> out = m_titles.value(animeId).episodes.keys();
    std::sort(out.begin(), out.end());
    return out;
}

QString FixtureProvider::title(qint64 animeId) const
{
    return m_titles.value(animeId).title;
}

QString FixtureProvider::describe() const
{
    return QStringLiteral("fixtures (%1 files)").arg(m_loaded.size());
}

void FixtureProvider::fetchEpisode(qint64 animeId, int episode, EpisodeCallback done)
{
    EpisodeSources result;
    const auto t = m_titles.constFind(animeId);
    if (t != m_titles.constEnd() && t->episodes.contains(episode)) {
        result = t->episodes.value(episode);
    } else {
        result.animeId = animeId;
        result.episode = episode;
    }
    // Same timing as a network answer: never inside the caller's frame.
    QTimer::singleShot(0, this, [result = std::move(result), done = std::move(done)]() { done(result); });
}

void FixtureProvider::fetchTorrent(const SourceInfo &source, TorrentCallback done)
{
    const QString path = fixtureTorrentPath(source.torrentUrl, source.infoHash, source.baseDir);
    QByteArray bytes;
    QString error;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    else
        error = QStringLiteral("fixture torrent missing: ") + path;
    // An empty file would break the (bytes xor error) contract of the callback.
    if (error.isEmpty() && bytes.isEmpty())
        error = QStringLiteral("fixture torrent empty: ") + path;
    QTimer::singleShot(0, this, [bytes, error, done = std::move(done)]() { done(bytes, error); });
}

} // namespace svd
