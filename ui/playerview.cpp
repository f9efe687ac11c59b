#include "ui/playerview.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "ui/playericons.h"
#include "ui/playertexts.h"
#include "ui/seekslider.h"
#include "video/mpvglwidget.h"
#include "video/mpvvideowindow.h"

#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace svd {

namespace {

constexpr int kVolumeMax = 130;
constexpr int kVolumeStep = 5;

const char kStyle[] =
    "#PlayerView { background: #000; }#TopBar, #BottomBar { background: #111318; }QLabel { color: #e6e6e6; }"
    "#Status { color: #9aa4b2; font-size: 12px; }#Title { font-size: 15px; font-weight: 600; }QToolButton { "
    "color: #e6e6e6; padding: 4px 8px; border-radius: 4px; }QToolButton:hover { background: #262a33; "
    "}QToolButton::menu-indicator { image: none; }QSlider::groove:horizontal { height: 4px; background: "
    "#333844; border-radius: 2px; }QSlider::sub-page:horizontal { background: #3b82f6; border-radius: 2px; "
    "}QSlider::handle:horizontal { background: #fff; width: 12px; margin: -5px 0; border-radius: 6px; }";

QToolButton *iconButton(QWidget *parent, PlayerIcon icon, const QString &tip)
{
    auto *b = new QToolButton(parent);
    b->setIcon(playerIcon(icon));
    b->setIconSize(QSize(22, 22));
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setToolTip(tip);
    return b;
}

QToolButton *menuButton(QWidget *parent, const QString &text, QMenu *menu)
{
    auto *b = new QToolButton(parent);
    b->setText(text);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setPopupMode(QToolButton::InstantPopup);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRaise(true);
    b->setMenu(menu);
    return b;
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString trackText(const QVariantMap &t)
{
    QString text = t.value(QStringLiteral("title")).toString();
    if (text.isEmpty())
        text = QStringLiteral("Дорожка %1").arg(t.value(QStringLiteral("id")).toLongLong());
    const QString lang = t.value(QStringLiteral("lang")).toString();
    if (!lang.isEmpty())
        text += QStringLiteral(" [") + lang + QStringLiteral("]");
    return text;
}

} // namespace

PlayerView::PlayerView(QWidget *parent) : QWidget(parent), m_kind(videoOutput().mode)
{
    setObjectName(QStringLiteral("PlayerView"));
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QString::fromUtf8(kStyle));
    buildLayout();
    connectControls();

    for (QMenu *m : {m_dubMenu, m_audioMenu, m_subMenu}) {
        // A rebuild while the menu is open would pull the actions from under
        // the user; run it once the menu has gone.
        connect(m, &QMenu::aboutToHide, this, [this] {
            QTimer::singleShot(0, this, [this] {
                if (m_rebuildPending && !anyMenuOpen())
                    rebuildMenus();
            });
        });
    }
    m_idleTimer.setInterval(250);
    connect(&m_idleTimer, &QTimer::timeout, this, &PlayerView::pollIdle);
    initStats();
}

PlayerView::~PlayerView() = default;

