// The page's playback requests. The native player objects (media player,
// playback controller, tuner) are not created yet: initPlayer() is the seam
// where they come in, and until then every play ends in the page's fallback.
#include "shell/mainwindow.h"
#include "ui/updatedialog.h"
#include "ui/updateflow.h"

#include "app/log.h"
#include "shell/desktopbridge.h"
#include "shell/shellpage.h"
#include "sources/sourceprovider.h"

#include <QApplication>
#include <QPointer>
#include <QWebEngineView>

namespace svd {

namespace {

QVariantMap failure(const QString &reason)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("reason"), reason}};
}

} // namespace

void MainWindow::onAvailabilityRequested(qint64 animeId, int episode, int reqId)
{
    QPointer<DesktopBridge> bridge = m_bridge;
    if (!m_provider) {
        emit m_bridge->reply(reqId, {{QStringLiteral("ok"), false},
                                     {QStringLiteral("available"), false},
                                     {QStringLiteral("sources"), 0},
                                     {QStringLiteral("reason"), QStringLiteral("no-torrent-source")}});
        return;
    }
    m_provider->fetchEpisode(animeId, episode, [bridge, reqId](const EpisodeSources &es) {
        if (!bridge)
            return;
        const int n = int(es.sources.size());
        QVariantMap r{{QStringLiteral("ok"), es.error.isEmpty() || n > 0},
                      {QStringLiteral("available"), n > 0},
                      {QStringLiteral("sources"), n}};
        if (n == 0)
            r.insert(QStringLiteral("reason"), es.error.isEmpty() ? QStringLiteral("no-torrent-source") : es.error);
        emit bridge->reply(reqId, r);
    });
}

void MainWindow::onPlayRequested(qint64 animeId, int episode, const QString &title, const QString &dub,
                                 const QString &subtitle, int reqId)
{
    const quint64 gen = ++m_generation;
    const QString key = routeKey(m_webView ? m_webView->url() : QUrl());
    if (!m_provider) {
        emit m_bridge->reply(reqId, failure(QStringLiteral("no-torrent-source")));
        return;
    }
    QPointer<MainWindow> self = this;
    m_provider->fetchEpisode(animeId, episode, [=, this](const EpisodeSources &es) {
        if (!self || !m_bridge)
            return;
        if (m_generation != gen || routeKey(m_webView ? m_webView->url() : QUrl()) != key) {
            emit m_bridge->reply(reqId, failure(QStringLiteral("superseded")));
            return;
        }
        if (es.sources.isEmpty()) {
            emit m_bridge->reply(reqId, failure(QStringLiteral("no-torrent-source")));
            return;
        }
        // The cache-budget check ("low-disk-space") belongs here once initPlayer() creates a controller.
        emit m_bridge->reply(reqId, {{QStringLiteral("ok"), true}, {QStringLiteral("sources"), int(es.sources.size())}});
        openPlayer(animeId, episode, title, dub, subtitle);
    });
}

bool MainWindow::initPlayer()
{
    // Media player, playback controller and tuner are created here on first use.
    return false;
}

void MainWindow::openPlayer(qint64 animeId, int episode, const QString &title, const QString &dub,
                            const QString &subtitle)
{
    Q_UNUSED(title)
    Q_UNUSED(dub)
    Q_UNUSED(subtitle)
    if (initPlayer()) {
        m_playing = true;
        m_routeKey = m_webView ? routeKey(m_webView->url()) : QString();
        applyPageConfig();
        updateOverlay();
        return;
    }
    if (m_bridge)
        m_bridge->sendEvent(QStringLiteral("fallback"),
                            {{QStringLiteral("animeId"), animeId},
                             {QStringLiteral("episode"), episode},
                             {QStringLiteral("reason"), QStringLiteral("player-init-failed")}});
    closePlayer(QStringLiteral("init failed"));
}

void MainWindow::closePlayer(const QString &reason)
{
    ++m_generation;
    m_playing = false;
    m_routeKey.clear();
    resetPlayerBox();
    if (m_webView)
        applyPageConfig();

    m_fullscreenRequested = false;
    if (isFullScreen()) {
        if (m_wasMaximized)
            showMaximized();
        else
            showNormal();
    }
    updateOverlay();

    if (m_webView) {
        QWidget *focus = QApplication::focusWidget();
        if (!focus || (m_playerView && (focus == m_playerView || m_playerView->isAncestorOf(focus))))
            m_webView->setFocus(Qt::OtherFocusReason);
        restoreTitle();
        if (m_bridge && reason != QLatin1String("fallback"))
            m_bridge->sendEvent(QStringLiteral("closed"), {{QStringLiteral("reason"), reason}});
    }
    if (m_updateFlow)
        m_updateFlow->playerClosed(reason);
}

void MainWindow::scheduleTracksEvent()
{
    if (m_bridge && m_playing)
        m_tracksTimer.start();
}

void MainWindow::emitTracksEvent()
{
    if (!m_bridge || !m_playing)
        return;
    const QVariantMap payload = tracksPayload();
    if (!payload.isEmpty())
        m_bridge->sendEvent(QStringLiteral("tracks"), payload);
}

QVariantMap MainWindow::tracksPayload() const
{
    // Needs the controller's current source and the player's track list.
    return {};
}

void MainWindow::onTracksRequested(int reqId)
{
    QVariantMap r = tracksPayload();
    r.insert(QStringLiteral("ok"), !r.isEmpty());
    emit m_bridge->reply(reqId, r);
}

void MainWindow::onDubRequested(const QString &label)
{
    Q_UNUSED(label)
    scheduleTracksEvent();
}

void MainWindow::onSubtitleRequested(int sid)
{
    Q_UNUSED(sid)
    scheduleTracksEvent();
}

QString MainWindow::playbackStateText() const
{
    return QStringLiteral("-");
}

void MainWindow::onVideoRectChanged(const QRect &cssRect, double dpr, bool visible, const QList<QRect> &holes)
{
    Q_UNUSED(dpr)
    m_videoRect = cssRect;
    m_videoRectVisible = visible;
    m_holes = holes;
    updateOverlay();
}

void MainWindow::updateOverlay()
{
    // Geometry, holes and visibility of the player view over the page's box.
    if (m_playerOnly || !m_webView || !m_playerView)
        return;
    if (!m_playing)
        m_playerView->hide();
}

} // namespace svd
