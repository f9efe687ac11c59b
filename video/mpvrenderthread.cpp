#include "video/mpvrenderthread.h"

#include "base/log.h"
#include "video/mpvrendercore.h"

#include <chrono>

namespace svd {

MpvRenderThread::MpvRenderThread(QWindow *window, QOffscreenSurface *offscreen, mpv_handle *mpv, int flipY,
                                 const QSurfaceFormat &format, QObject *parent)
    : QThread(parent), m_window(window), m_offscreen(offscreen), m_mpv(mpv), m_flipY(flipY), m_format(format)
{
    setObjectName(QStringLiteral("mpv-render"));
}

MpvRenderThread::~MpvRenderThread()
{
    stopAndWait();
}

void MpvRenderThread::onUpdate(void *ctx)
{
    auto *self = static_cast<MpvRenderThread *>(ctx);
    {
        std::lock_guard lock(self->m_mutex);
        self->m_frameReady = true;
    }
    self->m_cond.notify_all();
}

bool MpvRenderThread::waitUntilReady(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_ready || m_failed; });
    return m_ready;
}

void MpvRenderThread::setGeometry(QSize pixelSize, bool exposed, const QRegion &clear)
{
    {
        std::lock_guard lock(m_mutex);
        if (pixelSize == m_size && exposed == m_exposed && clear == m_clear)
            return;
        m_size = pixelSize;
        m_exposed = exposed;
        m_clear = clear;
        m_geometryChanged = true;
    }
    m_cond.notify_all();
}

QImage MpvRenderThread::grabNextFrame(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_grabbed = QImage();
    m_grabRequested = true;
    m_geometryChanged = true;
    m_cond.notify_all();
    m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_grabRequested || m_stop; });
    m_grabRequested = false;
    return m_grabbed;
}

void MpvRenderThread::stopAndWait()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    wait();
}

QString MpvRenderThread::glInfo() const
{
    std::lock_guard lock(m_mutex);
    return m_glInfo;
}

void MpvRenderThread::run()
{
    MpvRenderCore core(m_window, m_offscreen, m_mpv, m_flipY, true, QStringLiteral("render thread"));
    const bool ok = core.setUp(m_format, &MpvRenderThread::onUpdate, this);
    {
        std::lock_guard lock(m_mutex);
        if (ok) {
            m_glInfo = core.glInfo();
            m_ready = true;
        } else {
            m_failed = true;
        }
    }
    m_cond.notify_all();
    if (!ok)
        return;

    for (;;) {
        std::unique_lock lock(m_mutex);
        m_cond.wait(lock, [this] { return m_frameReady || m_geometryChanged || m_stop; });
        if (m_stop)
            break;
        const bool frame = m_frameReady;
        const bool forced = m_geometryChanged;
        m_frameReady = m_geometryChanged = false;
        const QSize size = m_size;
        const bool grab = m_grabRequested;
        const bool exposed = m_exposed && size.isValid();
        const QRegion clear = m_clear;
        lock.unlock();

        QImage image;
        if (core.draw(frame, forced, size, exposed, grab ? &image : nullptr, clear)) {
            {
                std::lock_guard relock(m_mutex);
                m_grabbed = image;
                m_grabRequested = false;
            }
            m_cond.notify_all();
        }
    }
    core.tearDown();
    logLine(QStringLiteral("video: window mode render thread stopped"));
}

} // namespace svd