void PlayerView::buildLayout()
{
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    m_topBar = new QWidget(this);
    m_topBar->setObjectName(QStringLiteral("TopBar"));
    m_topBar->setAttribute(Qt::WA_StyledBackground);
    auto *top = new QHBoxLayout(m_topBar);
    top->setContentsMargins(8, 4, 8, 4);
    m_backBtn = iconButton(m_topBar, PlayerIcon::Back, QStringLiteral("Назад"));
    m_backBtn->setText(QStringLiteral("  На сайт"));
    m_backBtn->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    top->addWidget(m_backBtn);
    top->addSpacing(12);
    m_title = new QLabel(m_topBar);
    m_title->setObjectName(QStringLiteral("Title"));
    m_title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(m_title, 1);
    root->addWidget(m_topBar);

    switch (m_kind) {
    case VideoMode::Window: {
        m_videoWindow = new MpvVideoWindow;
        m_video = QWidget::createWindowContainer(m_videoWindow, this);
        m_video->setAttribute(Qt::WA_NoSystemBackground);
        connect(m_videoWindow, &MpvVideoWindow::pressed, this, &PlayerView::onVideoPressed, Qt::DirectConnection);
        connect(
            m_videoWindow, &MpvVideoWindow::keyPressed, this,
            [this](QKeyEvent *e) { e->setAccepted(handleKey(e->key())); }, Qt::DirectConnection);
        connect(m_videoWindow, &MpvVideoWindow::wheeled, this, &PlayerView::onWheel, Qt::DirectConnection);
        break;
    }
    case VideoMode::GlWidget:
        m_glWidget = new MpvGlWidget(this);
        m_video = m_glWidget;
        break;
    case VideoMode::Wid:
        m_video = new QWidget(this);
        m_video->setAttribute(Qt::WA_NativeWindow);
        m_video->setAttribute(Qt::WA_DontCreateNativeAncestors);
        m_video->setAttribute(Qt::WA_NoSystemBackground);
        m_video->setStyleSheet(QStringLiteral("background: #000;"));
        break;
    }
    m_video->setMinimumSize(320, 180);
    m_video->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_video->installEventFilter(this);
    root->addWidget(m_video, 1);

    m_bottomBar = new QWidget(this);
    m_bottomBar->setObjectName(QStringLiteral("BottomBar"));
    m_bottomBar->setAttribute(Qt::WA_StyledBackground);
    auto *bottom = new QVBoxLayout(m_bottomBar);
    bottom->setContentsMargins(10, 4, 10, 6);
    bottom->setSpacing(2);
    m_seek = new SeekSlider(m_bottomBar);
    bottom->addWidget(m_seek);
    auto *row = new QHBoxLayout;
    m_prevBtn = iconButton(m_bottomBar, PlayerIcon::Previous, QStringLiteral("Предыдущая серия (P)"));
    m_playBtn = iconButton(m_bottomBar, PlayerIcon::Pause, QStringLiteral("Пауза / воспроизведение (пробел)"));
    m_nextBtn = iconButton(m_bottomBar, PlayerIcon::Next, QStringLiteral("Следующая серия (N)"));
    row->addWidget(m_prevBtn);
    row->addWidget(m_playBtn);
    row->addWidget(m_nextBtn);
    row->addSpacing(8);
    m_time = new QLabel(QStringLiteral("--:-- / --:--"), m_bottomBar);
    row->addWidget(m_time);
    row->addSpacing(12);
    m_status = new QLabel(m_bottomBar);
    m_status->setObjectName(QStringLiteral("Status"));
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_status->setMinimumWidth(0);
    row->addWidget(m_status, 1);
    m_dubMenu = new QMenu(this);
    m_audioMenu = new QMenu(this);
    m_subMenu = new QMenu(this);
    m_dubBtn = menuButton(m_bottomBar, QStringLiteral("Озвучка"), m_dubMenu);
    m_audioBtn = menuButton(m_bottomBar, QStringLiteral("Аудио"), m_audioMenu);
    m_subBtn = menuButton(m_bottomBar, QStringLiteral("Субтитры"), m_subMenu);
    row->addWidget(m_dubBtn);
    row->addWidget(m_audioBtn);
    row->addWidget(m_subBtn);
    m_muteBtn = iconButton(m_bottomBar, PlayerIcon::Volume, QStringLiteral("Звук (m)"));
    row->addWidget(m_muteBtn);
    m_volume = new QSlider(Qt::Horizontal, m_bottomBar);
    m_volume->setRange(0, kVolumeMax);
    m_volume->setValue(100);
    m_volume->setMinimumWidth(60);
    m_volume->setMaximumWidth(100);
    m_volume->setFocusPolicy(Qt::NoFocus);
    row->addWidget(m_volume);
    m_fsBtn = iconButton(m_bottomBar, PlayerIcon::Fullscreen, QStringLiteral("Полный экран (f)"));
    row->addWidget(m_fsBtn);
    bottom->addLayout(row);
    root->addWidget(m_bottomBar);
}

