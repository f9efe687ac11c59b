#include "video/mpvvideowindow.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "video/mpvrendercore.h"
#include "video/mpvrenderthread.h"
#include "video/videooutput.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QOffscreenSurface>
#include <QPlatformSurfaceEvent>

namespace svd {

bool MpvVideoWindow::renderThreadRequested(const QByteArray &envValue)
{
    bool ok = false;
    const int v = envValue.trimmed().toInt(&ok);
    return ok && v != 0;
}

MpvVideoWindow::MpvVideoWindow(QWindow *parent)
    : QWindow(parent), m_useRenderThread(renderThreadRequested(qgetenv("SVD_VIDEO_RENDER_THREAD"))),
      m_exposureFromTopLevel(QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
{
    setSurfaceType(QSurface::OpenGLSurface);
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setSwapInterval(m_useRenderThread ? 1 : 0);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    // A Wayland surface cannot be shaped: page holes are transparent pixels instead.
    if (m_exposureFromTopLevel)
        format.setAlphaBufferSize(8);
    setFormat(format);
}

MpvVideoWindow::~MpvVideoWindow()
{
    if (m_player)
        disconnect(m_player, nullptr, this, nullptr);
    stopRenderer();
    delete m_offscreen;
}

bool MpvVideoWindow::setPlayer(MpvPlayer *player)
{
    if (m_player)
        disconnect(m_player, nullptr, this, nullptr);
    // mpv's video output dies with the render context it drew into; a player that
    // is attached again must send its video track to the new one.
    const bool reattach = player && player == m_player && hasRenderContext();
    const qint64 track = reattach ? selectedVideoTrack(player) : -1;
    stopRenderer();
    m_restartOnSurface = false;
    m_player = player;
    if (!player || !player->isInitialized())
        return false;

    // Direct: the render context must be gone before mpv_terminate_destroy runs.
    connect(
        player, &MpvPlayer::aboutToDestroy, this,
        [this] {
            stopRenderer();
            m_player = nullptr;
        },
        Qt::DirectConnection);
    return startRenderer(track);
}

bool MpvVideoWindow::startRenderer(qint64 reselectTrack)
{
    MpvPlayer *player = m_player;
    create();
    if (!m_offscreen) {
        m_offscreen = new QOffscreenSurface;
        m_offscreen->setFormat(requestedFormat());
        m_offscreen->create();
    }

    const int flip = videoOutput().effectiveFlip();
    if (m_useRenderThread) {
        m_thread = new MpvRenderThread(this, m_offscreen, player->handle(), flip, requestedFormat());
        m_thread->start();
        if (!m_thread->waitUntilReady(10000)) {
            logLine(QStringLiteral("video: window mode: no render context"));
            stopRenderer();
            return false;
        }
    } else {
        m_core = new MpvRenderCore(this, m_offscreen, player->handle(), flip, false, QStringLiteral("GUI thread"));
        if (!m_core->setUp(requestedFormat(), &MpvVideoWindow::onUpdateGui, this)) {
            delete m_core;
            m_core = nullptr;
            return false;
        }
    }
    pushGeometry();
    if (reselectTrack >= 0)
        QMetaObject::invokeMethod(
            this, [this, reselectTrack] { reselectVideoTrack(m_player, reselectTrack); },
            Qt::QueuedConnection);
    return true;
}

void MpvVideoWindow::stopRenderer()
{
    if (m_thread) {
        m_thread->stopAndWait();
        delete m_thread;
        m_thread = nullptr;
    }
    delete m_core;
    m_core = nullptr;
}

QSize MpvVideoWindow::pixelSize() const
{
    return videoPixelSize(size(), devicePixelRatio());
}

bool MpvVideoWindow::hasRenderContext() const
{
    return m_thread || m_core;
}

QString MpvVideoWindow::glInfo() const
{
    if (m_thread)
        return m_thread->glInfo();
    if (m_core)
        return m_core->glInfo();
    return QString();
}

void MpvVideoWindow::onUpdateGui(void *ctx)
{
    auto *self = static_cast<MpvVideoWindow *>(ctx);
    self->m_framePending = true;
    self->queueGuiRender();
}

void MpvVideoWindow::queueGuiRender()
{
    // Several updates before the GUI thread runs fold into one draw. Called on
    // mpv's threads and queued by name, like the player's wake-ups: a functor
    // built here would reach the GUI thread through Qt's event queue, a hand-over
    // ThreadSanitizer cannot see.
    if (!m_renderQueued.exchange(true))
        QMetaObject::invokeMethod(this, "renderQueued", Qt::QueuedConnection);
}

void MpvVideoWindow::renderQueued()
{
    renderOnGui(nullptr);
}

QWindow *MpvVideoWindow::topLevel() const
{
    QWindow *top = const_cast<MpvVideoWindow *>(this);
    while (top->parent())
        top = top->parent();
    return top;
}

bool MpvVideoWindow::drawable() const
{
    QWindow *top = topLevel();
    if (!m_exposureFromTopLevel || top == this)
        return isExposed();
    return isVisible() && top->isExposed();
}

// The container reparents this window into whichever top-level holds it now.
void MpvVideoWindow::watchTopLevel()
{
    QWindow *top = topLevel();
    if (!m_exposureFromTopLevel || top == m_watchedTop)
        return;
    if (m_watchedTop)
        m_watchedTop->removeEventFilter(this);
    m_watchedTop = top == this ? nullptr : top;
    if (m_watchedTop)
        m_watchedTop->installEventFilter(this);
}

bool MpvVideoWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_watchedTop && event->type() == QEvent::Expose)
        pushGeometry();
    return QWindow::eventFilter(watched, event);
}

