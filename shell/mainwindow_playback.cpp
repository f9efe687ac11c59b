// Native playback for the page: the page's requests, the player objects
// created on first use, and the controller's signals turned into page events.
#include "shell/mainwindow.h"

#include "base/log.h"
#include "diag/perfmonitor.h"
#include "disk/cachebudget.h"
#include "player/episodefigures.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "shell/desktopbridge.h"
#include "shell/shellpage.h"
#include "sources/sourceprovider.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"
#include "ui/desktoppresence.h"
#include "ui/mprisservice.h"
#include "ui/playertexts.h"
#include "ui/playerview.h"
#include "ui/streamhealth.h"
#include "ui/updatedialog.h"
#include "ui/updateflow.h"
#include "video/videooutput.h"
#include "video/videotuner.h"

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QWebEngineView>
#include <QWindow>

namespace svd {

namespace {

const QString kVolumeKey = QStringLiteral("player/volume");
const QString kMuteKey = QStringLiteral("player/mute");

QVariantMap failure(const QString &reason)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("reason"), reason}};
}

} // namespace

void MainWindow::onAvailabilityRequested(qint64 animeId, int episode, int reqId)
{
    QPointer<DesktopBridge> bridge = m_bridge;
    if (!m_provider) {
        emit m_bridge->reply(reqId, {{QStringLiteral("ok"), false},
                                     {QStringLiteral("available"), false},
                                     {QStringLiteral("sources"), 0},
                                     {QStringLiteral("reason"), QStringLiteral("no-torrent-source")}});
        return;
    }
    m_provider->fetchEpisode(animeId, episode, [bridge, reqId](const EpisodeSources &es) {
        if (!bridge)
            return;
        const int n = int(es.sources.size());
        QVariantMap r{{QStringLiteral("ok"), es.error.isEmpty() || n > 0},
                      {QStringLiteral("available"), n > 0},
                      {QStringLiteral("sources"), n}};
        if (n == 0)
            r.insert(QStringLiteral("reason"), es.error.isEmpty() ? QStringLiteral("no-torrent-source") : es.error);
        emit bridge->reply(reqId, r);
    });
}

void MainWindow::onPlayRequested(qint64 animeId, int episode, const QString &title, const QString &dub,
                                 const QString &subtitle, int reqId)
{
    const quint64 gen = ++m_generation;
    const QString key = routeKey(m_webView ? m_webView->url() : QUrl());
    if (!m_provider) {
        emit m_bridge->reply(reqId, failure(QStringLiteral("no-torrent-source")));
        return;
    }
    QPointer<MainWindow> self = this;
    m_provider->fetchEpisode(animeId, episode, [=, this](const EpisodeSources &es) {
        if (!self || !m_bridge)
            return;
        if (m_generation != gen || routeKey(m_webView ? m_webView->url() : QUrl()) != key) {
            emit m_bridge->reply(reqId, failure(QStringLiteral("superseded")));
            return;
        }
        if (es.sources.isEmpty()) {
            emit m_bridge->reply(reqId, failure(QStringLiteral("no-torrent-source")));
            return;
        }
        if (initPlayer()) {
            const auto torrent = m_controller->torrent();
            const qint64 held = torrent ? torrent->lastStats().bytesDone : 0;
            const disk::CacheBudget budget = m_controller->cacheBudget(held);
            if (!budget.workable) {
                logLine(QStringLiteral("shell: play refused: low disk space (%1)").arg(disk::describe(budget)));
                QVariantMap r = m_controller->lowDiskInfo(budget);
                r.insert(QStringLiteral("ok"), false);
                r.insert(QStringLiteral("reason"), QStringLiteral("low-disk-space"));
                emit m_bridge->reply(reqId, r);
                return;
            }
        }
        emit m_bridge->reply(reqId, {{QStringLiteral("ok"), true}, {QStringLiteral("sources"), int(es.sources.size())}});
        openPlayer(animeId, episode, title, dub, subtitle);
    });
}

