#pragma once

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

// The page-facing rules of the desktop bridge as pure functions: what a page may
// call, and how its untrusted arguments become native values.
namespace svd {

inline constexpr int kMaxPageHoles = 32;

// True when `host` (any case) is one of `allowedHosts` or a subdomain of one.
bool hostAllowed(const QString &host, const QStringList &allowedHosts);

// file: and qrc: pages always; http(s) pages of an allowed host; nothing else.
bool originAllowed(const QUrl &pageUrl, const QStringList &allowedHosts);

// openExternal: strictly parsed https URL of an allowed host without user info.
bool externalUrlAllowed(const QString &text, const QStringList &allowedHosts);

// Numbers from the page: finite, in range and integral after truncation,
// else 0 (strings holding such a number count too).
qint64 pageInt64(const QVariant &v);
int pageInt(const QVariant &v);

struct PlayArgs {
    qint64 animeId = 0;
    int episode = 0;
    QString title;
    QString dub;
    QString subtitle;
    bool valid() const { return animeId > 0 && episode > 0; }
};
PlayArgs parsePlayArgs(const QVariantMap &args);

struct VideoRectReport {
    QRect cssRect;
    double dpr = 1.0;
    bool visible = true;
    QList<QRect> holes;
};
VideoRectReport parseVideoRect(const QVariantMap &r);

// Allowed bridge hosts: the site's host, then the default site's host when it differs.
QStringList bridgeAllowedHosts(const QUrl &site, const QUrl &defaultSite);

} // namespace svd