void PlayerView::attach(MpvPlayer *player, PlaybackController *controller)
{
    // A player that is shut down and made again is attached again: the old
    // player's and controller's connections go, the buttons stay connected once
    // (from the constructor) and act on whatever is attached now.
    if (m_player)
        disconnect(m_player, nullptr, this, nullptr);
    if (m_controller)
        disconnect(m_controller, nullptr, this, nullptr);
    m_player = player;
    m_controller = controller;

    if (player)
        connect(player, &MpvPlayer::propertyChanged, this, &PlayerView::onPropertyChanged);
    if (controller) {
        connect(controller, &PlaybackController::statsChanged, this, &PlayerView::onStats);
        connect(controller, &PlaybackController::dubsChanged, this, &PlayerView::requestMenuRebuild);
        connect(controller, &PlaybackController::currentDubChanged, this, &PlayerView::requestMenuRebuild);
        connect(controller, &PlaybackController::episodeChanged, this,
                [this](long long, int episode, const QString &title) {
                    m_title->setText(episodeTitle(title, episode));
                    m_prevBtn->setEnabled(episode > 1);
                });
        connect(controller, &PlaybackController::stateChanged, this,
                [this](PlaybackController::State state, const QString &message) {
                    if (state == PlaybackController::Failed)
                        m_status->setText(QStringLiteral("Серия недоступна: ") + userReason(message));
                    else if (!message.isEmpty())
                        m_status->setText(message);
                });
    }
}

void PlayerView::connectControls()
{
    connect(m_backBtn, &QToolButton::clicked, this, &PlayerView::backRequested);
    connect(m_fsBtn, &QToolButton::clicked, this, [this] { emit fullscreenRequested(!m_fullscreen); });
    connect(m_playBtn, &QToolButton::clicked, this, &PlayerView::togglePause);
    connect(m_prevBtn, &QToolButton::clicked, this, [this] {
        if (m_controller)
            m_controller->prevEpisode();
    });
    connect(m_nextBtn, &QToolButton::clicked, this, [this] {
        if (m_controller)
            m_controller->nextEpisode();
    });
    connect(m_muteBtn, &QToolButton::clicked, this, [this] {
        if (m_player)
            m_player->setProp(QStringLiteral("mute"), !m_player->cachedProp(QStringLiteral("mute")).toBool());
    });
    connect(m_volume, &QSlider::sliderPressed, this, [this] { m_volumeTarget = -1; });
    connect(m_volume, &QSlider::valueChanged, this, [this](int v) {
        if (m_player && qAbs(m_player->cachedProp(QStringLiteral("volume")).toDouble() - v) > 0.5)
            m_player->setProp(QStringLiteral("volume"), double(v));
    });
    connect(m_seek, &QSlider::sliderPressed, this, [this] { m_dragging = true; });
    connect(m_seek, &QSlider::sliderReleased, this, [this] {
        m_dragging = false;
        seekToSlider();
    });
    connect(m_seek, &QSlider::actionTriggered, this, [this](int action) {
        // The slider moves to the click only after this signal: seek next turn.
        if (action == QAbstractSlider::SliderPageStepAdd || action == QAbstractSlider::SliderPageStepSub)
            QTimer::singleShot(0, this, &PlayerView::seekToSlider);
    });
}

bool PlayerView::attachVideo(MpvPlayer *player)
{
    switch (m_kind) {
    case VideoMode::Window:
        return m_videoWindow && m_videoWindow->setPlayer(player);
    case VideoMode::GlWidget:
        return m_glWidget && m_glWidget->setPlayer(player);
    case VideoMode::Wid:
        return player && player->isInitialized();
    }
    return false;
}

quint64 PlayerView::videoWinId() const
{
    return m_kind == VideoMode::Wid ? quint64(m_video->winId()) : 0;
}

quint64 PlayerView::videoNativeId() const
{
    if (m_kind == VideoMode::Window && m_videoWindow)
        return quint64(m_videoWindow->winId());
    return videoWinId();
}

QString PlayerView::videoGlInfo() const
{
    if (m_videoWindow)
        return m_videoWindow->glInfo();
    if (m_glWidget)
        return m_glWidget->glInfo();
    return QString();
}