bool MainWindow::initPlayer()
{
    if (m_player)
        return true;
    if (!m_engine)
        return false;

    auto *player = new MpvPlayer(this);
    MpvPlayer::InitOptions opts;
    if (videoOutput().mode != VideoMode::Wid)
        opts.renderApi = true;
    else
        opts.wid = qint64(m_playerView->videoWinId());
    opts.logFile = QDir(m_config.logDir).filePath(QStringLiteral("mpv.log"));
    // The volume the viewer left, from any earlier episode or run.
    const QSettings settings;
    opts.volume = qBound(0.0, settings.value(kVolumeKey, opts.volume).toDouble(), 130.0);
    opts.mute = settings.value(kMuteKey, false).toBool();
    if (!player->init(opts, m_engine)) {
        logLine(QStringLiteral("shell: mpv init failed"));
        delete player;
        return false;
    }
    if (!m_playerView->attachVideo(player)) {
        logLine(QStringLiteral("shell: no video output for mpv"));
        player->destroy();
        delete player;
        return false;
    }
    m_player = player;

    PlaybackOptions po;
    po.startTimeoutSec = m_config.startTimeoutSec;
    po.noPeersTimeoutSec = m_config.noPeersTimeoutSec;
    po.cacheCapBytes = disk::mbToBytes(m_config.cacheMaxMb);
    po.maxDownKbps = m_config.maxDownKbps;
    m_controller = new PlaybackController(m_engine, m_provider, m_player, po, this);
    m_playerView->attach(m_player, m_controller);

    int level = -1;
    if (m_config.videoLevel == QLatin1String("reset")) {
        QSettings().remove(QStringLiteral("video/level"));
    } else if (!m_config.videoLevel.isEmpty() && m_config.videoLevel != QLatin1String("auto")) {
        bool ok = false;
        level = m_config.videoLevel.toInt(&ok);
        if (!ok)
            level = 0;
    }
    m_tuner = new VideoTuner(m_player, level, this);
    m_tuner->init();
    m_playerView->setTuner(m_tuner);
    EpisodeFigures::attach(m_controller, m_player);
    auto trackScreen = [this](QScreen *screen) {
        if (m_tuner && screen)
            m_tuner->setScreenRefreshRate(screen->refreshRate());
    };
    trackScreen(screen());
    if (QWindow *handle = windowHandle())
        connect(handle, &QWindow::screenChanged, m_tuner, trackScreen);

    const QString gl = m_playerView->videoGlInfo();
    logLine(QStringLiteral("player: %1%2").arg(videoOutput().describe(), gl.isEmpty() ? QString() : QStringLiteral("; GL ") + gl));
    connectPlayer();
    connectDesktop();
    return true;
}

void MainWindow::connectDesktop()
{
    m_presence = new DesktopPresence(this);
    m_presence->attach(m_player, m_controller);
    MprisService *mpris = m_presence->mpris();
    connect(mpris, &MprisService::raiseRequested, this, [this] {
        if (isMinimized())
            showNormal();
        show();
        raise();
        activateWindow();
    });
    connect(mpris, &MprisService::quitRequested, this, &QWidget::close);
    connect(mpris, &MprisService::stopRequested, this, &MainWindow::stopFromDesktop);
    connect(m_playerView, &PlayerView::stopRequested, this, &MainWindow::stopFromDesktop);
    connect(m_player, &MpvPlayer::propertyChanged, this, [](const QString &name, const QVariant &value) {
        const QString key = name == QLatin1String("volume") ? kVolumeKey
                            : name == QLatin1String("mute") ? kMuteKey
                                                            : QString();
        if (key.isEmpty() || !value.isValid())
            return;
        QSettings settings;
        if (settings.value(key) != value)
            settings.setValue(key, value);
    });
}

void MainWindow::stopFromDesktop()
{
    // The page's player closes as with its back button; the player-only window
    // stays, stopped, as a player's window does.
    if (m_playerOnly) {
        if (m_controller)
            m_controller->stop();
    } else if (m_playing) {
        closePlayer(QStringLiteral("user"));
    }
}

