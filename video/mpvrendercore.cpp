#include "video/mpvrendercore.h"

#include "base/log.h"
#include "player/mpvplayer.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QWindow>

#include <mpv/client.h>
#include <mpv/render_gl.h>

#include <cmath>

namespace svd {

namespace {

QString glString(QOpenGLFunctions *f, GLenum name)
{
    const auto *s = reinterpret_cast<const char *>(f->glGetString(name));
    return s ? QString::fromLatin1(s) : QString();
}

QString ms(qint64 ns, int decimals)
{
    return QString::number(double(ns) / 1e6, 'f', decimals);
}

} // namespace

qint64 selectedVideoTrack(MpvPlayer *player)
{
    if (!player)
        return 0;
    const QVariant vid = player->getProp(QStringLiteral("vid"));
    return vid.typeId() == QMetaType::LongLong && vid.toLongLong() > 0 ? vid.toLongLong() : 0;
}

void reselectVideoTrack(MpvPlayer *player, qint64 track)
{
    if (!player)
        return;
    if (track > 0 && selectedVideoTrack(player) != track)
        player->setProp(QStringLiteral("vid"), track);
    player->reinitVideo();
}

QSize videoPixelSize(QSize size, qreal dpr)
{
    return QSize(qMax(1, int(std::lround(dpr * size.width()))), qMax(1, int(std::lround(dpr * size.height()))));
}

QRegion videoPixelRegion(const QRegion &region, qreal dpr)
{
    QRegion out;
    for (const QRect &r : region)
        out += QRectF(r.x() * dpr, r.y() * dpr, r.width() * dpr, r.height() * dpr).toAlignedRect();
    return out;
}

MpvRenderCore::MpvRenderCore(QWindow *window, QOffscreenSurface *offscreen, mpv_handle *mpv, int flipY,
                             bool blockForTargetTime, const QString &label)
    : m_window(window), m_offscreen(offscreen), m_mpv(mpv), m_flipY(flipY),
      m_blockForTargetTime(blockForTargetTime), m_label(label)
{
}

MpvRenderCore::~MpvRenderCore()
{
    tearDown();
}

void MpvRenderCore::skipFrame(mpv_render_context *render, int fbo, int width, int height)
{
    mpv_opengl_fbo target{fbo, width, height, 0};
    int skip = 1;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &target},
        {MPV_RENDER_PARAM_SKIP_RENDERING, &skip},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context_render(render, params);
}

void *MpvRenderCore::getProcAddress(void *, const char *name)
{
    QOpenGLContext *ctx = QOpenGLContext::currentContext();
    if (!ctx)
        return nullptr;
    return reinterpret_cast<void *>(ctx->getProcAddress(QByteArray(name)));
}

bool MpvRenderCore::setUp(const QSurfaceFormat &format, UpdateCallback callback, void *callbackCtx)
{
    m_context = new QOpenGLContext;
    m_context->setFormat(format);
    if (!m_context->create() || !m_context->makeCurrent(m_offscreen)) {
        logLine(QStringLiteral("video: window mode: OpenGL context creation failed"));
        return false;
    }

    QOpenGLFunctions *f = m_context->functions();
    const QSurfaceFormat actual = m_context->format();
    m_glInfo = QStringLiteral("%1 | %2 | %3 profile %4.%5, swap interval %6")
                   .arg(glString(f, GL_VERSION), glString(f, GL_RENDERER),
                        actual.profile() == QSurfaceFormat::CoreProfile ? QStringLiteral("core")
                                                                        : QStringLiteral("compat/none"),
                        QString::number(actual.majorVersion()), QString::number(actual.minorVersion()),
                        QString::number(actual.swapInterval()));
    logLine(QStringLiteral("video: OpenGL %1 (window mode, %2)").arg(m_glInfo, m_label));

    mpv_opengl_init_params glInit{&MpvRenderCore::getProcAddress, nullptr};
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char *>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glInit},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    const int rc = mpv_render_context_create(&m_render, m_mpv, params);
    if (rc < 0) {
        m_render = nullptr;
        logLine(QStringLiteral("video: mpv_render_context_create failed: ") +
                QString::fromUtf8(mpv_error_string(rc)));
        m_context->doneCurrent();
        return false;
    }
    mpv_render_context_set_update_callback(m_render, callback, callbackCtx);
    logLine(QStringLiteral("video: mpv render context created (OpenGL, window mode, %1)").arg(m_label));
    m_context->doneCurrent();
    resetStatistics();
    return true;
}

