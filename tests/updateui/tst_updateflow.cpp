#include "tests/update/localserver.h"
#include "tests/update/testkey.h"
#include "ui/updatebar.h"
#include "ui/updatedialog.h"
#include "ui/updateflow.h"
#include "update/crypto.h"
#include "update/updater.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

QString loggedText();

using svd::UpdateBar;
using svd::UpdateFlow;
using svd::Updater;
using svd::update::Manifest;

namespace {

const char kFile[] = "sorvanta-desktop_0.2.0_amd64.deb";

int logCount(const QString &line)
{
    return int(loggedText().count(line));
}

} // namespace

// The main window's update flow with a real Updater against a local HTTP server.
class TestUpdateFlow : public QObject {
    Q_OBJECT
public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void manualOfferFromServer();
    void repeatedAndDismissedOffers();
    void mandatoryOfferWhilePlaying();
    void installFailureDownloadsAgain();
    void devAutoAccept();
    void systemUpdatesOffer();

private:
    std::unique_ptr<Updater> makeUpdater(bool installInPlace, bool systemUpdates = false);
    void publish(const QString &version, bool mandatory);
    Manifest manifest(const QString &version, bool mandatory) const;

    TestKey m_key;
    QByteArray m_installer;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LocalServer> m_server;
    LocalServer::Response m_updateAnswer;
    std::unique_ptr<QWidget> m_window;
    UpdateBar *m_bar = nullptr;
    UpdateFlow *m_flow = nullptr;
    bool m_playing = false;
    QList<QUrl> m_opened;
};

void TestUpdateFlow::initTestCase()
{
    // The browser is never really opened: every http URL lands in openUrl().
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    for (int i = 0; i < 3000; ++i)
        m_installer.append(char((i * 131) & 0xff));
}

void TestUpdateFlow::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void TestUpdateFlow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<LocalServer>();
    QVERIFY(m_server->isListening());
    m_updateAnswer = LocalServer::Response{204, {}, {}, -1, -1};
    m_server->setHandler([this](const LocalServer::Request &r) {
        if (r.path.startsWith("/api/desktop/update"))
            return m_updateAnswer;
        if (r.path == QByteArray("/api/desktop/download/") + kFile)
            return LocalServer::serveBytes(r, m_installer);
        return LocalServer::Response{404, {}, "no", -1, -1};
    });

    // The shell's layout: the page takes all stretch, the hidden bar sits below it.
    m_window = std::make_unique<QWidget>();
    auto *column = new QVBoxLayout(m_window.get());
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new QWidget(m_window.get()), 1);
    m_bar = new UpdateBar(m_window.get());
    m_bar->hide();
    column->addWidget(m_bar);
    m_window->resize(800, 500);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_playing = false;
    m_flow = new UpdateFlow(m_window.get(), m_bar, [this] { return m_playing; });
    m_opened.clear();
}

void TestUpdateFlow::cleanup()
{
    m_window.reset();
    m_server.reset();
    m_dir.reset();
}

std::unique_ptr<Updater> TestUpdateFlow::makeUpdater(bool installInPlace, bool systemUpdates)
{
    svd::UpdaterConfig c;
    c.baseUrl = m_server->base();
    c.publicKey = m_key.publicKey();
    c.build = svd::update::runningBuild(QStringLiteral("stable"));
    c.downloadDir = m_dir->filePath(QStringLiteral("updates"));
    c.installInPlace = installInPlace;
    c.systemUpdates = systemUpdates;
    return std::make_unique<Updater>(c);
}

void TestUpdateFlow::publish(const QString &version, bool mandatory)
{
    svd::update::Sha256 sha;
    sha.add(m_installer.constData(), m_installer.size());
    QJsonObject o;
    o.insert(QStringLiteral("version"), version);
    o.insert(QStringLiteral("platform"), QStringLiteral("linux"));
    o.insert(QStringLiteral("arch"), QStringLiteral("x64"));
    o.insert(QStringLiteral("channel"), QStringLiteral("stable"));
    o.insert(QStringLiteral("file"), QLatin1String(kFile));
    o.insert(QStringLiteral("size"), m_installer.size());
    o.insert(QStringLiteral("sha256"), QString::fromLatin1(sha.hexResult()));
    o.insert(QStringLiteral("notes"), QStringLiteral("Новый плеер\nвторая строка"));
    o.insert(QStringLiteral("mandatory"), mandatory);
    o.insert(QStringLiteral("minVersion"), QJsonValue());
    o.insert(QStringLiteral("publishedAt"), QStringLiteral("2026-11-26T12:00:00Z"));
    m_updateAnswer = LocalServer::Response{
        200, {{"Content-Type", "application/json"}}, m_key.envelope(QJsonDocument(o).toJson(QJsonDocument::Compact)),
        -1, -1};
}