void MainWindow::connectPlayer()
{
    connect(m_controller, &PlaybackController::playbackStarted, this, [this](double sincePlay, double) {
        if (m_tuner)
            m_tuner->onPlaybackStarted();
        if (m_bridge)
            m_bridge->sendEvent(QStringLiteral("started"), {{QStringLiteral("animeId"), m_controller->animeId()},
                                                           {QStringLiteral("episode"), m_controller->episode()},
                                                           {QStringLiteral("seconds"), sincePlay}});
        if (m_perfMonitor)
            m_perfMonitor->setPlaying(true);
    });
    connect(m_controller, &PlaybackController::stateChanged, this,
            [this](PlaybackController::State state, const QString &) {
                if ((state == PlaybackController::Idle || state == PlaybackController::Failed) && m_tuner)
                    m_tuner->onStopped();
            });
    connect(m_controller, &PlaybackController::episodeChanged, this,
            [this](long long animeId, int episode, const QString &title) {
                setWindowTitle(
                    QStringLiteral("%1 — серия %2")
                        .arg(title.isEmpty() ? QStringLiteral("Sorvanta") : title, QString::number(episode)));
                if (m_bridge)
                    m_bridge->sendEvent(QStringLiteral("episode"), {{QStringLiteral("animeId"), animeId},
                                                                   {QStringLiteral("episode"), episode}});
                scheduleTracksEvent();
            });
    connect(m_controller, &PlaybackController::noTorrentSource, this, &MainWindow::onNoTorrentSource);
    connect(m_controller, &PlaybackController::dubsChanged, this, &MainWindow::scheduleTracksEvent);
    connect(m_controller, &PlaybackController::currentDubChanged, this, &MainWindow::scheduleTracksEvent);
    connect(m_player, &MpvPlayer::propertyChanged, this, [this](const QString &name, const QVariant &) {
        if (name == QLatin1String("track-list") || name == QLatin1String("sid") || name == QLatin1String("aid"))
            scheduleTracksEvent();
    });
    connect(m_controller, &PlaybackController::endReached, this, [this] {
        logLine(QStringLiteral("player: end of episode -> next"));
        const quint64 gen = m_generation;
        QTimer::singleShot(1500, this, [this, gen] {
            if (m_generation == gen && (m_playerOnly || m_playing) && m_controller)
                m_controller->nextEpisode();
        });
    });
}

void MainWindow::onNoTorrentSource(qint64 animeId, int episode, const QString &reason, const QVariantMap &extra)
{
    if (!m_playerOnly && m_bridge) {
        QVariantMap ev = extra;
        ev.insert(QStringLiteral("animeId"), animeId);
        ev.insert(QStringLiteral("episode"), episode);
        ev.insert(QStringLiteral("reason"), reason);
        m_bridge->sendEvent(QStringLiteral("fallback"), ev);
        closePlayer(QStringLiteral("fallback"));
        return;
    }
    if (reason == QLatin1String("low-disk-space"))
        m_playerView->showMessage(QStringLiteral("Мало места на диске: свободно %1 МБ, нужно %2 МБ")
                                      .arg(extra.value(QStringLiteral("freeMB")).toLongLong())
                                      .arg(extra.value(QStringLiteral("needMB")).toLongLong()));
    else
        m_playerView->showMessage(QStringLiteral("Серия недоступна: ") + userReason(reason));
}

void MainWindow::openPlayer(qint64 animeId, int episode, const QString &title, const QString &dub,
                            const QString &subtitle)
{
    if (initPlayer()) {
        m_playing = true;
        if (m_webView)
            m_routeKey = routeKey(m_webView->url());
        applyPageConfig();
        updateOverlay();
        m_playerView->takeKeyFocus();
        if (!subtitle.isEmpty())
            m_controller->setSubtitlePreference(subtitle);
        m_controller->play(animeId, episode, title, dub);
        return;
    }
    if (m_bridge)
        m_bridge->sendEvent(QStringLiteral("fallback"),
                            {{QStringLiteral("animeId"), animeId},
                             {QStringLiteral("episode"), episode},
                             {QStringLiteral("reason"), QStringLiteral("player-init-failed")}});
    closePlayer(QStringLiteral("init failed"));
}

void MainWindow::closePlayer(const QString &reason)
{
    ++m_generation;
    if (m_controller)
        m_controller->stop();
    m_playing = false;
    m_routeKey.clear();
    resetPlayerBox();
    if (m_perfMonitor)
        m_perfMonitor->setPlaying(false);
    if (m_webView)
        applyPageConfig();

    m_fullscreenRequested = false;
    if (isFullScreen()) {
        if (m_wasMaximized)
            showMaximized();
        else
            showNormal();
    }
    if (m_playerView)
        m_playerView->setFullscreen(false);
    updateOverlay();

    if (m_webView) {
        QWidget *focus = QApplication::focusWidget();
        if (!focus || (m_playerView && (focus == m_playerView || m_playerView->isAncestorOf(focus))))
            m_webView->setFocus(Qt::OtherFocusReason);
        restoreTitle();
        if (m_bridge && reason != QLatin1String("fallback"))
            m_bridge->sendEvent(QStringLiteral("closed"), {{QStringLiteral("reason"), reason}});
    }
    if (m_updateFlow)
        m_updateFlow->playerClosed(reason);
}

void MainWindow::scheduleTracksEvent()
{
    if (m_bridge && m_playing)
        m_tracksTimer.start();
}

