#include "shell/mainwindow.h"

#include "base/log.h"
#include "base/appdefaults.h"
#include "base/loopback.h"
#include "shell/bridgechecks.h"
#include "shell/desktopbridge.h"
#include "shell/offlinepage.h"
#include "diag/perfmonitor.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "shell/shellpage.h"
#include "ui/desktoppresence.h"
#include "ui/playerview.h"
#include "video/videotuner.h"
#include "ui/updatebar.h"
#include "ui/updatedialog.h"
#include "ui/updateflow.h"
#include "video/videooutput.h"
#include "web/webresources.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMouseEvent>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace svd {

namespace {

const QString kDefaultTitle = QStringLiteral("Sorvanta");

bool isInside(const QWidget *w, const QWidget *ancestor)
{
    return w && ancestor && (w == ancestor || ancestor->isAncestorOf(w));
}

} // namespace

MainWindow::MainWindow(const AppConfig &config, TorrentEngine *engine, SourceProvider *provider, bool playerOnly,
                       QWidget *parent)
    : QMainWindow(parent), m_config(config), m_engine(engine), m_provider(provider), m_playerOnly(playerOnly)
{
    setWindowTitle(kDefaultTitle);
    resize(1280, 800);
    statusBar()->hide();

    if (m_playerOnly) {
        m_playerView = new PlayerView(this);
        m_playerView->setBackText(QStringLiteral("Закрыть"));
        setCentralWidget(m_playerView);
    } else {
        setupWeb();
        // The overlay sits over the web view as a sibling, not a child, and is
        // not a native window itself: a native widget in the window makes the
        // web view's Qt Quick composition lose its GL context and the page
        // stops rendering. The video window inside it is native in window
        // mode, which is what keeps the picture above the page.
        m_playerView = new PlayerView(centralWidget());
        m_playerView->setInlineMode(true);
        m_playerView->hide();
        m_webView->installEventFilter(this);
        qApp->installEventFilter(this);
    }

    m_perfMonitor = new PerfMonitor(this);
    m_perfMonitor->setExtraText([this] { return perfExtra(); });
    m_perfMonitor->start(m_config.perfIntervalSec);

    connect(m_playerView, &PlayerView::backRequested, this, [this] {
        if (m_playerOnly)
            close();
        else
            closePlayer(QStringLiteral("user"));
    });
    connect(m_playerView, &PlayerView::fullscreenRequested, this, &MainWindow::setFullscreen);
}

MainWindow::~MainWindow()
{
    qApp->removeEventFilter(this);
    // The page must go before its profile.
    delete m_webView;
    m_webView = nullptr;
    m_page = nullptr;
    delete m_profile;
}