bool PlayerView::setHoles(const QRegion &region)
{
    if (m_kind == VideoMode::GlWidget)
        return false;
    if (region.isEmpty()) {
        clearMask();
        m_video->clearMask();
        if (m_videoWindow)
            m_videoWindow->setMask(QRegion());
        return true;
    }
    // An empty mask would switch masking off and show everything: keep a
    // 1 x 1 rectangle outside the widget instead.
    const QRegion offscreen(-2, -2, 1, 1);
    QRegion mask = QRegion(rect()).subtracted(region);
    if (mask.isEmpty())
        mask = offscreen;
    setMask(mask);
    QRegion videoMask = mask.translated(-m_video->pos()).intersected(m_video->rect());
    if (videoMask.isEmpty())
        videoMask = offscreen;
    m_video->setMask(videoMask);
    if (m_videoWindow)
        m_videoWindow->setMask(videoMask);
    return true;
}

void PlayerView::takeKeyFocus()
{
    if (!hasFocus())
        setFocus(Qt::OtherFocusReason);
}

void PlayerView::setBackText(const QString &text)
{
    m_backBtn->setText(QStringLiteral("  ") + text);
}

void PlayerView::showMessage(const QString &text)
{
    m_status->setText(text);
}

void PlayerView::setInlineMode(bool on)
{
    m_inline = on;
    applyBars();
}

void PlayerView::applyBars()
{
    m_topBar->setVisible(!m_inline);
    m_dubBtn->setVisible(!m_inline);
    m_audioBtn->setVisible(!m_inline);
    m_subBtn->setVisible(!m_inline);
    m_bottomBar->setVisible(true);
    fitBar();
}

void PlayerView::setFullscreen(bool on)
{
    m_fullscreen = on;
    if (m_player && m_player->cachedProp(QStringLiteral("fullscreen")).toBool() != on)
        m_player->setProp(QStringLiteral("fullscreen"), on);
    m_fsBtn->setIcon(playerIcon(on ? PlayerIcon::ExitFullscreen : PlayerIcon::Fullscreen));
    applyBars();
    m_lastMoveMs = nowMs();
    if (on) {
        m_lastMousePos = QCursor::pos();
        m_idleTimer.start();
    } else {
        m_idleTimer.stop();
        unsetCursor();
    }
}

bool PlayerView::anyMenuOpen() const
{
    return m_dubMenu->isVisible() || m_audioMenu->isVisible() || m_subMenu->isVisible();
}

void PlayerView::requestMenuRebuild()
{
    if (m_inline)
        return;
    if (anyMenuOpen()) {
        m_rebuildPending = true;
        return;
    }
    rebuildMenus();
}

void PlayerView::rebuildMenus()
{
    m_rebuildPending = false;
    rebuildTrackMenu(m_audioMenu, QStringLiteral("audio"), QStringLiteral("aid"));
    rebuildTrackMenu(m_subMenu, QStringLiteral("sub"), QStringLiteral("sid"));
    rebuildDubMenu();
}

void PlayerView::rebuildTrackMenu(QMenu *menu, const QString &type, const QString &prop)
{
    menu->clear();
    auto *group = new QActionGroup(menu);
    group->setExclusive(true);
    const bool subs = type == QLatin1String("sub");
    if (!m_player) {
        (subs ? m_subBtn : m_audioBtn)->setEnabled(false);
        return;
    }
    const long long current = m_player->cachedProp(prop).toLongLong();
    if (subs) {
        QAction *off = menu->addAction(QStringLiteral("Выключены"));
        off->setCheckable(true);
        off->setChecked(current < 1);
        group->addAction(off);
        connect(off, &QAction::triggered, this, [this] {
            logLine(QStringLiteral("ui: menu subtitles -> off"));
            if (m_controller)
                m_controller->setSubtitleTrack(0);
        });
    }
    QStringList loadedExternal;
    for (const QVariant &v : m_player->tracksOfType(type)) {
        const QVariantMap t = v.toMap();
        const long long id = t.value(QStringLiteral("id")).toLongLong();
        QString text = trackText(t);
        if (t.value(QStringLiteral("external")).toBool())
            text += QStringLiteral("  (внешняя)");
        loadedExternal << t.value(QStringLiteral("external-filename")).toString();
        QAction *a = menu->addAction(text);
        a->setCheckable(true);
        a->setChecked(t.value(QStringLiteral("selected")).toBool());
        group->addAction(a);
        connect(a, &QAction::triggered, this, [this, prop, subs, id] {
            logLine(QStringLiteral("ui: menu %1 -> %2").arg(prop).arg(id));
            if (subs) {
                if (m_controller)
                    m_controller->setSubtitleTrack(int(id));
            } else if (m_player) {
                m_player->setProp(QStringLiteral("aid"), id);
            }
        });
    }
    if (subs && m_controller) {
        const QList<SubtitleInfo> list = m_controller->subtitles();
        bool separated = false;
        for (int i = 0; i < list.size(); ++i) {
            const SubtitleInfo &s = list.at(i);
            if (s.origin != QLatin1String("external"))
                continue;
            const QString uri = m_controller->externalSubtitleUri(i);
            if (uri.isEmpty() || loadedExternal.contains(uri))
                continue;
            if (!separated) {
                menu->addSeparator();
                separated = true;
            }
            QString text = s.label;
            if (!s.lang.isEmpty())
                text += QStringLiteral(" [") + s.lang + QStringLiteral("]");
            QAction *a = menu->addAction(text + QStringLiteral("  (загружается…)"));
            connect(a, &QAction::triggered, this, [this, i] {
                if (m_controller)
                    m_controller->selectSubtitle(i);
            });
        }
    }
    if (subs)
        m_subBtn->setEnabled(menu->actions().size() > 1);
    else
        m_audioBtn->setEnabled(!menu->actions().isEmpty());
}