void MpvVideoWindow::setVisibleRegion(const QRegion &visible)
{
    if (visible == mask())
        return;
    setMask(visible);
    pushGeometry();
}

QRegion MpvVideoWindow::pixelHoles() const
{
    const QRegion visible = mask();
    if (visible.isEmpty())
        return QRegion();
    const QRect all(QPoint(0, 0), size());
    return videoPixelRegion(QRegion(all).subtracted(visible), devicePixelRatio());
}

void MpvVideoWindow::pushGeometry()
{
    watchTopLevel();
    if (m_thread) {
        m_thread->setGeometry(pixelSize(), drawable(), pixelHoles());
    } else if (m_core) {
        m_geometryDirty = true;
        queueGuiRender();
    }
}

bool MpvVideoWindow::renderOnGui(QImage *grab)
{
    m_renderQueued = false;
    if (!m_core)
        return false;
    const bool pending = m_framePending.exchange(false);
    const bool dirty = m_geometryDirty.exchange(false);
    if (!pending && !grab && !dirty)
        return false;
    return m_core->draw(pending, grab || dirty, pixelSize(), drawable(), grab, pixelHoles());
}

QImage MpvVideoWindow::grabNextFrame(int timeoutMs)
{
    if (m_thread)
        return m_thread->grabNextFrame(timeoutMs);
    QImage image;
    if (m_core && renderOnGui(&image))
        return image;
    return QImage();
}

bool MpvVideoWindow::event(QEvent *event)
{
    if (event->type() == QEvent::PlatformSurface) {
        // Sent before the native window is destroyed (hiding a native parent,
        // moving between screens or top-levels): no frame may be drawn into it
        // afterwards, so the renderer stops here and not only on an orderly shutdown.
        switch (static_cast<QPlatformSurfaceEvent *>(event)->surfaceEventType()) {
        case QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed:
            if (hasRenderContext()) {
                m_lostTrack = selectedVideoTrack(m_player);
                stopRenderer();
                m_restartOnSurface = true;
            }
            break;
        case QPlatformSurfaceEvent::SurfaceCreated:
            if (m_restartOnSurface) {
                m_restartOnSurface = false;
                // Not inside create(): the new surface is set up completely first.
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        if (m_player && m_player->isInitialized() && !hasRenderContext())
                            startRenderer(m_lostTrack);
                    },
                    Qt::QueuedConnection);
            }
            break;
        }
    }
    return QWindow::event(event);
}

void MpvVideoWindow::exposeEvent(QExposeEvent *event)
{
    QWindow::exposeEvent(event);
    pushGeometry();
}

void MpvVideoWindow::resizeEvent(QResizeEvent *event)
{
    QWindow::resizeEvent(event);
    pushGeometry();
}

void MpvVideoWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit pressed(false);
    else if (event->button() == Qt::RightButton)
        emit contextMenuRequested(event->globalPosition().toPoint());
    event->accept();
}

void MpvVideoWindow::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit pressed(true);
    event->accept();
}

void MpvVideoWindow::keyPressEvent(QKeyEvent *event)
{
    emit keyPressed(event);
}

void MpvVideoWindow::wheelEvent(QWheelEvent *event)
{
    emit wheeled(event);
}

} // namespace svd
