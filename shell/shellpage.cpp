#include "shell/shellpage.h"

#include "base/log.h"

#include <QRegularExpression>

namespace svd {

QString routeKey(const QUrl &url)
{
    QString path = url.path(QUrl::FullyDecoded);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    static const QRegularExpression episodeTail(QStringLiteral("/episode/[^/]+$"));
    path.remove(episodeTail);
    return url.scheme() + QStringLiteral("://") + url.host().toLower() + path;
}

ShellPage::ShellPage(QWebEngineProfile *profile, QObject *parent) : QWebEnginePage(profile, parent) {}

ShellPage::~ShellPage() = default;

QWebEnginePage *ShellPage::createWindow(WebWindowType type)
{
    Q_UNUSED(type)
    return this;
}

bool ShellPage::consoleMessageLogged(JavaScriptConsoleMessageLevel level, const QString &message,
                                     const QString &sourceId)
{
    return level == ErrorMessageLevel || sourceId.startsWith(QLatin1String("qrc:")) ||
           message.contains(QLatin1String("sorvantaDesktop"));
}

void ShellPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message,
                                         int lineNumber, const QString &sourceId)
{
    if (consoleMessageLogged(level, message, sourceId))
        logLine(QStringLiteral("js: %1 (%2:%3)").arg(message, sourceId, QString::number(lineNumber)));
}

bool ShellPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    const bool accepted = QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    if (accepted && isMainFrame && m_onNavigation)
        m_onNavigation(url, type);
    return accepted;
}

} // namespace svd