Manifest TestUpdateFlow::manifest(const QString &version, bool mandatory) const
{
    Manifest m;
    m.version = *svd::update::Version::parse(version);
    m.notes = QStringLiteral("notes %1").arg(version);
    m.mandatory = mandatory;
    return m;
}

void TestUpdateFlow::manualOfferFromServer()
{
    // This platform cannot install in place: an available build is a download offer.
    publish(QStringLiteral("0.2.0"), false);
    auto updater = makeUpdater(false);
    m_flow->setUpdater(updater.get(), false, 0);
    QVERIFY(!m_flow->updaterStarted()); // waits for the page
    m_flow->pageLoaded();
    m_flow->pageLoaded();
    QCOMPARE(logCount(QStringLiteral("update: first check in 0 s (page loaded)")), 1);

    QTRY_VERIFY_WITH_TIMEOUT(m_bar->isVisible(), 10000);
    QCOMPARE(m_bar->titleLabel()->text(), QStringLiteral("Доступна версия 0.2.0"));
    QCOMPARE(m_bar->notesLabel()->text(), QStringLiteral("Новый плеер"));
    QCOMPARE(m_bar->primaryButton()->text(), QStringLiteral("Скачать"));
    QVERIFY(m_bar->laterButton()->isVisible());
    QVERIFY(!m_flow->dialog());

    m_bar->primaryButton()->click();
    QCOMPARE(m_opened, QList<QUrl>{updater->latestUrl()});
    QVERIFY(m_opened.first().toString().startsWith(m_server->base().toString()));
    QVERIFY(!m_bar->isVisible());
    QVERIFY(!m_flow->offerActive());
}

void TestUpdateFlow::repeatedAndDismissedOffers()
{
    auto updater = makeUpdater(false);
    m_flow->setUpdater(updater.get(), false, 0);

    const int before = logCount(QStringLiteral("update: offering 0.2.0 (install)"));
    m_flow->offerUpdate(manifest(QStringLiteral("0.2.0"), false), true);
    m_flow->offerUpdate(manifest(QStringLiteral("0.2.0"), false), true);
    QCOMPARE(logCount(QStringLiteral("update: offering 0.2.0 (install)")), before + 1);
    QCOMPARE(m_bar->primaryButton()->text(), QStringLiteral("Перезапустить и обновить"));
    // Another kind of offer for the same version does replace it.
    m_flow->offerUpdate(manifest(QStringLiteral("0.2.0"), false), false);
    QCOMPARE(m_bar->primaryButton()->text(), QStringLiteral("Скачать"));

    m_bar->laterButton()->click();
    QVERIFY(!m_bar->isVisible());
    QVERIFY(m_flow->offerDismissed());
    QCOMPARE(logCount(QStringLiteral("update: «Позже» for 0.2.0")), 1);

    // Nothing optional is offered again in this run; a mandatory update is.
    m_flow->offerUpdate(manifest(QStringLiteral("0.3.0"), false), false);
    QVERIFY(!m_bar->isVisible());
    m_flow->offerUpdate(manifest(QStringLiteral("0.3.0"), true), false);
    QVERIFY(m_bar->isVisible());
    QVERIFY(!m_bar->laterButton()->isVisible());
    QCOMPARE(logCount(QStringLiteral("update: offering 0.3.0 (download, mandatory)")), 1);
    QVERIFY(m_flow->dialog());
    QCOMPARE(m_flow->dialog()->windowModality(), Qt::WindowModal);

    // A replacing offer closes the old dialog without that counting as "quit".
    QPointer<svd::UpdateDialog> first = m_flow->dialog();
    m_flow->offerUpdate(manifest(QStringLiteral("0.3.1"), true), false);
    QTRY_VERIFY(first.isNull());
    QVERIFY(m_flow->dialog());
    QVERIFY(m_window->isVisible());
}

