#include "ui/updateflow.h"

#include "base/log.h"
#include "ui/updatebar.h"
#include "ui/updatedialog.h"
#include "update/updater.h"

#include <QDesktopServices>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace svd {

namespace {

constexpr int kPageLoadFallbackMs = 120000;
constexpr int kRecheckAfterFailedInstallMs = 2000;
constexpr int kDevAutoAcceptMs = 500;

} // namespace

UpdateFlow::UpdateFlow(QWidget *window, UpdateBar *bar, std::function<bool()> playing)
    : QObject(window), m_window(window), m_bar(bar), m_playing(std::move(playing))
{
    m_window->installEventFilter(this);
}

void UpdateFlow::setUpdater(Updater *updater, bool devAutoAccept, int firstCheckDelayMs)
{
    if (!updater || !m_bar)
        return;
    m_updater = updater;
    m_devAutoAccept = devAutoAccept;
    m_firstCheckDelayMs = firstCheckDelayMs;

    connect(updater, &Updater::updateReady, this,
            [this](const update::Manifest &manifest, const QString &) { offerUpdate(manifest, true); });
    connect(updater, &Updater::manualUpdate, this,
            [this](const update::Manifest &manifest) { offerUpdate(manifest, false); });
    connect(m_bar, &UpdateBar::acceptRequested, this, &UpdateFlow::acceptUpdate);
    connect(m_bar, &UpdateBar::laterRequested, this, &UpdateFlow::onLater);

    if (devAutoAccept) {
        startUpdaterOnce(QStringLiteral("test"));
    } else if (m_pageLoaded) {
        startUpdaterOnce(QStringLiteral("page loaded"));
    } else {
        QTimer::singleShot(kPageLoadFallbackMs, this,
                           [this] { startUpdaterOnce(QStringLiteral("page still loading after 2 min")); });
    }
}

void UpdateFlow::pageLoaded()
{
    // A page that finishes loading before the updater is attached still counts.
    m_pageLoaded = true;
    startUpdaterOnce(QStringLiteral("page loaded"));
}

void UpdateFlow::playerClosed(const QString &reason)
{
    if (reason == QLatin1String("update") || !m_offerActive || !m_offerMandatory || m_dialog)
        return;
    // The window finishes closing the player first; the dialog follows on the next turn.
    QTimer::singleShot(0, this, &UpdateFlow::showMandatoryDialog);
}

void UpdateFlow::startUpdaterOnce(const QString &reason)
{
    if (m_updaterStarted || !m_updater)
        return;
    m_updaterStarted = true;
    logLine(QStringLiteral("update: first check in %1 s (%2)")
                .arg(QString::number(m_firstCheckDelayMs / 1000.0, 'f', 0), reason));
    m_updater->startSchedule(m_firstCheckDelayMs);
}

void UpdateFlow::offerUpdate(const update::Manifest &manifest, bool installable)
{
    if (!m_bar)
        return;
    const QString version = manifest.version.toString();
    if (m_offerActive && version == m_offerVersion && installable == m_offerInstallable &&
        manifest.mandatory == m_offerMandatory)
        return;
    if (!manifest.mandatory && m_offerDismissed)
        return;

    m_offerVersion = version;
    m_offerNotes = manifest.notes;
    m_offerInstallable = installable;
    m_offerMandatory = manifest.mandatory;
    m_offerActive = true;
    const UpdateAction action = offerAction();
    logLine(QStringLiteral("update: offering %1 (%2%3)")
                .arg(version,
                     action == UpdateAction::Install    ? QStringLiteral("install")
                     : action == UpdateAction::Download ? QStringLiteral("download")
                                                        : QStringLiteral("system updates"),
                     manifest.mandatory ? QStringLiteral(", mandatory") : QString()));

    m_bar->setUpdate(version, manifest.notes, action, !manifest.mandatory);
    closeDialog();
    updateBarVisibility();
    if (manifest.mandatory && !m_playing())
        showMandatoryDialog();
    if (m_devAutoAccept) {
        logLine(QStringLiteral("update: [dev] auto-accepting the offered update"));
        QTimer::singleShot(kDevAutoAcceptMs, this, &UpdateFlow::acceptUpdate);
    }
}

void UpdateFlow::acceptUpdate()
{
    if (!m_updater || !m_offerActive || offerAction() == UpdateAction::System)
        return;

    if (!m_offerInstallable) {
        const QUrl url = m_updater->latestUrl();
        logLine(QStringLiteral("update: opening %1").arg(url.toString()));
        QDesktopServices::openUrl(url);
        if (!m_offerMandatory) {
            m_offerActive = false;
            m_bar->hide();
        }
        return;
    }

    logLine(QStringLiteral("update: restart and install %1").arg(m_offerVersion));
    m_bar->setBusy(true);
    emit releasePlayer();
    QString error;
    if (m_updater->prepareInstall(&error)) {
        // The locked installer is started by start-up once the event loop has ended.
        if (m_dialog)
            m_dialog->hide();
        m_window->close();
        return;
    }
    const QString text = QStringLiteral("Файл обновления не прошёл проверку — скачаем его заново.");
    m_bar->setError(text);
    m_bar->setBusy(true);
    if (m_dialog)
        m_dialog->setError(text);
    m_offerActive = false;
    QTimer::singleShot(kRecheckAfterFailedInstallMs, m_updater.data(), &Updater::check);
}

void UpdateFlow::showMandatoryDialog()
{
    if (!m_offerActive || !m_offerMandatory || m_dialog || m_playing())
        return;
    auto *dialog = new UpdateDialog(m_offerVersion, m_offerNotes, offerAction(), m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &UpdateDialog::acceptRequested, this, &UpdateFlow::acceptUpdate);
    connect(dialog, &UpdateDialog::quitRequested, this, [this] {
        logLine(QStringLiteral("update: mandatory update dialog -> quit"));
        m_window->close();
    });
    m_dialog = dialog;
    dialog->open(); // window-modal, does not block
}

void UpdateFlow::updateBarVisibility()
{
    if (!m_bar)
        return;
    m_bar->setVisible(m_offerActive && !m_window->isFullScreen());
}

bool UpdateFlow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::WindowStateChange)
        updateBarVisibility();
    return QObject::eventFilter(watched, event);
}

void UpdateFlow::onLater()
{
    logLine(QStringLiteral("update: «Позже» for %1").arg(m_offerVersion));
    m_offerActive = false;
    m_offerDismissed = true;
    m_bar->hide();
}

UpdateAction UpdateFlow::offerAction() const
{
    if (m_offerInstallable)
        return UpdateAction::Install;
    return m_updater && m_updater->config().systemUpdates ? UpdateAction::System : UpdateAction::Download;
}

void UpdateFlow::closeDialog()
{
    if (!m_dialog)
        return;
    // hide(), not close(): closing a dialog runs reject(), which means "quit" here.
    m_dialog->hide();
    m_dialog->deleteLater();
    m_dialog.clear();
}

} // namespace svd
