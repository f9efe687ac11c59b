#include "ui/playerview.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "ui/playericons.h"
#include "ui/playertexts.h"
#include "ui/seekslider.h"
#include "video/mpvglwidget.h"
#include "video/mpvvideowindow.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

namespace svd {

namespace {

constexpr int kVolumeMax = 130;

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
        m_videoWindow->installEventFilter(this);
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
    // Only the user (drag, keys, wheel) moves the slider with signals on; what
    // mpv reports is shown under a blocker. So every change here is a request,
    // even one back to the value mpv last reported (a step up, then down).
    connect(m_volume, &QSlider::valueChanged, this, [this](int v) {
        if (m_player)
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
            m_videoWindow->setVisibleRegion(QRegion());
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
        m_videoWindow->setVisibleRegion(videoMask);
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
        // Reports trail the requests: while keys or the wheel step faster than
        // mpv reports, a report may be of an older step. setProp has already
        // reached mpv, so its present value is the newest request or a change
        // from elsewhere (the desktop's media controls): show that one.
        const QVariant now = m_player ? m_player->getProp(QStringLiteral("volume")) : QVariant();
        const QSignalBlocker block(m_volume);
        m_volume->setValue(qRound((now.isValid() ? now : value).toDouble()));
    }
    if (name == QLatin1String("track-list") || name == QLatin1String("aid") || name == QLatin1String("sid"))
        requestMenuRebuild();
    if (name == QLatin1String("fullscreen") && value.toBool() != m_fullscreen)
        emit fullscreenRequested(value.toBool());
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

} // namespace svd