void MainWindow::setupWeb()
{
    m_profile = new QWebEngineProfile(QStringLiteral("SorvantaDesktop"));
    QString ua = m_profile->httpUserAgent();
    if (!ua.contains(QLatin1String("SorvantaDesktop/"))) {
        ua += QLatin1Char(' ') + appUaToken();
        m_profile->setHttpUserAgent(ua);
    }
    logLine(QStringLiteral("shell: user agent ") + m_profile->httpUserAgent());
    if (isLoopbackHost(m_config.site.host()) || m_config.noHttpCache) {
        // Nothing is kept between runs. Not NoCache: with it, QtWebEngine 6.4
        // often never sends the request of the first load (the network context
        // it rebuilds races with that load), and the window stays empty.
        m_profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
        logLine(QStringLiteral("shell: HTTP cache off (%1)")
                    .arg(m_config.noHttpCache ? QStringLiteral("--no-http-cache") : QStringLiteral("local site")));
    }

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_webView = new QWebEngineView(central);
    layout->addWidget(m_webView, 1);
    m_updateBar = new UpdateBar(central);
    m_updateBar->hide();
    layout->addWidget(m_updateBar, 0);
    setCentralWidget(central);
    m_updateFlow = new UpdateFlow(this, m_updateBar, [this] { return m_playing; });
    connect(m_updateFlow, &UpdateFlow::releasePlayer, this, [this] {
        // Nothing may hold files an installer replaces.
        if (m_playing)
            closePlayer(QStringLiteral("update"));
        shutdownPlayer();
    });

    m_page = new ShellPage(m_profile, m_webView);
    m_page->setNavigationCallback(
        [this](const QUrl &url, QWebEnginePage::NavigationType type) { onNavigation(url, int(type)); });
    m_webView->setPage(m_page);
    m_page->settings()->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);

    connect(m_webView, &QWebEngineView::urlChanged, this, &MainWindow::onUrlChanged);
    connect(m_page, &QWebEnginePage::fullScreenRequested, this, [this](QWebEngineFullScreenRequest request) {
        request.accept();
        if (request.toggleOn())
            showFullScreen();
        else
            showNormal();
    });
    connect(m_webView, &QWebEngineView::titleChanged, this, [this](const QString &title) {
        if (!m_playing)
            setWindowTitle(title.isEmpty() ? kDefaultTitle : title);
    });

    // Before anything loads: it turns the engine's error page off.
    m_offline = new OfflinePage(m_page, [this] { return m_playing; }, this);

    const QStringList hosts = bridgeAllowedHosts(m_config.site, QUrl(defaultSiteUrl()));
    // Our offline page is no page of the site, whatever its URL would say.
    m_bridge = new DesktopBridge(
        QLatin1String(kAppVersion), hosts,
        [this] {
            const QUrl url = m_webView ? m_webView->url() : QUrl();
            return m_offline->isOwnUrl(url) ? QUrl() : url;
        },
        this);
    m_channel = new QWebChannel(this);
    m_channel->registerObject(QStringLiteral("sorvantaDesktop"), m_bridge);
    m_page->setWebChannel(m_channel, QWebEngineScript::MainWorld);

    initLite();
    m_tweaks = currentTweaks();
    installBridgeScript();

    connect(m_bridge, &DesktopBridge::clientInfo, this, &MainWindow::onClientInfo);
    connect(m_bridge, &DesktopBridge::availabilityRequested, this, &MainWindow::onAvailabilityRequested);
    connect(m_bridge, &DesktopBridge::playRequested, this, &MainWindow::onPlayRequested);
    connect(m_bridge, &DesktopBridge::stopRequested, this, [this] { closePlayer(QStringLiteral("page")); });
    connect(m_bridge, &DesktopBridge::tracksRequested, this, &MainWindow::onTracksRequested);
    connect(m_bridge, &DesktopBridge::dubRequested, this, &MainWindow::onDubRequested);
    connect(m_bridge, &DesktopBridge::subtitleRequested, this, &MainWindow::onSubtitleRequested);
    connect(m_bridge, &DesktopBridge::videoRectChanged, this, &MainWindow::onVideoRectChanged);
    m_bridge->setStatsSource([this] { return statsPayload(); });
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this,
            [](QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
                logLine(QStringLiteral("shell: render process terminated (status %1, exit code %2)")
                            .arg(int(status))
                            .arg(exitCode));
            });
    connect(m_webView, &QWebEngineView::loadFinished, this, &MainWindow::onLoadFinished);

    m_tracksTimer.setSingleShot(true);
    m_tracksTimer.setInterval(120);
    connect(&m_tracksTimer, &QTimer::timeout, this, &MainWindow::emitTracksEvent);

    const QUrl start = m_config.testPage ? QUrl(QLatin1String(kTestPageUrl)) : m_config.site;
    logLine(QStringLiteral("shell: loading %1").arg(start.toString()));
    m_webView->load(start);
}

void MainWindow::onLoadFinished(bool ok)
{
    // A load that failed before its answer leaves the previous URL in the view.
    const QUrl url = ok ? m_webView->url() : m_page->requestedUrl();
    // Our own page is neither the site nor a page the autoplay test may drive;
    // a load we stopped to show it has been logged by the offline page.
    if (m_offline->isOwnUrl(url))
        return;
    logLine(QStringLiteral("shell: page %1 %2")
                .arg(ok ? QStringLiteral("loaded") : QStringLiteral("FAILED to load"), url.toString()));
    if (!m_compositorLogged)
        logCompositor();
    if (m_updateFlow)
        m_updateFlow->pageLoaded();
    if (ok && m_autoplayAnime > 0 && !m_autoplayScheduled) {
        m_autoplayScheduled = true;
        QTimer::singleShot(4000, this, &MainWindow::runAutoplayScript);
    }
}

void MainWindow::setUpdater(Updater *updater, bool devAutoAccept, int firstCheckDelayMs)
{
    if (m_updateFlow)
        m_updateFlow->setUpdater(updater, devAutoAccept, firstCheckDelayMs);
}

void MainWindow::onNavigation(const QUrl &url, int navigationType)
{
    m_offline->onNavigation(url);
    const bool reload = navigationType == QWebEnginePage::NavigationTypeReload;
    const QUrl current = m_webView ? m_webView->url() : QUrl();
    if (!reload && url.hasFragment() &&
        url.adjusted(QUrl::RemoveFragment) == current.adjusted(QUrl::RemoveFragment))
        return; // an in-page anchor
    if (m_bridge)
        m_bridge->onMainFrameLoad(url);
    // The navigation is still being decided: act after the current event.
    QMetaObject::invokeMethod(
        this, [this, url] { onPageChange(QStringLiteral("navigation to ") + url.toString(), true); },
        Qt::QueuedConnection);
}