bool MpvRenderCore::draw(bool framePending, bool forced, QSize pixelSize, bool exposed, QImage *grab,
                         const QRegion &clear)
{
    if (!m_render)
        return false;
    const bool newFrame = framePending && (mpv_render_context_update(m_render) & MPV_RENDER_UPDATE_FRAME);
    bool grabbed = false;

    if (newFrame || forced) {
        if (exposed && m_context->makeCurrent(m_window)) {
            QElapsedTimer timer;
            timer.start();
            mpv_opengl_fbo fbo{int(m_context->defaultFramebufferObject()), pixelSize.width(), pixelSize.height(), 0};
            int flip = m_flipY;
            int block = m_blockForTargetTime ? 1 : 0;
            mpv_render_param params[] = {
                {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
                {MPV_RENDER_PARAM_FLIP_Y, &flip},
                {MPV_RENDER_PARAM_BLOCK_FOR_TARGET_TIME, &block},
                {MPV_RENDER_PARAM_INVALID, nullptr},
            };
            mpv_render_context_render(m_render, params);
            clearRegion(clear, pixelSize.height());
            const qint64 renderNs = timer.nsecsElapsed();

            if (grab) {
                QImage image(pixelSize, QImage::Format_RGBA8888);
                QOpenGLFunctions *f = m_context->functions();
                f->glPixelStorei(GL_PACK_ALIGNMENT, 4);
                f->glReadPixels(0, 0, pixelSize.width(), pixelSize.height(), GL_RGBA, GL_UNSIGNED_BYTE,
                                image.bits());
                // OpenGL rows come bottom-up.
                *grab = image.mirrored(false, true);
                grabbed = true;
            }
            m_context->swapBuffers(m_window);
            mpv_render_context_report_swap(m_render);
            const qint64 swapNs = timer.nsecsElapsed() - renderNs;

            ++m_framesShown;
            m_renderNsTotal += renderNs;
            m_swapNsTotal += swapNs;
            m_renderNsMax = qMax(m_renderNsMax, renderNs);
            m_swapNsMax = qMax(m_swapNsMax, swapNs);
        } else if (newFrame && m_context->makeCurrent(m_offscreen)) {
            skipFrame(m_render, 0, 1, 1); // nothing is visible
            ++m_framesHidden;
        }
    }

    if (m_statsTimer.isValid() && m_statsTimer.elapsed() >= 30000) {
        logStatistics();
        resetStatistics();
    }
    return grabbed;
}

void MpvRenderCore::clearRegion(const QRegion &clear, int pixelHeight)
{
    if (clear.isEmpty())
        return;
    // A Wayland surface has no shape: the compositor blends these pixels with the
    // page's surface below. On X11 the window's shape hides them anyway.
    QOpenGLFunctions *f = m_context->functions();
    f->glEnable(GL_SCISSOR_TEST);
    f->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    f->glClearColor(0, 0, 0, 0);
    for (const QRect &r : clear) {
        f->glScissor(r.x(), pixelHeight - r.y() - r.height(), r.width(), r.height()); // rows bottom-up
        f->glClear(GL_COLOR_BUFFER_BIT);
    }
    f->glDisable(GL_SCISSOR_TEST);
}

void MpvRenderCore::logStatistics()
{
    const double secs = double(m_statsTimer.elapsed()) / 1000.0;
    const qint64 n = m_framesShown;
    logLine(QStringLiteral("video: window render %1 s: %2 frames shown, %3 consumed hidden; render%4 avg %5 ms max "
                           "%6, swap avg %7 ms max %8 (%9)")
                .arg(QString::number(secs, 'f', 0), QString::number(n), QString::number(m_framesHidden),
                     m_blockForTargetTime ? QStringLiteral(" (incl. waiting for the frame's display time)")
                                          : QString(),
                     n ? ms(m_renderNsTotal / n, 2) : ms(0, 2), ms(m_renderNsMax, 1),
                     n ? ms(m_swapNsTotal / n, 2) : ms(0, 2), ms(m_swapNsMax, 1), m_label));
}

void MpvRenderCore::resetStatistics()
{
    m_framesShown = m_framesHidden = 0;
    m_renderNsTotal = m_renderNsMax = m_swapNsTotal = m_swapNsMax = 0;
    m_statsTimer.start();
}

void MpvRenderCore::tearDown()
{
    if (m_render) {
        if (m_framesShown || m_framesHidden)
            logStatistics();
        // mpv frees its GL objects in mpv_render_context_free: the context must be current.
        m_context->makeCurrent(m_offscreen);
        mpv_render_context_set_update_callback(m_render, nullptr, nullptr);
        mpv_render_context_free(m_render);
        m_render = nullptr;
        m_context->doneCurrent();
    }
    delete m_context;
    m_context = nullptr;
}

} // namespace svd
