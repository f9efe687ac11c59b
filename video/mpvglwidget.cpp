#include "video/mpvglwidget.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "video/mpvrendercore.h"
#include "video/videooutput.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <mpv/client.h>
#include <mpv/render_gl.h>

namespace svd {

MpvGlWidget::MpvGlWidget(QWidget *parent) : QOpenGLWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 180);
}

MpvGlWidget::~MpvGlWidget()
{
    if (m_player)
        disconnect(m_player, nullptr, this, nullptr);
    freeContext();
    // QOpenGLWidget's destructor destroys the context after this object has
    // stopped being an MpvGlWidget; the handler must not run on what is left.
    if (QOpenGLContext *ctx = context())
        disconnect(ctx, nullptr, this, nullptr);
}

void *MpvGlWidget::getProcAddress(void *ctx, const char *name)
{
    return MpvRenderCore::getProcAddress(ctx, name);
}

bool MpvGlWidget::setPlayer(MpvPlayer *player)
{
    if (m_player)
        disconnect(m_player, nullptr, this, nullptr);
    freeContext();
    m_player = player;
    if (!player || !player->isInitialized())
        return false;

    // Direct: the render context must be gone before mpv_terminate_destroy runs.
    connect(
        player, &MpvPlayer::aboutToDestroy, this,
        [this] {
            freeContext();
            m_player = nullptr;
        },
        Qt::DirectConnection);

    if (m_glInitialised) {
        makeCurrent();
        const bool ok = createContext();
        doneCurrent();
        return ok;
    }
    // Grabbing runs initializeGL, which creates the render context.
    grabFramebuffer();
    if (m_glInitialised)
        return m_render != nullptr;
    logLine(QStringLiteral("video: OpenGL initialisation failed (is the window composed with OpenGL?)"));
    return false;
}

bool MpvGlWidget::createContext()
{
    if (!m_player || !m_player->handle())
        return false;
    mpv_opengl_init_params glInit{&MpvGlWidget::getProcAddress, nullptr};
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char *>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glInit},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    const int rc = mpv_render_context_create(&m_render, m_player->handle(), params);
    if (rc < 0) {
        m_render = nullptr;
        logLine(QStringLiteral("video: mpv_render_context_create failed: ") +
                QString::fromUtf8(mpv_error_string(rc)));
        return false;
    }
    mpv_render_context_set_update_callback(m_render, &MpvGlWidget::onUpdate, this);
    logLine(QStringLiteral("video: mpv render context created (OpenGL)"));
    return true;
}

void MpvGlWidget::freeContext()
{
    if (!m_render)
        return;
    // mpv frees its GL objects here: the widget's context must be current.
    if (m_glInitialised)
        makeCurrent();
    mpv_render_context_set_update_callback(m_render, nullptr, nullptr);
    mpv_render_context_free(m_render);
    m_render = nullptr;
    if (m_glInitialised)
        doneCurrent();
}

void MpvGlWidget::initializeGL()
{
    m_glInitialised = true;
    // The context goes away when the widget moves to another top-level window;
    // the render context made with it must go first.
    connect(
        context(), &QOpenGLContext::aboutToBeDestroyed, this,
        [this] {
            if (m_render) {
                m_lostTrack = selectedVideoTrack(m_player);
                freeContext();
                m_reselectVideo = true;
            }
            m_glInitialised = false;
        },
        Qt::DirectConnection);

    QOpenGLFunctions *f = context()->functions();
    const auto str = [f](GLenum name) {
        const auto *s = reinterpret_cast<const char *>(f->glGetString(name));
        return s ? QString::fromLatin1(s) : QString();
    };
    const QSurfaceFormat fmt = context()->format();
    m_glInfo = QStringLiteral("%1 | %2 | %3 profile %4.%5")
                   .arg(str(GL_VERSION), str(GL_RENDERER),
                        fmt.profile() == QSurfaceFormat::CoreProfile ? QStringLiteral("core")
                                                                     : QStringLiteral("compat/none"),
                        QString::number(fmt.majorVersion()), QString::number(fmt.minorVersion()));
    logLine(QStringLiteral("video: OpenGL ") + m_glInfo);

    if (m_player && !m_render && createContext() && m_reselectVideo) {
        m_reselectVideo = false;
        QMetaObject::invokeMethod(
            this,
            [this] { reselectVideoTrack(m_player, m_lostTrack); },
            Qt::QueuedConnection);
    }
}

void MpvGlWidget::onUpdate(void *ctx)
{
    auto *self = static_cast<MpvGlWidget *>(ctx);
    if (!self->m_updatePending.exchange(true))
        QMetaObject::invokeMethod(self, "onMpvUpdate", Qt::QueuedConnection);
}

void MpvGlWidget::onMpvUpdate()
{
    m_updatePending = false;
    if (!m_render || !(mpv_render_context_update(m_render) & MPV_RENDER_UPDATE_FRAME))
        return;
    if (isVisible() && !(window()->windowState() & Qt::WindowMinimized)) {
        update();
    } else if (m_glInitialised) {
        makeCurrent(); // nothing is shown
        const QSize px = videoPixelSize(size(), devicePixelRatioF());
        MpvRenderCore::skipFrame(m_render, int(defaultFramebufferObject()), px.width(), px.height());
        doneCurrent();
    }
}

void MpvGlWidget::paintGL()
{
    if (!m_render) {
        QOpenGLFunctions *f = context()->functions();
        f->glClearColor(0, 0, 0, 1);
        f->glClear(GL_COLOR_BUFFER_BIT);
        return;
    }
    const QSize px = videoPixelSize(size(), devicePixelRatioF());
    mpv_opengl_fbo fbo{int(defaultFramebufferObject()), px.width(), px.height(), 0};
    int flip = videoOutput().effectiveFlip();
    int block = 0;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
        {MPV_RENDER_PARAM_FLIP_Y, &flip},
        {MPV_RENDER_PARAM_BLOCK_FOR_TARGET_TIME, &block},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    QElapsedTimer timer;
    timer.start();
    mpv_render_context_render(m_render, params);
    const qint64 ns = timer.nsecsElapsed();
    ++m_framesPainted;
    m_renderNsTotal += ns;
    m_renderNsMax = qMax(m_renderNsMax, ns);
    if (!m_statsTimer.isValid())
        m_statsTimer.start();
    if (m_statsTimer.elapsed() >= 30000) {
        logStatistics(double(m_statsTimer.elapsed()) / 1000.0);
        m_framesPainted = m_renderNsTotal = m_renderNsMax = 0;
        m_statsTimer.start();
    }
}

void MpvGlWidget::logStatistics(double secs)
{
    logLine(QStringLiteral("video: glwidget render %1 s: %2 frames painted, render avg %3 ms max %4 (GUI thread)")
                .arg(QString::number(secs, 'f', 0), QString::number(m_framesPainted),
                     QString::number(double(m_renderNsTotal) / double(qMax<qint64>(1, m_framesPainted)) / 1e6, 'f',
                                     2),
                     QString::number(double(m_renderNsMax) / 1e6, 'f', 1)));
}

} // namespace svd