void MainWindow::onUrlChanged(const QUrl &url)
{
    if (!m_playing || m_routeKey.isEmpty())
        return;
    if (routeKey(url) != m_routeKey)
        onPageChange(QStringLiteral("route ") + url.toString(), false);
}

void MainWindow::onPageChange(const QString &reason, bool navigation)
{
    ++m_generation;
    if (navigation)
        resetPlayerBox();
    if (m_playing) {
        logLine(QStringLiteral("shell: page changed while playing (%1) -> stop").arg(reason));
        closePlayer(QStringLiteral("navigation"));
    }
}

void MainWindow::resetPlayerBox()
{
    m_videoRect = QRect();
    m_videoRectVisible = false;
    m_holes.clear();
}

void MainWindow::restoreTitle()
{
    const QString title = m_webView ? m_webView->title() : QString();
    setWindowTitle(title.isEmpty() ? kDefaultTitle : title);
}

void MainWindow::setFullscreen(bool on)
{
    m_fullscreenRequested = on;
    if (isFullScreen() != on) {
        if (on) {
            m_wasMaximized = isMaximized();
            showFullScreen();
        } else if (m_wasMaximized) {
            showMaximized();
        } else {
            showNormal();
        }
    }
    if (m_playerView)
        m_playerView->setFullscreen(on);
    updateOverlay();
}

void MainWindow::reclaimWebFocus()
{
    if (!m_webView)
        return;
    QWidget *focus = QApplication::focusWidget();
    if (!focus || isInside(focus, m_playerView))
        m_webView->setFocus(Qt::MouseFocusReason);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (m_webView) {
        if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
            auto *w = static_cast<QWidget *>(watched);
            if (isInside(w, m_webView) && !isInside(w, m_playerView))
                reclaimWebFocus();
        } else if (watched == m_webView && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
            updateOverlay();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::setAutoplayTest(qint64 animeId, int episode)
{
    m_autoplayAnime = animeId;
    m_autoplayEpisode = episode;
}

void MainWindow::runAutoplayScript()
{
    if (!m_page)
        return;
    logLine(QStringLiteral("shell: --autoplay-test anime %1 episode %2").arg(m_autoplayAnime).arg(m_autoplayEpisode));
    static const char *const kScript = R"JS((function () {
  var P = "sorvantaDesktop autoplay-test: ";
  var sd = window.sorvantaDesktop;
  if (!sd) { console.log(P + "no bridge on this page"); return; }
  var box = { x: 40, y: 120, width: 854, height: 480, visible: true, dpr: window.devicePixelRatio || 1 };
  var holeTest = %3, holeDone = false;
  function hole() {
    var d = document.createElement("div");
    d.textContent = "PAGE DROPDOWN (hole)";
    d.style.cssText = "position:fixed;left:300px;top:90px;width:260px;height:320px;background:#ff0000;" +
      "color:#fff;font:bold 18px sans-serif;z-index:2147483647;";
    document.body.appendChild(d);
    sd.setVideoRect(Object.assign({}, box, { holes: [{ x: 296, y: 86, width: 268, height: 328 }] }));
    setTimeout(function () { d.remove(); sd.setVideoRect(box); }, 6000);
  }
  sd.ready.then(function () {
    sd.on("started", function (e) {
      console.log(P + "started " + JSON.stringify(e));
      if (holeTest && !holeDone) { holeDone = true; setTimeout(hole, 8000); }
    });
    sd.on("fallback", function (e) { console.log(P + "fallback " + JSON.stringify(e)); });
    sd.play({ animeId: %1, episode: %2 }).then(function (r) { console.log(P + "play -> " + JSON.stringify(r)); });
    sd.setVideoRect(box);
  });
})();)JS";
    const QString script = QString::fromUtf8(kScript)
                               .arg(QString::number(m_autoplayAnime), QString::number(m_autoplayEpisode),
                                    m_holeShotsDir.isEmpty() ? QStringLiteral("false") : QStringLiteral("true"));
    m_page->runJavaScript(script, QWebEngineScript::MainWorld);
}

void MainWindow::shutdownPlayer()
{
    // Order matters: the tuner and the controller talk to the player, and the
    // controller holds the torrent the player's streams read from. The desktop
    // hears first that nothing plays any more.
    delete m_presence;
    m_presence = nullptr;
    delete m_tuner;
    m_tuner = nullptr;
    if (m_controller) {
        m_controller->stop();
        delete m_controller;
        m_controller = nullptr;
    }
    if (m_player) {
        m_player->destroy();
        delete m_player;
        m_player = nullptr;
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    shutdownPlayer();
    QMainWindow::closeEvent(event);
}

} // namespace svd
