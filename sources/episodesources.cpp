#include "sources/episodesources.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QLocale>

#include <cmath>
#include <limits>

namespace svd {

namespace {

QString text(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

QString anyText(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Double:
        // Shortest round-trip text without exponent: 42 -> "42", 1.5 -> "1.5",
        // and a numeric id 1000000 stays "1000000" (not "1e+06").
        return QString::number(v.toDouble(), 'f', QLocale::FloatingPointShortest);
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return QString();
    }
}

qint32 int32(const QJsonObject &o, const char *key, qint32 fallback)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isString()) {
        bool ok = false;
        const int n = v.toString().toInt(&ok, 10);
        return ok ? n : 0;
    }
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (!std::isfinite(d) || d != std::trunc(d) || d < double(std::numeric_limits<qint32>::min()) ||
            d > double(std::numeric_limits<qint32>::max()))
            return 0;
        return qint32(d);
    }
    return fallback;
}

qint64 int64(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble())
        return 0;
    const double d = std::trunc(v.toDouble());
    // Out-of-range doubles would make the cast undefined: clamp them.
    if (!std::isfinite(d))
        return 0;
    if (d >= 9223372036854775807.0)
        return std::numeric_limits<qint64>::max();
    if (d <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return qint64(d);
}

double real(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? v.toDouble() : 0.0;
}

bool flag(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isBool() && v.toBool();
}

QJsonArray array(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isArray() ? v.toArray() : QJsonArray();
}

} // namespace

DubInfo DubInfo::fromJson(const QJsonObject &o)
{
    DubInfo d;
    d.id = anyText(o, "id");
    d.label = text(o, "label");
    d.studio = text(o, "studio");
    d.lang = text(o, "lang");
    d.kind = text(o, "kind");
    d.origin = text(o, "origin");
    d.trackNo = int32(o, "trackNo", -1);
    d.isDefault = flag(o, "isDefault");
    d.audioFileIndex = int32(o, "audioFileIndex", -1);
    d.audioFilePath = text(o, "audioFilePath");
    if (d.label.isEmpty())
        d.label = d.studio.isEmpty() ? d.lang : d.studio;
    if (d.origin.isEmpty())
        d.origin = d.audioFileIndex < 0 ? QStringLiteral("embedded") : QStringLiteral("external");
    return d;
}

SubtitleInfo SubtitleInfo::fromJson(const QJsonObject &o)
{
    SubtitleInfo s;
    s.label = text(o, "label");
    s.lang = text(o, "lang");
    s.origin = text(o, "origin");
    s.trackNo = int32(o, "trackNo", -1);
    s.fileIndex = int32(o, "fileIndex", -1);
    s.filePath = text(o, "filePath");
    s.isDefault = flag(o, "isDefault");
    s.isForced = flag(o, "isForced");
    if (s.origin.isEmpty())
        s.origin = s.fileIndex < 0 ? QStringLiteral("embedded") : QStringLiteral("external");
    if (s.label.isEmpty())
        s.label = s.lang;
    return s;
}

SourceInfo SourceInfo::fromJson(const QJsonObject &o, const QString &baseDir)
{
    SourceInfo s;
    s.id = anyText(o, "id");
    s.provider = text(o, "provider");
    s.label = text(o, "label");
    s.quality = text(o, "quality");
    s.codec = text(o, "codec");
    s.fileSize = int64(o, "fileSize");
    s.seeders = int32(o, "seeders", 0);
    s.pieceLength = int64(o, "pieceLength");
    s.infoHash = text(o, "infoHash").toLower();
    s.magnet = text(o, "magnet");
    s.torrentUrl = text(o, "torrentUrl");
    s.fileIndex = int32(o, "fileIndex", -1);
    s.filePath = text(o, "filePath");
    s.score = real(o, "score");
    for (const QJsonValue &v : array(o, "dubs"))
        s.dubs.append(DubInfo::fromJson(v.toObject()));
    for (const QJsonValue &v : array(o, "subtitles"))
        s.subtitles.append(SubtitleInfo::fromJson(v.toObject()));
    s.releaseGroup = text(o, "releaseGroup");
    s.seedersCheckedAt = text(o, "seedersCheckedAt");
    s.totalSize = int64(o, "totalSize");
    s.leechers = int32(o, "leechers", 0);
    s.baseDir = baseDir;
    if (s.magnet.isEmpty() && s.infoHash.size() == 40)
        s.magnet = QStringLiteral("magnet:?xt=urn:btih:") + s.infoHash;
    return s;
}

const DubInfo *SourceInfo::defaultDub() const
{
    if (dubs.isEmpty())
        return nullptr;
    for (const DubInfo &d : dubs)
        if (d.isDefault)
            return &d;
    return &dubs.first();
}

const DubInfo *SourceInfo::findDub(const QString &wanted) const
{
    if (wanted.isEmpty() || dubs.isEmpty())
        return nullptr;
    for (const DubInfo &d : dubs)
        if (d.id == wanted)
            return &d;
    for (const DubInfo &d : dubs)
        if (d.label.compare(wanted, Qt::CaseInsensitive) == 0 || d.studio.compare(wanted, Qt::CaseInsensitive) == 0)
            return &d;
    for (const DubInfo &d : dubs)
        if (d.label.contains(wanted, Qt::CaseInsensitive))
            return &d;
    return nullptr;
}

EpisodeSources EpisodeSources::fromJson(const QJsonObject &o, const QString &baseDir)
{
    EpisodeSources e;
    e.animeId = int64(o, "animeId");
    e.episode = int32(o, "episode", 0);
    e.title = text(o, "title");
    e.blocked = flag(o, "blocked");
    for (const QJsonValue &v : array(o, "sources"))
        e.sources.append(SourceInfo::fromJson(v.toObject(), baseDir));
    return e;
}

} // namespace svd
