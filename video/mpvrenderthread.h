#pragma once

#include <QImage>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QSurfaceFormat>
#include <QThread>

#include <condition_variable>
#include <mutex>

struct mpv_handle;

class QOffscreenSurface;
class QWindow;

namespace svd {

// The "mpv-render" thread of the window output: owns its OpenGL context and
// mpv render context and draws whenever mpv reports a frame or the GUI thread
// changes the geometry. Everything shared with the GUI thread sits under m_mutex.
class MpvRenderThread : public QThread
{
    Q_OBJECT

public:
    MpvRenderThread(QWindow *window, QOffscreenSurface *offscreen, mpv_handle *mpv, int flipY,
                    const QSurfaceFormat &format, QObject *parent = nullptr);
    ~MpvRenderThread() override;

    // Waits until the render context exists or creation failed; true when ready.
    bool waitUntilReady(int timeoutMs);
    // Wakes the thread only when size, exposure or the transparent part actually changed.
    void setGeometry(QSize pixelSize, bool exposed, const QRegion &clear = QRegion());
    QImage grabNextFrame(int timeoutMs);
    // Asks the loop to end and joins the thread.
    void stopAndWait();
    QString glInfo() const;

    static void onUpdate(void *ctx);

protected:
    void run() override;

private:
    QWindow *m_window;
    QOffscreenSurface *m_offscreen;
    mpv_handle *m_mpv;
    int m_flipY;
    QSurfaceFormat m_format;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_frameReady = false;
    bool m_geometryChanged = false;
    bool m_stop = false;
    bool m_ready = false;
    bool m_failed = false;
    bool m_grabRequested = false;
    bool m_exposed = false;
    QSize m_size{-1, -1};
    QRegion m_clear;
    QImage m_grabbed;
    QString m_glInfo;
};

} // namespace svd