void MainWindow::emitTracksEvent()
{
    if (!m_bridge || !m_playing)
        return;
    const QVariantMap payload = tracksPayload();
    if (!payload.isEmpty())
        m_bridge->sendEvent(QStringLiteral("tracks"), payload);
}

namespace {

// "rus" -> "Русский": the language's own name, capitalised.
QString nativeLanguageLabel(const QString &code)
{
    if (code.isEmpty())
        return QString();
    const QLocale::Language lang = QLocale::codeToLanguage(code, QLocale::AnyLanguageCode);
    if (lang == QLocale::AnyLanguage || lang == QLocale::C)
        return QString();
    QString name = QLocale(lang).nativeLanguageName();
    if (!name.isEmpty())
        name[0] = name[0].toUpper();
    return name;
}

} // namespace

QVariantMap MainWindow::tracksPayload() const
{
    if (!m_controller || !m_player || !m_controller->isActive() || !m_controller->currentSource())
        return {};
    QVariantList dubs;
    const QString current = m_controller->currentDubId();
    for (const DubInfo &d : m_controller->dubs())
        dubs << QVariantMap{{QStringLiteral("label"), d.label}, {QStringLiteral("active"), d.id == current}};
    QVariantList subs;
    for (const QVariant &v : m_player->tracksOfType(QStringLiteral("sub"))) {
        const QVariantMap t = v.toMap();
        const long long id = t.value(QStringLiteral("id")).toLongLong();
        const QString lang = t.value(QStringLiteral("lang")).toString();
        QString label = t.value(QStringLiteral("title")).toString();
        if (label.isEmpty())
            label = nativeLanguageLabel(lang);
        if (label.isEmpty())
            label = QStringLiteral("Дорожка %1").arg(id);
        subs << QVariantMap{{QStringLiteral("id"), id},
                            {QStringLiteral("lang"), lang.isEmpty() ? QVariant::fromValue(nullptr) : QVariant(lang)},
                            {QStringLiteral("active"), t.value(QStringLiteral("selected")).toBool()},
                            {QStringLiteral("label"), label}};
    }
    return {{QStringLiteral("animeId"), m_controller->animeId()},
            {QStringLiteral("episode"), m_controller->episode()},
            {QStringLiteral("dubs"), dubs},
            {QStringLiteral("subtitles"), subs}};
}

QVariantMap MainWindow::statsPayload() const
{
    return collectStreamHealth(m_controller, m_player, m_tuner).toVariantMap();
}

void MainWindow::onTracksRequested(int reqId)
{
    QVariantMap r = tracksPayload();
    r.insert(QStringLiteral("ok"), r.size() > 0);
    emit m_bridge->reply(reqId, r);
}

void MainWindow::onDubRequested(const QString &label)
{
    if (m_controller && m_playing && !m_controller->selectDub(label))
        logLine(QStringLiteral("shell: setDub('%1') refused").arg(label));
    scheduleTracksEvent();
}

void MainWindow::onSubtitleRequested(int sid)
{
    if (m_controller && m_playing)
        m_controller->setSubtitleTrack(sid);
    scheduleTracksEvent();
}

QString MainWindow::playbackStateText() const
{
    return m_controller ? PlaybackController::stateText(m_controller->state()) : QStringLiteral("-");
}

void MainWindow::onVideoRectChanged(const QRect &cssRect, double dpr, bool visible, const QList<QRect> &holes)
{
    Q_UNUSED(dpr)
    m_videoRect = cssRect;
    m_videoRectVisible = visible;
    m_holes = holes;
    updateOverlay();
    if (m_holeShotsDir.isEmpty())
        return;
    if (!holes.isEmpty() && m_holeShotState == 0) {
        m_holeShotState = 1;
        const QRect hole = holes.first();
        QTimer::singleShot(1500, this, [this, hole] { holeTestShot(QStringLiteral("hole"), hole); });
    } else if (holes.isEmpty() && m_holeShotState == 1) {
        m_holeShotState = 2;
        QTimer::singleShot(1500, this, [this] { holeTestShot(QStringLiteral("cleared"), QRect()); });
    }
}

