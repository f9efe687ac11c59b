// The update bar inside the real shell window: a real Updater checks a local
// server that publishes a signed offer, the bar shows it below the page, and
// its button hands the latest-release page to the desktop.
#include "shell/mainwindow.h"
#include "tests/common/timescale.h"
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
#include <QWebEngineView>

#include <memory>

using namespace svd;

namespace {

const char kInstaller[] = "sorvanta-desktop_9.0.0_amd64.deb";
const char kPage[] = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>site</title></head>"
                     "<body><h1>site</h1></body></html>";

} // namespace

class TestShellUpdate : public QObject {
    Q_OBJECT
public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void barOffersDownloadAndOpensLatest();

private:
    QByteArray signedOffer() const;

    TestKey m_key;
    QByteArray m_installer;
    QTemporaryDir m_dir;
    std::unique_ptr<LocalServer> m_server;
    QList<QUrl> m_opened;
    int m_updateRequests = 0;
};

void TestShellUpdate::initTestCase()
{
    // No browser opens: every http URL handed to the desktop lands in openUrl().
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    for (int i = 0; i < 2000; ++i)
        m_installer.append(char((i * 37) & 0xff));
    m_server = std::make_unique<LocalServer>();
    QVERIFY(m_server->isListening());
    const QByteArray offer = signedOffer();
    m_server->setHandler([this, offer](const LocalServer::Request &r) {
        if (r.path.startsWith("/api/desktop/update")) {
            ++m_updateRequests;
            return LocalServer::Response{200, {{"Content-Type", "application/json"}}, offer, -1, -1};
        }
        if (r.path == QByteArray("/api/desktop/download/") + kInstaller)
            return LocalServer::serveBytes(r, m_installer);
        if (r.path.startsWith("/api/"))
            return LocalServer::Response{404, {}, "no", -1, -1};
        return LocalServer::Response{200, {{"Content-Type", "text/html; charset=utf-8"}}, kPage, -1, -1};
    });
}

void TestShellUpdate::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    m_server.reset();
}

QByteArray TestShellUpdate::signedOffer() const
{
    update::Sha256 sha;
    sha.add(m_installer.constData(), m_installer.size());
    QJsonObject o;
    o.insert(QStringLiteral("version"), QStringLiteral("9.0.0"));
    o.insert(QStringLiteral("platform"), QStringLiteral("linux"));
    o.insert(QStringLiteral("arch"), QStringLiteral("x64"));
    o.insert(QStringLiteral("channel"), QStringLiteral("stable"));
    o.insert(QStringLiteral("file"), QLatin1String(kInstaller));
    o.insert(QStringLiteral("size"), m_installer.size());
    o.insert(QStringLiteral("sha256"), QString::fromLatin1(sha.hexResult()));
    o.insert(QStringLiteral("notes"), QStringLiteral("Быстрее плеер"));
    o.insert(QStringLiteral("mandatory"), false);
    o.insert(QStringLiteral("minVersion"), QJsonValue());
    o.insert(QStringLiteral("publishedAt"), QStringLiteral("2026-12-01T12:00:00Z"));
    return m_key.envelope(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void TestShellUpdate::barOffersDownloadAndOpensLatest()
{
    AppConfig cfg;
    cfg.site = QUrl(m_server->base().toString() + QStringLiteral("/"));
    MainWindow window(cfg, nullptr, nullptr, false);
    QVERIFY(window.updateBar());
    QVERIFY(!window.updateBar()->isVisible());

    UpdaterConfig uc;
    uc.baseUrl = m_server->base();
    uc.publicKey = m_key.publicKey();
    uc.build = update::runningBuild(QStringLiteral("stable"));
    uc.downloadDir = m_dir.filePath(QStringLiteral("updates"));
    uc.installInPlace = false;
    Updater updater(uc);
    window.setUpdater(&updater, false, 0);

    QSignalSpy loaded(window.webView(), &QWebEngineView::loadFinished);
    window.resize(1000, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The first check waits for the page; a hung first WebEngine load (seen
    // under Xvfb) gets one reload.
    if (!QTest::qWaitFor([&] { return loaded.count() > 0; }, svd::test::waitMs(20000)))
        window.webView()->reload();
    QTRY_VERIFY_WITH_TIMEOUT(loaded.count() > 0, svd::test::waitMs(30000));
    QTRY_VERIFY_WITH_TIMEOUT(window.updateFlow()->updaterStarted(), svd::test::waitMs(10000));

    UpdateBar *bar = window.updateBar();
    QTRY_VERIFY_WITH_TIMEOUT(bar->isVisible(), svd::test::waitMs(20000));
    QVERIFY(m_updateRequests >= 1);
    QCOMPARE(bar->titleLabel()->text(), QStringLiteral("Доступна версия 9.0.0"));
    QCOMPARE(bar->primaryButton()->text(), QStringLiteral("Скачать"));
    // The bar sits below the page, not over it.
    QVERIFY(bar->geometry().top() >= window.webView()->geometry().bottom());

    m_opened.clear();
    bar->primaryButton()->click();
    QCOMPARE(m_opened.size(), 1);
    QCOMPARE(m_opened.first(), updater.latestUrl());
    QCOMPARE(m_opened.first().host(), QStringLiteral("127.0.0.1"));
    QCOMPARE(m_opened.first().port(), m_server->base().port());
    QVERIFY2(m_opened.first().path().endsWith(QStringLiteral("/api/desktop/latest")),
             qPrintable(m_opened.first().toString()));
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isVisible(), svd::test::waitMs(5000));
    QVERIFY(!window.updateFlow()->offerActive());
    window.close();
}

QObject *createShellUpdateTest()
{
    return new TestShellUpdate;
}

#include "tst_shellupdate.moc"
