#include "shell/bridgechecks.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace svd {

namespace {

// Far beyond any real CSS layout, small enough that sums and rounding stay in int.
constexpr double kCssLimit = 1e8;

double pageNumber(const QVariant &v)
{
    bool ok = false;
    double d = 0;
    switch (v.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        d = v.toDouble(&ok);
        break;
    case QMetaType::QString:
        d = v.toString().trimmed().toDouble(&ok);
        break;
    default:
        return 0;
    }
    if (!ok || !std::isfinite(d))
        return 0;
    return d;
}

double cssNumber(const QVariant &v)
{
    return std::clamp(pageNumber(v), -kCssLimit, kCssLimit);
}

} // namespace

bool hostAllowed(const QString &host, const QStringList &allowedHosts)
{
    const QString h = host.toLower();
    if (h.isEmpty())
        return false;
    for (const QString &entry : allowedHosts) {
        const QString a = entry.toLower();
        if (a.isEmpty())
            continue;
        if (h == a || h.endsWith(QLatin1Char('.') + a))
            return true;
    }
    return false;
}

bool originAllowed(const QUrl &pageUrl, const QStringList &allowedHosts)
{
    const QString scheme = pageUrl.scheme().toLower();
    if (scheme == QLatin1String("file") || scheme == QLatin1String("qrc"))
        return true;
    if (scheme == QLatin1String("https") || scheme == QLatin1String("http"))
        return hostAllowed(pageUrl.host(), allowedHosts);
    return false;
}

bool externalUrlAllowed(const QString &text, const QStringList &allowedHosts)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme().toLower() == QLatin1String("https") &&
           hostAllowed(url.host(), allowedHosts) && url.userInfo().isEmpty();
}

qint64 pageInt64(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return v.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const qulonglong u = v.toULongLong();
        return u > qulonglong(std::numeric_limits<qint64>::max()) ? 0 : qint64(u);
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 n = v.toString().trimmed().toLongLong(&ok);
        if (ok)
            return n;
        break;
    }
    default:
        break;
    }
    const double d = std::trunc(pageNumber(v));
    // 2^63 itself is not representable; stay strictly inside.
    if (d >= 9.2e18 || d <= -9.2e18)
        return 0;
    return qint64(d);
}

int pageInt(const QVariant &v)
{
    const qint64 n = pageInt64(v);
    if (n > std::numeric_limits<int>::max() || n < std::numeric_limits<int>::min())
        return 0;
    return int(n);
}

PlayArgs parsePlayArgs(const QVariantMap &args)
{
    PlayArgs p;
    p.animeId = pageInt64(args.value(QStringLiteral("animeId")));
    p.episode = pageInt(args.value(QStringLiteral("episode")));
    p.title = args.value(QStringLiteral("title")).toString();
    p.dub = args.value(QStringLiteral("dub")).toString();
    p.subtitle = args.value(QStringLiteral("subtitle")).toString();
    return p;
}

VideoRectReport parseVideoRect(const QVariantMap &r)
{
    VideoRectReport out;
    auto rounded = [&](const char *key) { return int(std::round(cssNumber(r.value(QLatin1String(key))))); };
    out.cssRect = QRect(rounded("x"), rounded("y"), rounded("width"), rounded("height"));
    if (r.contains(QStringLiteral("dpr")))
        out.dpr = pageNumber(r.value(QStringLiteral("dpr")));
    if (r.contains(QStringLiteral("visible")))
        out.visible = r.value(QStringLiteral("visible")).toBool();

    const QVariantList holes = r.value(QStringLiteral("holes")).toList();
    for (const QVariant &entry : holes) {
        if (out.holes.size() >= kMaxPageHoles)
            break;
        const QVariantMap h = entry.toMap();
        const double x = cssNumber(h.value(QStringLiteral("x")));
        const double y = cssNumber(h.value(QStringLiteral("y")));
        const double w = cssNumber(h.value(QStringLiteral("width")));
        const double ht = cssNumber(h.value(QStringLiteral("height")));
        // A zero-area rectangle touches no pixel, even at a fractional position.
        if (!(w > 0) || !(ht > 0))
            continue;
        const int left = int(std::floor(x));
        const int top = int(std::floor(y));
        const int right = int(std::ceil(x + w));
        const int bottom = int(std::ceil(y + ht));
        const QRect hole(left, top, right - left, bottom - top);
        if (!hole.isEmpty())
            out.holes.append(hole);
    }
    return out;
}

QStringList bridgeAllowedHosts(const QUrl &site, const QUrl &defaultSite)
{
    QStringList hosts;
    const QString siteHost = site.host().toLower();
    if (!siteHost.isEmpty())
        hosts << siteHost;
    const QString defHost = defaultSite.host().toLower();
    if (!defHost.isEmpty() && defHost != siteHost)
        hosts << defHost;
    return hosts;
}

} // namespace svd