void PlayerView::rebuildDubMenu()
{
    m_dubMenu->clear();
    auto *group = new QActionGroup(m_dubMenu);
    group->setExclusive(true);
    m_dubBtn->setText(QStringLiteral("Озвучка"));
    const QList<DubInfo> dubs = m_controller ? m_controller->dubs() : QList<DubInfo>();
    const QString currentId = m_controller ? m_controller->currentDubId() : QString();
    for (const DubInfo &d : dubs) {
        QString text = d.label;
        if (d.origin == QLatin1String("external"))
            text += QStringLiteral("  (отдельная дорожка)");
        if (d.kind == QLatin1String("original"))
            text += QStringLiteral("  [оригинал]");
        QAction *a = m_dubMenu->addAction(text);
        a->setCheckable(true);
        group->addAction(a);
        if (d.id == currentId) {
            a->setChecked(true);
            m_dubBtn->setText(QStringLiteral("Озвучка: ") + d.label);
        }
        const QString id = d.id;
        connect(a, &QAction::triggered, this, [this, id] {
            if (m_controller)
                m_controller->selectDub(id);
        });
    }
    if (m_player && m_controller) {
        const QList<long long> unlisted = m_controller->unlistedAudioTracks();
        if (!unlisted.isEmpty() && !dubs.isEmpty())
            m_dubMenu->addSeparator();
        const long long aid = m_player->cachedProp(QStringLiteral("aid")).toLongLong();
        for (const QVariant &v : m_player->tracksOfType(QStringLiteral("audio"))) {
            const QVariantMap t = v.toMap();
            const long long id = t.value(QStringLiteral("id")).toLongLong();
            if (!unlisted.contains(id))
                continue;
            const QString text = trackText(t);
            QAction *a = m_dubMenu->addAction(text);
            a->setCheckable(true);
            group->addAction(a);
            if (id == aid) {
                a->setChecked(true);
                m_dubBtn->setText(QStringLiteral("Озвучка: ") + text);
            }
            connect(a, &QAction::triggered, this, [this, id] {
                if (m_player)
                    m_player->setProp(QStringLiteral("aid"), id);
            });
        }
    }
    m_dubBtn->setEnabled(!dubs.isEmpty());
    QTimer::singleShot(0, this, &PlayerView::fitBar);
}

void PlayerView::fitBar()
{
    m_status->show();
    m_volume->show();
    m_time->show();
    const QMargins m = m_bottomBar->layout()->contentsMargins();
    const int available = width() - m.left() - m.right();
    QLayout *row = m_bottomBar->layout()->itemAt(1)->layout();
    auto minimum = [row] {
        row->invalidate();
        return row->minimumSize().width();
    };
    if (available - minimum() <= 89)
        m_status->hide();
    if (available < minimum())
        m_volume->hide();
    if (available < minimum())
        m_time->hide();
}

