#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace svd {

struct DubInfo {
    QString id;
    QString label;
    QString studio;
    QString lang;
    QString kind;   // "original" marks the original-language audio
    QString origin; // "embedded" or "external"
    qint32 trackNo = -1;
    bool isDefault = false;
    qint32 audioFileIndex = -1;
    QString audioFilePath;

    static DubInfo fromJson(const QJsonObject &o);
};

struct SubtitleInfo {
    QString label;
    QString lang;
    QString origin;
    qint32 trackNo = -1;
    qint32 fileIndex = -1;
    QString filePath;
    bool isDefault = false;
    bool isForced = false;

    static SubtitleInfo fromJson(const QJsonObject &o);
};

struct SourceInfo {
    QString id;
    QString provider;
    QString label;
    QString quality;
    QString codec;
    qint64 fileSize = 0;
    qint32 seeders = 0;
    qint64 pieceLength = 0;
    QString infoHash;
    QString magnet;
    QString torrentUrl;
    qint32 fileIndex = -1;
    QString filePath;
    double score = 0.0;
    QList<DubInfo> dubs;
    QList<SubtitleInfo> subtitles;
    QString releaseGroup;
    QString seedersCheckedAt;
    qint64 totalSize = 0;
    qint32 leechers = 0;
    QString baseDir;

    static SourceInfo fromJson(const QJsonObject &o, const QString &baseDir);

    // Pointers into `dubs`: valid while this SourceInfo lives unchanged.
    const DubInfo *defaultDub() const;
    const DubInfo *findDub(const QString &wanted) const;
};

struct EpisodeSources {
    qint64 animeId = 0;
    qint32 episode = 0;
    QString title;
    bool blocked = false;
    QList<SourceInfo> sources;
    QString error; // set by providers when they deliver no sources

    static EpisodeSources fromJson(const QJsonObject &o, const QString &baseDir);
};

} // namespace svd