void TestUpdateFlow::mandatoryOfferWhilePlaying()
{
    auto updater = makeUpdater(false);
    m_flow->setUpdater(updater.get(), false, 0);
    m_playing = true;
    m_flow->offerUpdate(manifest(QStringLiteral("0.4.0"), true), false);
    QVERIFY(m_bar->isVisible());
    QVERIFY(!m_bar->laterButton()->isVisible());
    QVERIFY(!m_flow->dialog());

    // Full screen hides the bar; leaving it brings the bar back.
    m_window->setWindowState(Qt::WindowFullScreen);
    QVERIFY(!m_bar->isVisible());
    m_window->setWindowState(Qt::WindowNoState);
    QVERIFY(m_bar->isVisible());

    m_playing = false;
    m_flow->playerClosed(QStringLiteral("update"));
    QTest::qWait(50);
    QVERIFY(!m_flow->dialog());
    m_flow->playerClosed(QStringLiteral("user"));
    QVERIFY(!m_flow->dialog()); // next event-loop turn
    QTRY_VERIFY(m_flow->dialog());
    svd::UpdateDialog *dialog = m_flow->dialog();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QCOMPARE(dialog->primaryButton()->text(), QStringLiteral("Скачать"));

    // A mandatory download keeps the bar and the dialog after opening the page.
    dialog->primaryButton()->click();
    QCOMPARE(m_opened, QList<QUrl>{updater->latestUrl()});
    QVERIFY(m_bar->isVisible());
    QVERIFY(dialog->isVisible());

    // Escape means quit: the main window closes.
    QTest::keyClick(dialog, Qt::Key_Escape);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(logCount(QStringLiteral("update: mandatory update dialog -> quit")), 1);
}

void TestUpdateFlow::installFailureDownloadsAgain()
{
    // Installing in place is forced on to reach the installable route; this
    // platform's installer lock refuses, so the flow re-checks and offers again.
    publish(QStringLiteral("0.2.0"), false);
    auto updater = makeUpdater(true);
    m_flow->setUpdater(updater.get(), false, 0);
    m_flow->pageLoaded();
    QTRY_VERIFY_WITH_TIMEOUT(m_bar->isVisible(), 10000);
    QCOMPARE(m_bar->primaryButton()->text(), QStringLiteral("Перезапустить и обновить"));

    QSignalSpy release(m_flow, &UpdateFlow::releasePlayer);
    QSignalSpy ready(updater.get(), &Updater::updateReady);
    m_bar->primaryButton()->click();
    QCOMPARE(release.size(), 1);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_bar->notesLabel()->objectName(), QStringLiteral("UpdateError"));
    QCOMPARE(m_bar->notesLabel()->text(),
             QStringLiteral("Файл обновления не прошёл проверку — скачаем его заново."));
    QVERIFY(!m_bar->primaryButton()->isEnabled());
    QVERIFY(!m_flow->offerActive());

    QVERIFY(ready.wait(8000));
    QVERIFY(m_flow->offerActive());
    QCOMPARE(m_bar->notesLabel()->objectName(), QStringLiteral("UpdateNotes"));
    QVERIFY(m_bar->primaryButton()->isEnabled());
}

void TestUpdateFlow::devAutoAccept()
{
    publish(QStringLiteral("0.2.0"), false);
    auto updater = makeUpdater(false);
    m_flow->setUpdater(updater.get(), true, 0);
    QVERIFY(m_flow->updaterStarted());
    QCOMPARE(logCount(QStringLiteral("update: first check in 0 s (test)")), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 10000);
    QCOMPARE(m_opened.first(), updater->latestUrl());
    QVERIFY(!m_bar->isVisible());
}

void TestUpdateFlow::systemUpdatesOffer()
{
    // Installed from our package with its apt source: the offer sends the user to the
    // system's software updates, and nothing here downloads or opens a page.
    publish(QStringLiteral("0.2.0"), false);
    auto updater = makeUpdater(false, true);
    m_flow->setUpdater(updater.get(), false, 0);
    m_flow->pageLoaded();
    QTRY_VERIFY_WITH_TIMEOUT(m_bar->isVisible(), 10000);
    QCOMPARE(m_bar->titleLabel()->text(), QStringLiteral("Версия 0.2.0 доступна в обновлениях системы"));
    QVERIFY(m_bar->primaryButton()->isHidden());
    m_flow->acceptUpdate();
    QVERIFY(m_opened.isEmpty());
    QVERIFY(m_bar->isVisible());
}

int runUpdateFlowTests(int argc, char **argv)
{
    TestUpdateFlow t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_updateflow.moc"
