#pragma once

#include <QUrl>
#include <QWebEnginePage>

#include <functional>

class QWebEngineProfile;

namespace svd {

// Scheme, lower-case host and decoded path without trailing slashes and
// without a final "/episode/<x>": pages of one title share a key.
QString routeKey(const QUrl &url);

// The shell's web page: new windows open in place, selected console messages
// reach the log, accepted main-frame navigations are reported to the window.
class ShellPage : public QWebEnginePage {
    Q_OBJECT
public:
    using NavigationCallback = std::function<void(const QUrl &, QWebEnginePage::NavigationType)>;

    ShellPage(QWebEngineProfile *profile, QObject *parent = nullptr);
    ~ShellPage() override;

    void setNavigationCallback(NavigationCallback cb) { m_onNavigation = std::move(cb); }

    // The console rule: errors, qrc: pages and anything naming the bridge.
    static bool consoleMessageLogged(JavaScriptConsoleMessageLevel level, const QString &message,
                                     const QString &sourceId);

protected:
    QWebEnginePage *createWindow(WebWindowType type) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message, int lineNumber,
                                  const QString &sourceId) override;
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    NavigationCallback m_onNavigation;
};

} // namespace svd
