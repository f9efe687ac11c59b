#pragma once

#include <QNetworkInformation>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>

class QWebEngineLoadingInfo;
class QWebEnginePage;

namespace svd {

// Why the site could not be loaded, as far as the user needs to know.
enum class SiteFailure { None, NameNotResolved, Refused, TimedOut, Tls, Other };

// None for what is not a failure to reach the site: a load cut short by another
// navigation, or an HTTP status the server answered with (its page shows).
SiteFailure classifySiteFailure(int errorDomain, int errorCode, const QString &errorName);
// One Russian sentence for the page.
QString siteFailureText(SiteFailure failure);
// Automatic retries after 1, 2, 3 and more failures in a row: 5 s, 10 s, 30 s, then every 60 s.
int offlineRetryDelayMs(int failuresInARow);
// The page's template with the texts HTML-escaped in.
QString offlinePageHtml(const QString &reason, const QUrl &url, const QString &detail, int retrySeconds);

// Watches the main frame's loads of the shell page. When the site cannot be
// reached and nothing plays, it replaces the engine's error page with its own
// (content set from resources, a data: document that no bridge rule admits),
// retries with back-off, at once when the network comes back, and when the
// page's "Повторить" navigates to the site. A load that has not even got an
// answer after the stall time-out counts as a time-out; a slow page whose
// document has arrived is left to finish. While something plays, no load is
// ever stopped, reloaded or replaced.
class OfflinePage : public QObject {
    Q_OBJECT
public:
    OfflinePage(QWebEnginePage *page, std::function<bool()> isPlaying, QObject *parent = nullptr);

    // Our page is the document shown (from the moment it is set until another commits).
    bool isShowing() const { return m_showing; }
    bool isOwnUrl(const QUrl &url) const;
    QUrl failedUrl() const { return m_failedUrl; }
    bool retryPending() const { return m_retryTimer.isActive(); }
    void setStallTimeoutMs(int ms) { m_stallTimer.setInterval(ms); }

    // Every accepted main-frame navigation (the page's "Повторить" arrives here).
    void onNavigation(const QUrl &url);
    // What the network information backend reports; public so a change can be simulated.
    void setReachability(QNetworkInformation::Reachability reachability);

signals:
    void shown();

private:
    void onLoadingChanged(const QWebEngineLoadingInfo &info);
    void onStalled();
    void show(SiteFailure failure, const QUrl &url, const QString &detail);
    void retry(const QString &why);
    void keepRetrying();
    void watchNetwork();

    QWebEnginePage *m_page;
    std::function<bool()> m_isPlaying;
    QTimer m_retryTimer;
    QTimer m_stallTimer;
    QUrl m_loading;
    QUrl m_failedUrl;
    int m_failures = 0;
    bool m_showing = false;
    bool m_ownRetry = false;
    bool m_stallNoted = false;
    QNetworkInformation::Reachability m_reachability = QNetworkInformation::Reachability::Unknown;
};

} // namespace svd
