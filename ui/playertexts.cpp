#include "ui/playertexts.h"

namespace svd {

QString fmtTime(double seconds)
{
    if (seconds < 0)
        return QStringLiteral("--:--");
    const qint64 s = qint64(seconds);
    if (s < 3600)
        return QString::asprintf("%02lld:%02lld", s / 60, s % 60);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
}

QString episodeTitle(const QString &title, int episode)
{
    return title.isEmpty() ? QStringLiteral("Серия %1").arg(episode)
                           : QStringLiteral("%1 — серия %2").arg(title, QString::number(episode));
}

QString userReason(const QString &raw)
{
    const QString r = raw.trimmed();
    if (r.startsWith(QLatin1String("low-disk-space")))
        return QStringLiteral("мало свободного места на диске");
    if (r == QLatin1String("no-torrent-source: blocked"))
        return QStringLiteral("она недоступна в приложении");
    if (r.startsWith(QLatin1String("no-torrent-source")))
        return QStringLiteral("для неё пока нет видео в приложении");
    if (r.startsWith(QLatin1String("storage-error")))
        return QStringLiteral("не удалось записать видео на диск");
    if (r.startsWith(QLatin1String("playback error")))
        return QStringLiteral("ошибка воспроизведения");
    if (r.startsWith(QLatin1String("player-init-failed")))
        return QStringLiteral("не удалось запустить плеер");
    if (r.contains(QLatin1String("no peers")) || r.contains(QLatin1String("did not start")))
        return QStringLiteral("видео не загружается, попробуйте позже");
    return QStringLiteral("не удалось загрузить видео");
}

QString speedText(double r)
{
    if (r > 999999)
        return QString::asprintf("%.1f ", r / 1000000) + QStringLiteral("МБ/с");
    return QString::asprintf("%.0f ", r / 1000) + QStringLiteral("КБ/с");
}

} // namespace svd
