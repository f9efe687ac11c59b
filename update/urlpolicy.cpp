#include "update/urlpolicy.h"

#include "base/loopback.h"

#include <QUrlQuery>

namespace svd::update {

namespace {

int defaultedPort(const QUrl &u)
{
    return u.port(u.scheme().toLower() == QLatin1String("https") ? 443 : 80);
}

QUrl joined(const QUrl &base, const QString &endpoint)
{
    QUrl u = base;
    QString path = u.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    u.setPath(path + endpoint);
    u.setQuery(QString());
    u.setFragment(QString());
    return u;
}

} // namespace

bool isAllowedBase(const QUrl &url, QString *error)
{
    auto refuse = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (!url.isValid() || url.host().isEmpty())
        return refuse(QStringLiteral("not an absolute URL"));
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return refuse(QStringLiteral("user info, query or fragment not allowed"));
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme == QLatin1String("http")) {
        if (isLoopbackHost(url.host()))
            return true;
        return refuse(QStringLiteral("plain http is only allowed for localhost"));
    }
    return refuse(QStringLiteral("scheme '%1' not allowed (https only)").arg(scheme));
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().toLower() == b.scheme().toLower() && a.host().toLower() == b.host().toLower() &&
           defaultedPort(a) == defaultedPort(b) && b.userInfo().isEmpty();
}

QUrl updateUrlFor(const QUrl &base, const BuildInfo &build)
{
    QUrl u = joined(base, QStringLiteral("/api/desktop/update"));
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("platform"), build.platform);
    q.addQueryItem(QStringLiteral("arch"), build.arch);
    q.addQueryItem(QStringLiteral("channel"), build.channel);
    q.addQueryItem(QStringLiteral("version"), build.version.toString());
    u.setQuery(q);
    return u;
}

QUrl downloadUrlFor(const QUrl &base, const QString &file)
{
    return joined(base, QStringLiteral("/api/desktop/download/") + file);
}

QUrl latestUrlFor(const QUrl &base, const BuildInfo &build)
{
    QUrl u = joined(base, QStringLiteral("/api/desktop/latest"));
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("platform"), build.platform);
    q.addQueryItem(QStringLiteral("arch"), build.arch);
    u.setQuery(q);
    return u;
}

} // namespace svd::update
