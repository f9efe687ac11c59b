#include "shell/desktopbridge.h"

#include "base/log.h"
#include "shell/bridgechecks.h"

#include <QDesktopServices>

namespace svd {

namespace {

constexpr int kMaxLoggedUrl = 200;

QVariantMap refusal(const QString &reason)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("reason"), reason}};
}

QString originRefused()
{
    return QStringLiteral("origin-not-allowed");
}

} // namespace

DesktopBridge::DesktopBridge(const QString &version, const QStringList &allowedHosts, UrlSource pageUrl,
                             QObject *parent)
    : QObject(parent), m_version(version), m_allowedHosts(allowedHosts), m_pageUrl(std::move(pageUrl)),
      m_opener([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
    m_statsTimer.setInterval(1000);
    connect(&m_statsTimer, &QTimer::timeout, this, &DesktopBridge::sendStats);
}

QStringList DesktopBridge::capabilities()
{
    return {QStringLiteral("holes"), QStringLiteral("openExternal")};
}

bool DesktopBridge::originAllowed() const
{
    return svd::originAllowed(m_pageUrl ? m_pageUrl() : QUrl(), m_allowedHosts);
}

QString DesktopBridge::pageUrlText() const
{
    return m_pageUrl ? m_pageUrl().toString() : QString();
}

void DesktopBridge::play(const QVariantMap &args, int reqId)
{
    if (!originAllowed()) {
        logLine(QStringLiteral("bridge: play() refused for origin %1").arg(pageUrlText()));
        emit reply(reqId, refusal(originRefused()));
        return;
    }
    const PlayArgs p = parsePlayArgs(args);
    if (!p.valid()) {
        emit reply(reqId, refusal(QStringLiteral("bad-arguments")));
        return;
    }
    logLine(QStringLiteral("bridge: play(%1, %2%3%4)")
                .arg(p.animeId)
                .arg(p.episode)
                .arg(p.dub.isEmpty() ? QString() : QStringLiteral(", dub ") + p.dub,
                     p.subtitle.isEmpty() ? QString() : QStringLiteral(", subtitle ") + p.subtitle));
    emit playRequested(p.animeId, p.episode, p.title, p.dub, p.subtitle, reqId);
}

void DesktopBridge::isAvailable(qint64 animeId, int episode, int reqId)
{
    if (!originAllowed()) {
        QVariantMap r = refusal(originRefused());
        r.insert(QStringLiteral("available"), false);
        emit reply(reqId, r);
        return;
    }
    emit availabilityRequested(animeId, episode, reqId);
}

void DesktopBridge::setVideoRect(const QVariantMap &r, int reqId)
{
    Q_UNUSED(reqId)
    if (!originAllowed())
        return;
    const VideoRectReport v = parseVideoRect(r);
    emit videoRectChanged(v.cssRect, v.dpr, v.visible, v.holes);
}

void DesktopBridge::openExternal(const QString &url, int reqId)
{
    if (!originAllowed()) {
        emit reply(reqId, refusal(originRefused()));
        return;
    }
    if (!externalUrlAllowed(url, m_allowedHosts)) {
        logLine(QStringLiteral("bridge: openExternal refused for %1").arg(url.left(kMaxLoggedUrl)));
        emit reply(reqId, refusal(QStringLiteral("url-not-allowed")));
        return;
    }
    logLine(QStringLiteral("bridge: openExternal %1").arg(url));
    if (m_opener && m_opener(QUrl(url, QUrl::StrictMode)))
        emit reply(reqId, {{QStringLiteral("ok"), true}});
    else
        emit reply(reqId, refusal(QStringLiteral("open-failed")));
}

void DesktopBridge::stop(int reqId)
{
    Q_UNUSED(reqId)
    if (!originAllowed()) {
        logLine(QStringLiteral("bridge: stop() refused for origin %1").arg(pageUrlText()));
        return;
    }
    logLine(QStringLiteral("bridge: stop()"));
    emit stopRequested();
}

void DesktopBridge::getTracks(int reqId)
{
    if (!originAllowed()) {
        emit reply(reqId, refusal(originRefused()));
        return;
    }
    emit tracksRequested(reqId);
}

void DesktopBridge::setDub(const QString &label, int reqId)
{
    Q_UNUSED(reqId)
    if (!originAllowed())
        return;
    logLine(QStringLiteral("bridge: setDub(%1)").arg(label));
    emit dubRequested(label);
}

void DesktopBridge::setSubtitle(int id, int reqId)
{
    Q_UNUSED(reqId)
    if (!originAllowed())
        return;
    logLine(QStringLiteral("bridge: setSubtitle(%1)").arg(id));
    emit subtitleRequested(id);
}

void DesktopBridge::reportClientInfo(const QVariantMap &info, int reqId)
{
    Q_UNUSED(reqId)
    if (!originAllowed())
        return;
    emit clientInfo(info);
}

void DesktopBridge::watchStats(bool on, int reqId)
{
    if (!originAllowed()) {
        logLine(QStringLiteral("bridge: watchStats() refused for origin %1").arg(pageUrlText()));
        emit reply(reqId, refusal(originRefused()));
        return;
    }
    if (on != watchingStats())
        logLine(QStringLiteral("bridge: watchStats(%1)").arg(on ? QStringLiteral("true") : QStringLiteral("false")));
    if (on)
        m_statsTimer.start();
    else
        m_statsTimer.stop();
    emit reply(reqId, {{QStringLiteral("ok"), true}, {QStringLiteral("watching"), on}});
}

void DesktopBridge::onMainFrameLoad(const QUrl &url)
{
    if (!watchingStats())
        return;
    m_statsTimer.stop();
    logLine(QStringLiteral("bridge: stats watch ended: loading %1").arg(url.toString().left(kMaxLoggedUrl)));
}

// Events reach whatever document is shown now, so the origin is checked again for every
// one: a page that navigated to a foreign site ends the watch.
void DesktopBridge::sendStats()
{
    if (!originAllowed()) {
        logLine(QStringLiteral("bridge: stats watch ended: origin %1").arg(pageUrlText()));
        m_statsTimer.stop();
        return;
    }
    sendEvent(QStringLiteral("stats"), m_statsSource ? m_statsSource() : QVariantMap());
}

void DesktopBridge::sendEvent(const QString &type, QVariantMap ev)
{
    ev.insert(QStringLiteral("type"), type);
    emit playerEvent(ev);
}

} // namespace svd