void PlayerView::updateTime()
{
    const double pos = m_player ? m_player->cachedProp(QStringLiteral("time-pos")).toDouble() : 0.0;
    const double dur = m_player ? m_player->cachedProp(QStringLiteral("duration")).toDouble() : 0.0;
    m_time->setText(fmtTime(pos) + QStringLiteral(" / ") + fmtTime(dur));
    if (!m_dragging && dur > 0) {
        const QSignalBlocker block(m_seek);
        m_seek->setValue(int(pos / dur * 10000));
    }
}

void PlayerView::onPropertyChanged(const QString &name, const QVariant &value)
{
    if (name == QLatin1String("pause") || name == QLatin1String("aid") || name == QLatin1String("sid"))
        logLine(QStringLiteral("ui: mpv %1 = %2").arg(name, value.toString()));
    if (name == QLatin1String("time-pos") || name == QLatin1String("duration"))
        updateTime();
    if (name == QLatin1String("pause"))
        m_playBtn->setIcon(playerIcon(value.toBool() ? PlayerIcon::Play : PlayerIcon::Pause));
    if (name == QLatin1String("mute"))
        m_muteBtn->setIcon(playerIcon(value.toBool() ? PlayerIcon::Muted : PlayerIcon::Volume));
    if (name == QLatin1String("volume")) {
        // While keys or the wheel step the volume faster than mpv reports it,
        // the older reports would pull the slider back: wait for the last step.
        if (m_volumeTarget >= 0 && qAbs(value.toDouble() - m_volumeTarget) > 0.5)
            return;
        m_volumeTarget = -1;
        const QSignalBlocker block(m_volume);
        m_volume->setValue(qRound(value.toDouble()));
    }
    if (name == QLatin1String("track-list") || name == QLatin1String("aid") || name == QLatin1String("sid"))
        requestMenuRebuild();
    if (name == QLatin1String("fullscreen") && value.toBool() != m_fullscreen)
        emit fullscreenRequested(value.toBool());
}

void PlayerView::togglePause()
{
    if (m_player)
        m_player->setProp(QStringLiteral("pause"), !m_player->cachedProp(QStringLiteral("pause")).toBool());
}

// mpv seeks to the keyframe before the target unless told to be exact, which on files with
// keyframes 10 s apart lands up to 10 s early; only a seek while the handle is still dragged,
// which the next one replaces, may take the cheaper keyframe seek.
void PlayerView::seekToSlider()
{
    if (!m_player)
        return;
    m_player->commandAsync({QStringLiteral("seek"), QString::number(m_seek->value() / 100.0, 'f', 2),
                            m_dragging ? QStringLiteral("absolute-percent+keyframes")
                                       : QStringLiteral("absolute-percent+exact")},
                           nullptr);
}

bool PlayerView::handleKey(int key)
{
    if (!m_player)
        return false;
    switch (key) {
    case Qt::Key_Space:
        togglePause();
        return true;
    case Qt::Key_F:
    case Qt::Key_F11:
        emit fullscreenRequested(!m_fullscreen);
        return true;
    case Qt::Key_M:
        m_player->setProp(QStringLiteral("mute"), !m_player->cachedProp(QStringLiteral("mute")).toBool());
        return true;
    case Qt::Key_N:
        if (m_controller)
            m_controller->nextEpisode();
        return true;
    case Qt::Key_P:
        if (m_controller)
            m_controller->prevEpisode();
        return true;
    case Qt::Key_Escape:
        if (m_fullscreen)
            emit fullscreenRequested(false);
        return true;
    case Qt::Key_Left:
        m_player->commandAsync({QStringLiteral("seek"), QStringLiteral("-5")}, nullptr);
        return true;
    case Qt::Key_Right:
        m_player->commandAsync({QStringLiteral("seek"), QStringLiteral("5")}, nullptr);
        return true;
    case Qt::Key_I:
        setStatsVisible(!statsVisible());
        return true;
    case Qt::Key_Up:
        stepVolume(kVolumeStep);
        return true;
    case Qt::Key_Down:
        stepVolume(-kVolumeStep);
        return true;
    // The keyboard's media keys, for desktops that leave them to the focused window.
    case Qt::Key_MediaPlay:
        m_player->setProp(QStringLiteral("pause"), false);
        return true;
    case Qt::Key_MediaPause:
        m_player->setProp(QStringLiteral("pause"), true);
        return true;
    case Qt::Key_MediaTogglePlayPause:
        togglePause();
        return true;
    case Qt::Key_MediaStop:
        emit stopRequested();
        return true;
    case Qt::Key_MediaNext:
        if (m_controller)
            m_controller->nextEpisode();
        return true;
    case Qt::Key_MediaPrevious:
        if (m_controller)
            m_controller->prevEpisode();
        return true;
    default:
        return false;
    }
}

