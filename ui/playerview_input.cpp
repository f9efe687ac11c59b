// The player view's keyboard and mouse: keys, clicks and the wheel on the video, and
// in fullscreen the bars that hide while the mouse rests.
#include "ui/playerview.h"

#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "ui/playericons.h"
#include "ui/seekslider.h"
#include "video/mpvvideowindow.h"

#include <QCursor>
#include <QDateTime>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSlider>
#include <QToolButton>
#include <QWheelEvent>

namespace svd {

namespace {

constexpr int kVolumeStep = 5;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

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
        setPointerHidden(false);
    }
}

// The video is a native window of its own in window mode: a cursor set on its
// container does not reach it, so the window gets the blank cursor too.
void PlayerView::setPointerHidden(bool hidden)
{
    for (QWidget *w : {static_cast<QWidget *>(this), m_video}) {
        if (hidden)
            w->setCursor(Qt::BlankCursor);
        else
            w->unsetCursor();
    }
    if (m_videoWindow) {
        if (hidden)
            m_videoWindow->setCursor(Qt::BlankCursor);
        else
            m_videoWindow->unsetCursor();
    }
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
    // The slider holds the last requested volume (reports never pull it back to
    // an older one), so quick steps add up from there.
    m_volume->setValue(qBound(0, m_volume->value() + delta, m_volume->maximum())); // its handler sets mpv's
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
    // A move over the video brings pointer and bars back at once, not at the next poll.
    if (event->type() == QEvent::MouseMove && m_fullscreen && (watched == m_video || watched == m_videoWindow))
        pollIdle();
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
            setPointerHidden(false);
        }
        return;
    }
    auto over = [&pos](QWidget *w) {
        return w->isVisible() && QRect(w->mapToGlobal(QPoint(0, 0)), w->size()).contains(pos);
    };
    if (nowMs() - m_lastMoveMs > 2500 && m_bottomBar->isVisible() && !over(m_bottomBar) && !over(m_topBar)) {
        m_topBar->hide();
        m_bottomBar->hide();
        setPointerHidden(true);
    }
}

} // namespace svd
