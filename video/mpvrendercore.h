#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QSurfaceFormat>

struct mpv_handle;
struct mpv_render_context;

class QOffscreenSurface;
class QOpenGLContext;
class QWindow;

namespace svd {

// One drawing engine of the window output: an OpenGL context plus an mpv render
// context, drawing into a QWindow. Used on exactly one thread (the GUI thread or
// the render thread), which must be the thread that calls setUp and tearDown.
class MpvRenderCore
{
public:
    using UpdateCallback = void (*)(void *);

    MpvRenderCore(QWindow *window, QOffscreenSurface *offscreen, mpv_handle *mpv, int flipY,
                  bool blockForTargetTime, const QString &label);
    ~MpvRenderCore();
    MpvRenderCore(const MpvRenderCore &) = delete;
    MpvRenderCore &operator=(const MpvRenderCore &) = delete;

    bool setUp(const QSurfaceFormat &format, UpdateCallback callback, void *callbackCtx);
    // Returns true only when a frame was drawn and read back into *grab. `clear`
    // (pixels, top-down) is drawn fully transparent: where the page shows through.
    bool draw(bool framePending, bool forced, QSize pixelSize, bool exposed, QImage *grab,
              const QRegion &clear = QRegion());
    void tearDown();

    bool hasRenderContext() const { return m_render != nullptr; }
    QString glInfo() const { return m_glInfo; }

    static void *getProcAddress(void *ctx, const char *name);
    // Takes mpv's next frame without drawing it (the GL context must be current):
    // when nothing is shown, mpv's frame queue must keep moving or playback stalls.
    static void skipFrame(mpv_render_context *render, int fbo, int width, int height);

private:
    void clearRegion(const QRegion &clear, int pixelHeight);
    void logStatistics();
    void resetStatistics();

    QWindow *m_window;
    QOffscreenSurface *m_offscreen;
    mpv_handle *m_mpv;
    int m_flipY;
    bool m_blockForTargetTime;
    QString m_label;
    QString m_glInfo;
    QOpenGLContext *m_context = nullptr;
    mpv_render_context *m_render = nullptr;

    QElapsedTimer m_statsTimer;
    qint64 m_framesShown = 0;
    qint64 m_framesHidden = 0;
    qint64 m_renderNsTotal = 0;
    qint64 m_renderNsMax = 0;
    qint64 m_swapNsTotal = 0;
    qint64 m_swapNsMax = 0;
};

class MpvPlayer;

// The selected video track (> 0), or 0 when none; read before a render context
// is freed, because mpv drops the track once its video output is gone.
qint64 selectedVideoTrack(MpvPlayer *player);
// Sends the video track to a new render context: selects `track` again when mpv
// dropped it with the old context, then lets the player re-select it.
void reselectVideoTrack(MpvPlayer *player, qint64 track);

// Integer pixel size of a window of `size` logical pixels at `dpr`, never below 1x1.
QSize videoPixelSize(QSize size, qreal dpr);
// `region` in logical pixels as whole device pixels at `dpr`, covering every touched pixel.
QRegion videoPixelRegion(const QRegion &region, qreal dpr);

} // namespace svd