void PlayerView::keyPressEvent(QKeyEvent *event)
{
    if (!handleKey(event->key()))
        QWidget::keyPressEvent(event);
}

void PlayerView::onVideoPressed(bool doubleClick)
{
    if (!m_player)
        return;
    m_player->commandAsync({QStringLiteral("cycle"), QStringLiteral("pause")}, nullptr);
    if (doubleClick)
        emit fullscreenRequested(!m_fullscreen);
    else
        takeKeyFocus();
}

void PlayerView::stepVolume(int delta)
{
    const int base = m_volumeTarget >= 0 ? m_volumeTarget : m_volume->value();
    const int target = qBound(0, base + delta, kVolumeMax);
    if (target == base)
        return;
    m_volumeTarget = target;
    m_volume->setValue(target); // the slider's handler sets the player's volume
}

void PlayerView::onWheel(QWheelEvent *event)
{
    if (!m_player)
        return;
    // Touchpads send fractions of a notch: a step per full notch (120 units).
    m_wheelRest += event->angleDelta().y();
    const int notches = m_wheelRest / 120;
    m_wheelRest -= notches * 120;
    if (notches != 0)
        stepVolume(notches * kVolumeStep);
    event->accept();
}

bool PlayerView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_video && event->type() == QEvent::Wheel && m_player) {
        onWheel(static_cast<QWheelEvent *>(event));
        return true;
    }
    if (watched == m_video &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
        auto *me = static_cast<QMouseEvent *>(event);
        if (me->button() == Qt::LeftButton && m_player) {
            onVideoPressed(event->type() == QEvent::MouseButtonDblClick);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void PlayerView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitBar();
}

void PlayerView::onStats(const PlayerStats &s)
{
    const QString speed = speedText(double(s.downloadRate));
    QString status;
    if (s.state == QLatin1String("playing"))
        status = QStringLiteral("▶");
    else if (s.state == QLatin1String("buffering"))
        status = s.cacheBuffering > 0 ? QStringLiteral("Буферизация %1%").arg(int(s.cacheBuffering))
                                      : QStringLiteral("Буферизация…");
    else if (s.state == QLatin1String("connecting"))
        status = QStringLiteral("Подключение… %1 с").arg(int(s.sourceSeconds));
    else if (s.state == QLatin1String("failed"))
        status = QStringLiteral("Серия недоступна: ") + userReason(s.message);
    else
        status = s.message;
    const QString text =
        s.state == QLatin1String("failed") ? status : status + QStringLiteral("  ·  ") + speed;
    m_status->setText(text);
    m_status->setToolTip(text);
    m_seek->setBuffered(s.bufferedRanges,
                        m_player ? m_player->cachedProp(QStringLiteral("duration")).toDouble() : 0.0);
    updateStatsPanel(s);
}

void PlayerView::pollIdle()
{
    if (!m_fullscreen)
        return;
    const QPoint pos = QCursor::pos();
    if (pos != m_lastMousePos) {
        m_lastMousePos = pos;
        m_lastMoveMs = nowMs();
        if (m_bottomBar->isHidden()) {
            if (!m_inline)
                m_topBar->show();
            m_bottomBar->show();
        }
        return;
    }
    auto over = [&pos](QWidget *w) {
        return w->isVisible() && QRect(w->mapToGlobal(QPoint(0, 0)), w->size()).contains(pos);
    };
    if (nowMs() - m_lastMoveMs > 2500 && m_bottomBar->isVisible() && !over(m_bottomBar) && !over(m_topBar)) {
        m_topBar->hide();
        m_bottomBar->hide();
    }
}

} // namespace svd