void MainWindow::updateOverlay()
{
    if (m_playerOnly || !m_webView || !m_playerView)
        return;
    if (!m_playing) {
        m_playerView->hide();
        return;
    }
    QRect geometry;
    QRegion holes;
    if (m_fullscreenRequested && isFullScreen()) {
        geometry = QRect(QPoint(0, 0), m_webView->size());
    } else {
        if (!m_videoRectVisible || m_videoRect.width() < 1 || m_videoRect.height() < 1) {
            m_playerView->hide();
            return;
        }
        geometry = m_videoRect;
        const QRect inside(0, 0, geometry.width(), geometry.height());
        for (const QRect &h : m_holes)
            holes += h.translated(-geometry.topLeft()).intersected(inside);
    }
    // Overlay geometry is kept in web view coordinates; the overlay itself is a
    // sibling of the view.
    m_playerView->setGeometry(geometry.translated(m_webView->pos()));
    const int count = holes.rectCount();
    const bool canCut = m_playerView->setHoles(holes);
    if (canCut || count == 0) {
        if ((count > 0) != (m_lastHoleCount > 0)) {
            if (count == 0)
                logLine(QStringLiteral("overlay: holes cleared"));
            else
                logLine(QStringLiteral("overlay: %1 page region(s) cut out of the video (window mask, %2 mode)")
                            .arg(count)
                            .arg(QString::fromLatin1(videoModeName(videoOutput().mode))));
            m_lastHoleCount = count;
        }
        if (count == 0)
            m_lastHoleCount = 0;
        m_playerView->show();
        m_playerView->raise();
    } else {
        if (m_lastHoleCount != -1) {
            logLine(QStringLiteral(
                "overlay: page popup over the video; glwidget output can't cut holes -> overlay hidden meanwhile"));
            m_lastHoleCount = -1;
        }
        m_playerView->hide();
    }
}

void MainWindow::holeTestShot(const QString &tag, const QRect &hole)
{
    QImage image;
    if (QScreen *s = screen())
        image = s->grabWindow(winId()).toImage();
    QDir().mkpath(m_holeShotsDir);
    const QString path = QDir(m_holeShotsDir).filePath(QStringLiteral("hole-%1.png").arg(tag));
    const bool saved = !image.isNull() && image.save(path);
    logLine(QStringLiteral("hole-test: screenshot %1 %2 (%3x%4)")
                .arg(tag, saved ? path : QStringLiteral("NOT saved"))
                .arg(image.width())
                .arg(image.height()));
    if (hole.isNull() || !m_webView)
        return;
    if (image.isNull()) {
        logLine(QStringLiteral("hole-test: no verdict: no screen grab on the %1 platform (a Wayland client cannot "
                               "read the screen)")
                    .arg(QGuiApplication::platformName()));
        return;
    }
    // The page point `css` (web view coordinates) in the grab, and whether the dropdown's red shows there.
    const double dpr = devicePixelRatioF();
    const auto pixelAt = [&](QPoint css) {
        QPoint p = m_webView->mapTo(this, css) + geometry().topLeft() - frameGeometry().topLeft();
        p = QPoint(int(p.x() * dpr), int(p.y() * dpr));
        return image.valid(p) ? image.pixelColor(p) : QColor();
    };
    const auto isPage = [](QColor c) { return c.red() >= 181 && c.green() <= 79 && c.blue() < 120; };
    const auto centre = [](QRect r) { return QPoint((r.left() + r.right()) / 2, (r.top() + r.bottom()) / 2); };
    // A grab that does not show the page where no video covers it either (XWayland
    // hands back black) says nothing about the hole. The dropdown's text lies there
    // too: a quarter of the points being its red is enough.
    int samples = 0;
    int pagePoints = 0;
    for (const QRect &r : QRegion(hole).subtracted(m_videoRect))
        for (int y = r.top(); y <= r.bottom(); y += 3)
            for (int x = r.left(); x <= r.right(); x += 3, ++samples)
                pagePoints += isPage(pixelAt(QPoint(x, y)));
    if (pagePoints * 4 < samples || samples == 0) {
        logLine(QStringLiteral("hole-test: no verdict: the grab shows the page at %1 of %2 points where the "
                               "dropdown lies outside the video (%3 platform): it is not what the screen shows")
                    .arg(pagePoints)
                    .arg(samples)
                    .arg(QGuiApplication::platformName()));
        return;
    }
    const QColor c = pixelAt(centre(hole.intersected(m_videoRect)));
    const bool page = isPage(c);
    logLine(QStringLiteral("hole-test: pixel at the hole's part inside the box = %1 -> %2")
                .arg(c.name(), page ? QStringLiteral("PAGE visible (hole works)")
                                    : QStringLiteral("NOT the page (hole failed)")));
}

} // namespace svd
