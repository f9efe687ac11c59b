#pragma once

#include "base/appconfig.h"
#include "shell/litemode.h"

#include <QList>
#include <QMainWindow>
#include <QRect>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

class QWebChannel;
class QWebEngineProfile;
class QWebEngineView;

namespace svd {

class DesktopBridge;
class DesktopPresence;
class MpvPlayer;
class OfflinePage;
class PerfMonitor;
class PlaybackController;
class PlayerView;
class ShellPage;
class VideoTuner;
class SourceProvider;
class TorrentEngine;
class UpdateBar;
class UpdateFlow;
class Updater;

// The application's one top-level window. In the web shell it hosts the site
// with the desktop bridge injected into every page; native playback, the
// overlay and player-only mode plug into the seams marked below.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(const AppConfig &config, TorrentEngine *engine, SourceProvider *provider, bool playerOnly,
               QWidget *parent = nullptr);
    ~MainWindow() override;

    QWebEngineView *webView() const { return m_webView; }
    ShellPage *page() const { return m_page; }
    DesktopBridge *bridge() const { return m_bridge; }
    OfflinePage *offlinePage() const { return m_offline; }
    bool isPlaying() const { return m_playing; }
    quint64 generation() const { return m_generation; }
    QString playingRouteKey() const { return m_routeKey; }

    void onPageChange(const QString &reason, bool navigation);
    void setFullscreen(bool on);
    void setAutoplayTest(qint64 animeId, int episode);
    void setHoleShotsDir(const QString &dir) { m_holeShotsDir = dir; }
    void reclaimWebFocus();
    void shutdownPlayer();

    // Updates: the bar below the page and its flow (web shell only).
    void setUpdater(Updater *updater, bool devAutoAccept, int firstCheckDelayMs);
    UpdateBar *updateBar() const { return m_updateBar; }
    UpdateFlow *updateFlow() const { return m_updateFlow; }

    // Lite mode and GPU probe.
    void initLite();
    QVariantMap currentTweaks() const;
    void installBridgeScript();
    void applyPageConfig();
    void onClientInfo(const QVariantMap &info);
    void logCompositor();
    QString perfExtra() const;
    const LiteMode &liteMode() const { return m_lite; }

    // Native playback.
    bool initPlayer();
    void openPlayer(qint64 animeId, int episode, const QString &title, const QString &dub, const QString &subtitle);
    void closePlayer(const QString &reason);
    void scheduleTracksEvent();
    QVariantMap tracksPayload() const;
    // The page's `stats` event: what the statistics panel shows.
    QVariantMap statsPayload() const;

    // Overlay.
    void updateOverlay();
    void holeTestShot(const QString &tag, const QRect &hole);

    PlayerView *playerView() const { return m_playerView; }
    MpvPlayer *player() const { return m_player; }
    PlaybackController *controller() const { return m_controller; }
    VideoTuner *tuner() const { return m_tuner; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void setupWeb();
    void onNavigation(const QUrl &url, int navigationType);
    void onUrlChanged(const QUrl &url);
    void onLoadFinished(bool ok);
    void runAutoplayScript();
    void resetPlayerBox();
    void restoreTitle();

    // Bridge requests (playback side).
    void onAvailabilityRequested(qint64 animeId, int episode, int reqId);
    void onPlayRequested(qint64 animeId, int episode, const QString &title, const QString &dub,
                         const QString &subtitle, int reqId);
    void onTracksRequested(int reqId);
    void onDubRequested(const QString &label);
    void onSubtitleRequested(int sid);
    void onVideoRectChanged(const QRect &cssRect, double dpr, bool visible, const QList<QRect> &holes);
    void emitTracksEvent();
    void connectPlayer();
    // Idle inhibit and the desktop's media controls.
    void connectDesktop();
    void stopFromDesktop();
    void onNoTorrentSource(qint64 animeId, int episode, const QString &reason, const QVariantMap &extra);
    // "-" until a playback controller exists.
    QString playbackStateText() const;

    AppConfig m_config;
    TorrentEngine *m_engine = nullptr;
    SourceProvider *m_provider = nullptr;
    bool m_playerOnly = false;

    QWebEngineView *m_webView = nullptr;
    QWebEngineProfile *m_profile = nullptr;
    ShellPage *m_page = nullptr;
    QWebChannel *m_channel = nullptr;
    DesktopBridge *m_bridge = nullptr;
    OfflinePage *m_offline = nullptr;
    // The overlay over the page (web shell) or the central widget (player-only).
    PlayerView *m_playerView = nullptr;
    MpvPlayer *m_player = nullptr;
    PlaybackController *m_controller = nullptr;
    VideoTuner *m_tuner = nullptr;
    DesktopPresence *m_presence = nullptr;
    PerfMonitor *m_perfMonitor = nullptr;

    UpdateBar *m_updateBar = nullptr;
    UpdateFlow *m_updateFlow = nullptr;

    bool m_playing = false;
    quint64 m_generation = 0;
    QString m_routeKey;
    QRect m_videoRect;
    bool m_videoRectVisible = false;
    QList<QRect> m_holes;
    bool m_fullscreenRequested = false;
    bool m_wasMaximized = false;
    QTimer m_tracksTimer;
    int m_lastHoleCount = 0;
    QString m_holeShotsDir;
    int m_holeShotState = 0;

    LiteMode m_lite;
    QVariantMap m_tweaks;
    bool m_compositorLogged = false;

    qint64 m_autoplayAnime = 0;
    int m_autoplayEpisode = 0;
    bool m_autoplayScheduled = false;
};

} // namespace svd
