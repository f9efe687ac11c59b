// Lite mode, page configuration and the compositor log of the main window.
#include "shell/mainwindow.h"

#include "base/log.h"
#include "shell/bridgescript.h"
#include "shell/desktopbridge.h"
#include "shell/shellpage.h"
#include "video/videooutput.h"

#include <QQuickWidget>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QWebEngineView>

namespace svd {

namespace {

QString graphicsApiName(QSGRendererInterface::GraphicsApi api)
{
    switch (api) {
    case QSGRendererInterface::Software:
        return QStringLiteral("software");
    case QSGRendererInterface::OpenGL:
        return QStringLiteral("OpenGL");
    case QSGRendererInterface::Direct3D11:
        return QStringLiteral("D3D11");
    case QSGRendererInterface::Vulkan:
        return QStringLiteral("Vulkan");
    case QSGRendererInterface::Metal:
        return QStringLiteral("Metal");
    case QSGRendererInterface::Null:
        return QStringLiteral("null");
    default:
        // Direct3D 12 ("D3D12") has no enumerator in this Qt version.
        return QStringLiteral("?");
    }
}

} // namespace

void MainWindow::initLite()
{
    QSettings settings;
    m_lite.init(settings, m_config.lite, m_config.pageTweaks);
}

QVariantMap MainWindow::currentTweaks() const
{
    return m_lite.currentTweaks(m_playing && !m_playerOnly);
}

void MainWindow::installBridgeScript()
{
    if (!m_page)
        return;
    QVariantMap cfg = m_lite.pageConfig(m_playing && !m_playerOnly);
    installBridgeScriptSource(m_page, bridgeInjectionScript(QLatin1String(kAppVersion), cfg));
}

void MainWindow::applyPageConfig()
{
    const QVariantMap now = currentTweaks();
    if (now == m_tweaks)
        return;
    m_tweaks = now;
    installBridgeScript();
    if (m_bridge)
        emit m_bridge->configChanged({{QStringLiteral("tweaks"), now}});
    logLine(QStringLiteral("lite: page tweaks now {%1}").arg(tweakNames(now)));
}

void MainWindow::onClientInfo(const QVariantMap &info)
{
    QSettings settings;
    const LiteMode::InfoOutcome outcome = m_lite.onClientInfo(info, settings);
    if (outcome.probeFinished)
        installBridgeScript();
    if (outcome.liteChanged)
        applyPageConfig();
}

void MainWindow::logCompositor()
{
    m_compositorLogged = true;
    QQuickWidget *quick = m_webView ? m_webView->findChild<QQuickWidget *>() : nullptr;
    QSGRendererInterface *rif = quick && quick->quickWindow() ? quick->quickWindow()->rendererInterface() : nullptr;
    if (!rif) {
        logLine(QStringLiteral("gpu: Qt Quick backend not available yet"));
        return;
    }
    logLine(QStringLiteral("gpu: Qt Quick %1 on \"%2\"; %3")
                .arg(graphicsApiName(rif->graphicsApi()), QStringLiteral("see QSG RHI Device above"),
                     videoOutput().describe()));
}

QString MainWindow::perfExtra() const
{
    QString s = m_lite.lite() ? QStringLiteral("lite on") : QStringLiteral("lite off");
    if (m_playing)
        s += QStringLiteral(", video ") + playbackStateText();
    return s;
}

} // namespace svd
