// The player view's statistics panel and the player's menu that toggles it.
#include "ui/playerview.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "ui/statspanel.h"
#include "video/mpvvideowindow.h"
#include "video/videotuner.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QSettings>

namespace svd {

namespace {

const QString kStatsKey = QStringLiteral("ui/statsPanel");

} // namespace

void PlayerView::initStats()
{
    // A native video (window or wid) covers every widget: the panel needs a window of its
    // own to stay above it. The GL widget is composed with the widgets.
    m_statsPanel = new StatsPanel(this, m_video, m_kind != VideoMode::GlWidget);
    m_playerMenu = new QMenu(this);
    m_statsAction = m_playerMenu->addAction(QStringLiteral("Статистика"));
    m_statsAction->setCheckable(true);
    m_statsAction->setShortcut(QKeySequence(Qt::Key_I));
    m_statsAction->setShortcutContext(Qt::WidgetShortcut); // the key itself goes through handleKey
    connect(m_statsAction, &QAction::triggered, this, &PlayerView::setStatsVisible);
    if (m_videoWindow)
        connect(m_videoWindow, &MpvVideoWindow::contextMenuRequested, this, &PlayerView::showPlayerMenu);

    const bool on = QSettings().value(kStatsKey, false).toBool();
    m_statsAction->setChecked(on);
    m_statsPanel->setVisible(on);
    if (on)
        m_statsPanel->place();
}

void PlayerView::setTuner(VideoTuner *tuner)
{
    m_tuner = tuner;
}

bool PlayerView::statsVisible() const
{
    return m_statsPanel && !m_statsPanel->isHidden();
}

void PlayerView::setStatsVisible(bool on)
{
    QSettings().setValue(kStatsKey, on);
    m_statsAction->setChecked(on);
    if (on == statsVisible())
        return;
    logLine(QStringLiteral("ui: statistics panel %1").arg(on ? QStringLiteral("on") : QStringLiteral("off")));
    if (on)
        m_statsPanel->setHealth(collectStreamHealth(m_controller, m_player, m_tuner));
    m_statsPanel->setVisible(on);
    if (on)
        m_statsPanel->place();
}

void PlayerView::updateStatsPanel(const PlayerStats &stats)
{
    m_statsPanel->addRates(stats.downloadRate, stats.uploadRate);
    // The piece map and the renderer figures are only gathered while someone looks.
    if (statsVisible())
        m_statsPanel->setHealth(collectStreamHealth(m_controller, m_player, m_tuner));
}

void PlayerView::showPlayerMenu(const QPoint &globalPos)
{
    m_statsAction->setChecked(statsVisible());
    m_playerMenu->popup(globalPos);
}

void PlayerView::contextMenuEvent(QContextMenuEvent *event)
{
    showPlayerMenu(event->globalPos());
    event->accept();
}

} // namespace svd
