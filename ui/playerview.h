#pragma once

#include "player/playerstats.h"
#include "video/videooutput.h"

#include <QPoint>
#include <QPointer>
#include <QRegion>
#include <QTimer>
#include <QWidget>

class QLabel;
class QAction;
class QContextMenuEvent;
class QMenu;
class QSlider;
class QToolButton;
class QWheelEvent;
class QWindow;

namespace svd {

class MpvGlWidget;
class MpvPlayer;
class MpvVideoWindow;
class PlaybackController;
class SeekSlider;
class StatsPanel;
class VideoTuner;

// The native player: top bar, video area and bottom bar with seek slider,
// transport, dub/audio/subtitle menus, volume and fullscreen. GUI thread only.
class PlayerView : public QWidget {
    Q_OBJECT
public:
    explicit PlayerView(QWidget *parent = nullptr);
    ~PlayerView() override;

    void attach(MpvPlayer *player, PlaybackController *controller);
    bool attachVideo(MpvPlayer *player);

    quint64 videoWinId() const;
    quint64 videoNativeId() const;
    QString videoGlInfo() const;
    QWidget *videoWidget() const { return m_video; }
    MpvVideoWindow *videoWindow() const { return m_videoWindow; }

    bool setHoles(const QRegion &region);
    bool ownsNativeFocus() const { return false; }
    void takeKeyFocus();

    void setBackText(const QString &text);
    void showMessage(const QString &text);
    void setInlineMode(bool on);
    bool inlineMode() const { return m_inline; }
    void applyBars();
    void setFullscreen(bool on);
    bool isFullscreen() const { return m_fullscreen; }
    void rebuildMenus();
    void requestMenuRebuild();
    void fitBar();
    void updateTime();
    bool handleKey(int key);
    void onStats(const svd::PlayerStats &stats);

    // Statistics panel over the video ("i" and the player's menu); remembered under "ui/statsPanel".
    void setTuner(VideoTuner *tuner);
    void setStatsVisible(bool on);
    bool statsVisible() const;
    StatsPanel *statsPanel() const { return m_statsPanel; }
    QMenu *playerMenu() const { return m_playerMenu; }

    // For tests and the smoke check.
    QLabel *statusLabel() const { return m_status; }
    QLabel *timeLabel() const { return m_time; }
    QLabel *titleLabel() const { return m_title; }
    QMenu *dubMenu() const { return m_dubMenu; }
    QMenu *audioMenu() const { return m_audioMenu; }
    QMenu *subMenu() const { return m_subMenu; }
    QToolButton *dubButton() const { return m_dubBtn; }
    QToolButton *audioButton() const { return m_audioBtn; }
    QToolButton *subButton() const { return m_subBtn; }
    QToolButton *prevButton() const { return m_prevBtn; }
    QToolButton *nextButton() const { return m_nextBtn; }
    QWidget *topBar() const { return m_topBar; }
    QWidget *bottomBar() const { return m_bottomBar; }
    QSlider *volumeSlider() const { return m_volume; }
    SeekSlider *seekSlider() const { return m_seek; }
    bool menuRebuildPending() const { return m_rebuildPending; }

signals:
    void backRequested();
    void fullscreenRequested(bool on);
    // The keyboard's Stop key: the owner ends playback as the desktop's Stop does.
    void stopRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void buildLayout();
    void connectControls();
    void onPropertyChanged(const QString &name, const QVariant &value);
    void onVideoPressed(bool doubleClick);
    void seekToSlider();
    void togglePause();
    void stepVolume(int delta);
    void onWheel(QWheelEvent *event);
    void rebuildTrackMenu(QMenu *menu, const QString &type, const QString &prop);
    void rebuildDubMenu();
    void pollIdle();
    void setPointerHidden(bool hidden);
    bool anyMenuOpen() const;
    void initStats();
    void updateStatsPanel(const svd::PlayerStats &stats);
    void showPlayerMenu(const QPoint &globalPos);

    QPointer<MpvPlayer> m_player;
    QPointer<PlaybackController> m_controller;
    const VideoMode m_kind;

    QWidget *m_topBar = nullptr;
    QToolButton *m_backBtn = nullptr;
    QLabel *m_title = nullptr;
    QWidget *m_video = nullptr;
    MpvVideoWindow *m_videoWindow = nullptr;
    MpvGlWidget *m_glWidget = nullptr;
    QWidget *m_bottomBar = nullptr;
    SeekSlider *m_seek = nullptr;
    QToolButton *m_prevBtn = nullptr;
    QToolButton *m_playBtn = nullptr;
    QToolButton *m_nextBtn = nullptr;
    QLabel *m_time = nullptr;
    QLabel *m_status = nullptr;
    QToolButton *m_dubBtn = nullptr;
    QToolButton *m_audioBtn = nullptr;
    QToolButton *m_subBtn = nullptr;
    QToolButton *m_muteBtn = nullptr;
    QSlider *m_volume = nullptr;
    QToolButton *m_fsBtn = nullptr;
    QMenu *m_dubMenu = nullptr;
    QMenu *m_audioMenu = nullptr;
    QMenu *m_subMenu = nullptr;

    bool m_fullscreen = false;
    bool m_inline = false;
    bool m_dragging = false;
    bool m_rebuildPending = false;
    QPoint m_lastMousePos;
    qint64 m_lastMoveMs = 0;
    QTimer m_idleTimer;
    int m_wheelRest = 0;     // wheel units short of a notch

    QPointer<VideoTuner> m_tuner;
    StatsPanel *m_statsPanel = nullptr;
    QMenu *m_playerMenu = nullptr;
    QAction *m_statsAction = nullptr;
};

} // namespace svd
