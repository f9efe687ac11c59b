#pragma once

#include "ui/updatestyle.h"
#include "update/manifest.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QWidget;

namespace svd {

class UpdateBar;
class UpdateDialog;
class Updater;

// The main window's side of updating: when the first check runs, how an offer
// reaches the bar (and, for a mandatory update, the dialog), and what accepting
// it does. Lives as a child of the window; the window forwards its first page
// load (pageLoaded) and every closing of the player (playerClosed). Window
// state changes are watched directly.
class UpdateFlow : public QObject {
    Q_OBJECT
public:
    // `playing` tells whether a video session is open in the window.
    UpdateFlow(QWidget *window, UpdateBar *bar, std::function<bool()> playing);

    void setUpdater(Updater *updater, bool devAutoAccept, int firstCheckDelayMs);
    void pageLoaded();
    void playerClosed(const QString &reason);

    void startUpdaterOnce(const QString &reason);
    void offerUpdate(const update::Manifest &manifest, bool installable);
    void acceptUpdate();
    void showMandatoryDialog();
    void updateBarVisibility();

    bool updaterStarted() const { return m_updaterStarted; }
    bool offerActive() const { return m_offerActive; }
    bool offerDismissed() const { return m_offerDismissed; }
    UpdateDialog *dialog() const { return m_dialog; }

signals:
    // Emitted (synchronously) before an installable update is prepared: the
    // window closes the player with reason "update" if one is playing and tears
    // down its player objects, so nothing holds files the installer replaces.
    void releasePlayer();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onLater();
    UpdateAction offerAction() const;
    void closeDialog();

    QWidget *m_window;
    QPointer<UpdateBar> m_bar; // a sibling child of the window: either may go first
    std::function<bool()> m_playing;

    QPointer<Updater> m_updater;
    int m_firstCheckDelayMs = 45000;
    bool m_devAutoAccept = false;
    bool m_pageLoaded = false;
    bool m_updaterStarted = false;
    bool m_offerActive = false;
    bool m_offerDismissed = false;
    bool m_offerInstallable = false;
    bool m_offerMandatory = false;
    QString m_offerVersion;
    QString m_offerNotes;
    QPointer<UpdateDialog> m_dialog;
};

} // namespace svd
