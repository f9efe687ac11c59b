#include "shell/offlinepage.h"

#include "base/log.h"
#include "web/webresources.h"

#include <QMetaEnum>
#include <QRegularExpression>
#include <QWebEngineHistory>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineSettings>

#include <iterator>

namespace svd {

namespace {

constexpr int kStallTimeoutMs = 15000;
// Chromium's net error codes the page tells apart.
constexpr int kErrTimedOut = -7;
constexpr int kErrAborted = -3;
constexpr int kErrConnectionRefused = -102;
constexpr int kErrNameNotResolved = -105;
constexpr int kErrConnectionTimedOut = -118;
constexpr int kErrNameResolutionFailed = -137;

bool isWeb(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

bool isData(const QUrl &url)
{
    return url.scheme() == QLatin1String("data");
}

QString reachabilityName(QNetworkInformation::Reachability r)
{
    return QString::fromLatin1(QMetaEnum::fromType<QNetworkInformation::Reachability>().valueToKey(int(r)));
}

} // namespace

SiteFailure classifySiteFailure(int errorDomain, int errorCode, const QString &errorName)
{
    using Info = QWebEngineLoadingInfo;
    if (errorCode == 0 || errorCode == kErrAborted || errorDomain == Info::NoErrorDomain ||
        errorDomain == Info::HttpStatusCodeDomain)
        return SiteFailure::None;
    if (errorCode == kErrNameNotResolved || errorCode == kErrNameResolutionFailed ||
        errorDomain == Info::DnsErrorDomain)
        return SiteFailure::NameNotResolved;
    if (errorCode == kErrConnectionRefused)
        return SiteFailure::Refused;
    if (errorCode == kErrTimedOut || errorCode == kErrConnectionTimedOut)
        return SiteFailure::TimedOut;
    // The handshake errors are spread over the connection range; their names say what they are.
    if (errorDomain == Info::CertificateErrorDomain || errorName.contains(QLatin1String("SSL")) ||
        errorName.contains(QLatin1String("CERT")))
        return SiteFailure::Tls;
    return SiteFailure::Other;
}

QString siteFailureText(SiteFailure failure)
{
    switch (failure) {
    case SiteFailure::NameNotResolved:
        return QStringLiteral(
            "Не удалось найти сервер сайта по имени — возможно, нет подключения к интернету.");
    case SiteFailure::Refused:
        return QStringLiteral("Сервер сайта отказал в соединении.");
    case SiteFailure::TimedOut:
        return QStringLiteral("Сервер сайта не ответил вовремя.");
    case SiteFailure::Tls:
        return QStringLiteral("Не удалось установить защищённое соединение с сайтом.");
    case SiteFailure::None:
    case SiteFailure::Other:
        break;
    }
    return QStringLiteral("Не удалось соединиться с сайтом.");
}

int offlineRetryDelayMs(int failuresInARow)
{
    static constexpr int kDelaysMs[] = {5000, 10000, 30000, 60000};
    const int i = qBound(1, failuresInARow, int(std::size(kDelaysMs))) - 1;
    return kDelaysMs[i];
}

QString offlinePageHtml(const QString &reason, const QUrl &url, const QString &detail, int retrySeconds)
{
    const QString page = readResourceText(QLatin1String(kOfflinePageResource));
    const QHash<QString, QString> values{
        {QStringLiteral("reason"), reason.toHtmlEscaped()},
        {QStringLiteral("url"), QString::fromUtf8(url.toEncoded()).toHtmlEscaped()},
        {QStringLiteral("address"), url.toDisplayString().toHtmlEscaped()},
        {QStringLiteral("detail"), detail.toHtmlEscaped()},
        {QStringLiteral("seconds"), QString::number(retrySeconds)},
    };
    // One pass, so a value that looks like a placeholder stays text.
    static const QRegularExpression placeholder(QStringLiteral("\\{\\{(\\w+)\\}\\}"));
    QString out;
    qsizetype from = 0;
    for (auto it = placeholder.globalMatch(page); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += QStringView(page).mid(from, m.capturedStart() - from);
        out += values.value(m.captured(1));
        from = m.capturedEnd();
    }
    out += QStringView(page).mid(from);
    return out;
}

OfflinePage::OfflinePage(QWebEnginePage *page, std::function<bool()> isPlaying, QObject *parent)
    : QObject(parent), m_page(page), m_isPlaying(std::move(isPlaying))
{
    // Our page replaces the engine's own (English, without a way back).
    m_page->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this,
            [this] { retry(QStringLiteral("after %1 s").arg(m_retryTimer.interval() / 1000)); });
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(kStallTimeoutMs);
    connect(&m_stallTimer, &QTimer::timeout, this, &OfflinePage::onStalled);
    connect(m_page, &QWebEnginePage::loadingChanged, this, &OfflinePage::onLoadingChanged);
    // Only setHtml puts a data: document in the main frame (the site cannot navigate it there),
    // and we are its only caller: one that commits while a failure stands is ours, even when a
    // retry begun meanwhile had already changed the URL.
    connect(m_page, &QWebEnginePage::urlChanged, this,
            [this](const QUrl &url) { m_showing = isData(url) && !m_failedUrl.isEmpty(); });
    watchNetwork();
}

bool OfflinePage::isOwnUrl(const QUrl &url) const
{
    // The site cannot navigate the main frame to a data: URL; only setHtml can.
    return m_showing && isData(url);
}

void OfflinePage::watchNetwork()
{
    using NI = QNetworkInformation;
    if (!NI::instance())
        NI::loadBackendByFeatures(NI::Feature::Reachability);
    NI *info = NI::instance();
    if (!info || !info->supports(NI::Feature::Reachability)) {
        logLine(QStringLiteral(
            "shell: no network information backend; the offline page retries on its timer only"));
        return;
    }
    m_reachability = info->reachability();
    logLine(QStringLiteral("shell: network information from %1 (%2)")
                .arg(info->backendName(), reachabilityName(m_reachability)));
    connect(info, &NI::reachabilityChanged, this, &OfflinePage::setReachability);
}

void OfflinePage::setReachability(QNetworkInformation::Reachability reachability)
{
    using R = QNetworkInformation::Reachability;
    const bool wasOnline = m_reachability == R::Online;
    m_reachability = reachability;
    logLine(QStringLiteral("shell: network %1").arg(reachabilityName(reachability)));
    if (reachability == R::Online && !wasOnline && m_showing) {
        m_failures = 0;
        retry(QStringLiteral("network back"));
    }
}

void OfflinePage::onNavigation(const QUrl &url)
{
    if (!m_showing || isData(url))
        return;
    if (m_ownRetry) {
        m_ownRetry = false;
        return;
    }
    // Nothing on our page navigates but its button.
    m_failures = 0;
    m_retryTimer.stop();
    logLine(QStringLiteral("shell: retrying %1 (Повторить)").arg(url.toString()));
}

void OfflinePage::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    const QUrl url = info.url();
    // Cut short: our page's load by the retry that followed it, or the retry by our page's load
    // committing after it began (the network back just as the page went up).
    if (info.status() == QWebEngineLoadingInfo::LoadStoppedStatus ||
        (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && info.errorCode() == kErrAborted))
        keepRetrying();
    if (isData(url))
        return;
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        m_ownRetry = false;
        m_stallNoted = false;
        m_loading = url;
        if (isWeb(url))
            m_stallTimer.start();
        else
            m_stallTimer.stop();
        break;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        m_stallTimer.stop();
        break;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        m_stallTimer.stop();
        if ((m_failures > 0 || !m_failedUrl.isEmpty()) && isWeb(url)) {
            logLine(QStringLiteral("shell: site reachable again: %1").arg(url.toString()));
            m_failures = 0;
            m_retryTimer.stop();
            m_failedUrl.clear();
            // Back must not lead to our page, whose countdown would load the site again.
            m_page->history()->clear();
        }
        break;
    case QWebEngineLoadingInfo::LoadFailedStatus: {
        m_stallTimer.stop();
        const SiteFailure failure =
            classifySiteFailure(int(info.errorDomain()), info.errorCode(), info.errorString());
        if (!isWeb(url) || failure == SiteFailure::None)
            break;
        if (m_isPlaying()) {
            logLine(QStringLiteral("shell: %1 failed to load (%2) while playing -> page left as it is")
                        .arg(url.toString(), info.errorString()));
            break;
        }
        show(failure, url, info.errorString());
        break;
    }
    }
}

