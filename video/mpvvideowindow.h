#pragma once

#include <QImage>
#include <QPointer>
#include <QWindow>

#include <atomic>

class QKeyEvent;
class QWheelEvent;
class QOffscreenSurface;

namespace svd {

class MpvPlayer;
class MpvRenderCore;
class MpvRenderThread;

// The "window" video output: an OpenGL QWindow of its own into which the
// player's frames are drawn, on the GUI thread or on the "mpv-render" thread
// (SVD_VIDEO_RENDER_THREAD set to a non-zero integer).
class MpvVideoWindow : public QWindow
{
    Q_OBJECT

public:
    explicit MpvVideoWindow(QWindow *parent = nullptr);
    ~MpvVideoWindow() override;

    bool setPlayer(MpvPlayer *player);
    void stopRenderer();
    void pushGeometry();
    bool renderOnGui(QImage *grab = nullptr);
    // The next drawn frame, upright; a null image when none was drawn in time.
    QImage grabNextFrame(int timeoutMs);

    // Only `visible` (window coordinates) shows the video and takes input; the rest
    // lets the page through. An empty region: the whole window.
    void setVisibleRegion(const QRegion &visible);
    // Whether frames drawn now reach the screen.
    bool drawable() const;

    QSize pixelSize() const;
    bool hasRenderContext() const;
    QString glInfo() const;
    bool usesRenderThread() const { return m_useRenderThread; }

    static void onUpdateGui(void *ctx);
    // SVD_VIDEO_RENDER_THREAD holds a non-zero integer.
    static bool renderThreadRequested(const QByteArray &envValue);

signals:
    void pressed(bool doubleClick);
    void contextMenuRequested(const QPoint &globalPos);
    void keyPressed(QKeyEvent *event);
    void wheeled(QWheelEvent *event);

private slots:
    void renderQueued();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void exposeEvent(QExposeEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    // reselectTrack >= 0: the player drew before, its video goes to the new renderer.
    bool startRenderer(qint64 reselectTrack);
    void queueGuiRender();
    QWindow *topLevel() const;
    void watchTopLevel();
    QRegion pixelHoles() const;

    QPointer<MpvPlayer> m_player;
    const bool m_useRenderThread;
    QOffscreenSurface *m_offscreen = nullptr;
    MpvRenderThread *m_thread = nullptr;
    MpvRenderCore *m_core = nullptr;
    std::atomic_bool m_framePending{false};
    std::atomic_bool m_renderQueued{false};
    std::atomic_bool m_geometryDirty{false};
    // The renderer was stopped because the native window went away; it comes
    // back with the next one, showing this video track again.
    bool m_restartOnSurface = false;
    qint64 m_lostTrack = 0;
    // Qt 6.4's Wayland platform sends a child window no expose event of its own:
    // the top-level's exposure stands for it.
    const bool m_exposureFromTopLevel;
    QPointer<QWindow> m_watchedTop;
};

} // namespace svd
