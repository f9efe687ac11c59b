#pragma once

#include <QElapsedTimer>
#include <QOpenGLWidget>
#include <QPointer>

#include <atomic>

struct mpv_render_context;

namespace svd {

class MpvPlayer;

// The "glwidget" video output: draws the player's frames on the GUI thread into
// the widget's framebuffer, composed with the rest of the window.
class MpvGlWidget : public QOpenGLWidget
{
    Q_OBJECT

public:
    explicit MpvGlWidget(QWidget *parent = nullptr);
    ~MpvGlWidget() override;

    bool setPlayer(MpvPlayer *player);
    bool createContext();
    void freeContext();

    bool hasRenderContext() const { return m_render != nullptr; }
    QString glInfo() const { return m_glInfo; }

    static void onUpdate(void *ctx);
    static void *getProcAddress(void *ctx, const char *name);

public slots:
    void onMpvUpdate();

protected:
    void initializeGL() override;
    void paintGL() override;

private:
    void logStatistics(double secs);

    QPointer<MpvPlayer> m_player;
    mpv_render_context *m_render = nullptr;
    bool m_glInitialised = false;
    bool m_reselectVideo = false;
    qint64 m_lostTrack = 0; // the video track when the last render context was lost
    std::atomic_bool m_updatePending{false};
    QString m_glInfo;

    QElapsedTimer m_statsTimer;
    qint64 m_framesPainted = 0;
    qint64 m_renderNsTotal = 0;
    qint64 m_renderNsMax = 0;
};

} // namespace svd