void OfflinePage::onStalled()
{
    const int seconds = m_stallTimer.interval() / 1000;
    // A document that has arrived is only slow (images, scripts): left to finish.
    if (m_page->url().adjusted(QUrl::RemoveFragment) == m_loading.adjusted(QUrl::RemoveFragment))
        return;
    if (m_isPlaying()) {
        // Never stop a load under a playing video; looked at again once playback is over.
        if (!m_stallNoted)
            logLine(QStringLiteral("shell: %1 still loading after %2 s while playing -> left alone")
                        .arg(m_loading.toString())
                        .arg(seconds));
        m_stallNoted = true;
        m_stallTimer.start();
        return;
    }
    logLine(QStringLiteral("shell: no answer from %1 within %2 s -> time-out")
                .arg(m_loading.toString())
                .arg(seconds));
    const QUrl url = m_loading;
    m_page->triggerAction(QWebEnginePage::Stop);
    show(SiteFailure::TimedOut, url, QStringLiteral("нет ответа за %1 с").arg(seconds));
}

void OfflinePage::show(SiteFailure failure, const QUrl &url, const QString &detail)
{
    ++m_failures;
    m_failedUrl = url;
    const int delayMs = offlineRetryDelayMs(m_failures);
    logLine(QStringLiteral("shell: site unreachable (%1): %2 -> offline page, retry in %3 s")
                .arg(detail, url.toString())
                .arg(delayMs / 1000));
    m_showing = true;
    m_page->setHtml(offlinePageHtml(siteFailureText(failure), url, detail, delayMs / 1000));
    m_retryTimer.start(delayMs);
    emit shown();
}

void OfflinePage::keepRetrying()
{
    // Whichever load was cut short, there is no answer to act on: without a new turn of the
    // timer our page would promise a retry that never comes.
    if (m_failedUrl.isEmpty() || m_retryTimer.isActive() || m_isPlaying())
        return;
    const int delayMs = offlineRetryDelayMs(m_failures);
    logLine(QStringLiteral("shell: retry of %1 cut short -> retry in %2 s")
                .arg(m_failedUrl.toString())
                .arg(delayMs / 1000));
    m_retryTimer.start(delayMs);
}

void OfflinePage::retry(const QString &why)
{
    if (m_failedUrl.isEmpty())
        return;
    if (m_isPlaying()) {
        m_retryTimer.start();
        return;
    }
    m_retryTimer.stop();
    logLine(QStringLiteral("shell: retrying %1 (%2)").arg(m_failedUrl.toString(), why));
    m_ownRetry = true;
    m_page->load(m_failedUrl);
}

} // namespace svd
