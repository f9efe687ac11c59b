// The player view's audio, subtitle and dub menus, rebuilt from the player's tracks
// and the controller's dubs.
#include "ui/playerview.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"

#include <QActionGroup>
#include <QMenu>
#include <QTimer>
#include <QToolButton>

namespace svd {

namespace {

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

} // namespace svd
