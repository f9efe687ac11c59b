// The shell started while the site's server is down: our own page shows what
// failed, its button and a network change retry at once, and the site comes up
// by itself once its server listens. A load under a playing video is never
// stopped or replaced.
#include "pagescript.h"
#include "shell/desktopbridge.h"
#include "shell/mainwindow.h"
#include "shell/offlinepage.h"
#include "testhttp.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <memory>

using namespace svd;
using svd::test::evalJs;
using svd::test::readTestLog;

namespace {

constexpr int kLoadMs = 30000;
const char kSitePage[] = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>site</title></head>"
                         "<body><h1>site</h1></body></html>";

quint16 freePort()
{
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

int logCount(const QString &text)
{
    return int(readTestLog().count(text));
}

// What our page shows, as the user reads it.
QVariantMap offlineTexts(QWebEnginePage *page)
{
    return evalJs(page, QStringLiteral(R"((function () {
        function t(id) { var e = document.getElementById(id); return e ? e.textContent : null; }
        return { h1: document.querySelector("h1") ? document.querySelector("h1").textContent : null,
                 reason: t("reason"), address: t("address"), detail: t("detail"), button: t("retry"),
                 status: t("status") };
      })())"))
        .toMap();
}

// Accepts connections and never answers: a site that does not respond.
class SilentServer : public QTcpServer {
public:
    SilentServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection())
                s->setParent(this);
        });
    }
};

} // namespace

class TestOfflinePage : public QObject {
    Q_OBJECT
private slots:
    void siteDownThenUp();
    void retryCutShortComesAgain();
    void nothingStoppedWhilePlaying();
};

void TestOfflinePage::siteDownThenUp()
{
    const quint16 port = freePort();
    QVERIFY(port);
    // Entities in the address must come out as text, not as markup.
    AppConfig cfg;
    cfg.site = QUrl(QStringLiteral("http://127.0.0.1:%1/title/7?a=1&q=&lt;i&gt;x").arg(port));
    cfg.lite = QStringLiteral("off");
    MainWindow window(cfg, nullptr, nullptr, false);
    OfflinePage *offline = window.offlinePage();
    QWebEnginePage *page = window.webView()->page();
    QSignalSpy shown(offline, &OfflinePage::shown);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 1, kLoadMs);
    QTRY_COMPARE_WITH_TIMEOUT(offlineTexts(page).value(QStringLiteral("button")).toString(),
                              QStringLiteral("Повторить"), kLoadMs);
    const QVariantMap texts = offlineTexts(page);
    QCOMPARE(texts.value(QStringLiteral("h1")).toString(), QStringLiteral("Сайт недоступен"));
    QCOMPARE(texts.value(QStringLiteral("reason")).toString(),
             QStringLiteral("Сервер сайта отказал в соединении."));
    QCOMPARE(texts.value(QStringLiteral("address")).toString(), cfg.site.toDisplayString());
    QCOMPARE(texts.value(QStringLiteral("detail")).toString(), QStringLiteral("net::ERR_CONNECTION_REFUSED"));
    QVERIFY2(
        texts.value(QStringLiteral("status")).toString().startsWith(QStringLiteral("Повторим сами через ")),
        qPrintable(texts.value(QStringLiteral("status")).toString()));
    QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), QStringLiteral("Сайт недоступен"), kLoadMs);
    QVERIFY(!window.bridge()->originAllowed());
    QVERIFY(readTestLog().contains(QStringLiteral("shell: site unreachable (net::ERR_CONNECTION_REFUSED): ") +
                                   cfg.site.toString() + QStringLiteral(" -> offline page, retry in 5 s")));

    // What the screen shows: the dark page with the blue button.
    const QVariantList button =
        evalJs(page, QStringLiteral(
                         "(function () { var r = document.getElementById('retry').getBoundingClientRect();"
                         " return [r.left + r.width / 2, r.top + r.height / 2]; })()"))
            .toList();
    QCOMPARE(button.size(), qsizetype(2));
    QTest::qWait(500); // the compositor's next frame
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    const QColor buttonPixel =
        screen.pixelColor(window.webView()->mapToGlobal(QPoint(button.at(0).toInt(), button.at(1).toInt())));
    const QColor backPixel = screen.pixelColor(window.webView()->mapToGlobal(QPoint(8, 8)));
    const QString dir =
        qEnvironmentVariable("SVD_BINARY_DIR", QDir::currentPath()) + QStringLiteral("/shell-shots");
    QDir().mkpath(dir);
    const QRect frame = window.frameGeometry().intersected(screen.rect());
    QVERIFY(screen.copy(frame).save(dir + QStringLiteral("/offline.png")));
    QVERIFY2(buttonPixel.blue() > 200 && buttonPixel.blue() > buttonPixel.red() + 100,
             qPrintable(buttonPixel.name()));
    QVERIFY2(backPixel.lightness() < 40, qPrintable(backPixel.name()));

    // "Повторить" tries at once; so does the network coming back.
    int failures = logCount(QStringLiteral("shell: site unreachable ("));
    evalJs(page, QStringLiteral("document.getElementById('retry').click()"));
    QTRY_VERIFY_WITH_TIMEOUT(readTestLog().contains(QStringLiteral(" (Повторить)\n")), kLoadMs);
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("shell: site unreachable (")) > failures, kLoadMs);
    QTRY_VERIFY_WITH_TIMEOUT(offline->isShowing(), kLoadMs);
    failures = logCount(QStringLiteral("shell: site unreachable ("));
    offline->setReachability(QNetworkInformation::Reachability::Disconnected);
    offline->setReachability(QNetworkInformation::Reachability::Online);
    QVERIFY(readTestLog().contains(QStringLiteral("shell: retrying ") + cfg.site.toString() +
                                   QStringLiteral(" (network back)")));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("shell: site unreachable (")) > failures, kLoadMs);

    // The server comes up; the next retry (5 s: the schedule started over) loads the site.
    TestHttpServer server{QByteArray(kSitePage)};
    QVERIFY(server.start(port));
    QTRY_COMPARE_WITH_TIMEOUT(evalJs(page, QStringLiteral("document.title")).toString(),
                              QStringLiteral("site"), kLoadMs);
    QVERIFY(!offline->isShowing());
    QVERIFY(!offline->retryPending());
    QVERIFY(window.bridge()->originAllowed());
    QVERIFY(!page->history()->canGoBack());
    QVERIFY(readTestLog().contains(QStringLiteral("shell: site reachable again: ") + cfg.site.toString()));
    window.close();
}

// A retry cut short before any answer (as when the network comes back just as our page goes
// up, and our page's own load commits after the retry began) leaves our page showing and
// another retry on its way; it used to leave the page promising one that never came.
void TestOfflinePage::retryCutShortComesAgain()
{
    const quint16 port = freePort();
    QVERIFY(port);
    QWebEnginePage page;
    OfflinePage offline(&page, [] { return false; });
    page.load(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)));
    QTRY_COMPARE_WITH_TIMEOUT(evalJs(&page, QStringLiteral("document.title")).toString(),
                              QStringLiteral("Сайт недоступен"), kLoadMs);
    SilentServer server; // the retry gets no answer until it is cut short
    QVERIFY(server.listen(QHostAddress::LocalHost, port));
    offline.setReachability(QNetworkInformation::Reachability::Disconnected);
    offline.setReachability(QNetworkInformation::Reachability::Online);
    QTRY_VERIFY_WITH_TIMEOUT(!server.findChildren<QTcpSocket *>().isEmpty(), kLoadMs);
    page.triggerAction(QWebEnginePage::Stop);
    QTRY_VERIFY_WITH_TIMEOUT(offline.retryPending(), kLoadMs);
    QTRY_VERIFY_WITH_TIMEOUT(offline.isOwnUrl(page.url()), kLoadMs);
    QVERIFY(readTestLog().contains(QStringLiteral(" cut short -> retry in 5 s")));
}

void TestOfflinePage::nothingStoppedWhilePlaying()
{
    QWebEnginePage page;
    bool playing = true;
    OfflinePage guard(&page, [&] { return playing; });
    guard.setStallTimeoutMs(2000);
    QSignalSpy finished(&page, &QWebEnginePage::loadFinished);

    // A failed load under a playing video leaves the page as it is.
    const QUrl refused(QStringLiteral("http://127.0.0.1:%1/").arg(freePort()));
    page.load(refused);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kLoadMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        readTestLog().contains(QStringLiteral("shell: ") + refused.toString() +
                               QStringLiteral(" failed to load (net::ERR_CONNECTION_REFUSED) "
                                              "while playing -> page left as it is")),
        kLoadMs);
    QVERIFY(!guard.isShowing());
    QVERIFY(!guard.retryPending());

    // A site that does not answer is neither stopped nor reloaded while playing;
    // once playback is over, it counts as a time-out.
    SilentServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QUrl mute(QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort()));
    page.load(mute);
    QTRY_VERIFY_WITH_TIMEOUT(readTestLog().contains(QStringLiteral("shell: ") + mute.toString() +
                                                    QStringLiteral(" still loading after 2 s while playing")),
                             kLoadMs);
    QTest::qWait(2500);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!guard.isShowing());
    playing = false;
    QTRY_VERIFY_WITH_TIMEOUT(guard.isShowing(), kLoadMs);
    QTRY_COMPARE_WITH_TIMEOUT(offlineTexts(&page).value(QStringLiteral("reason")).toString(),
                              QStringLiteral("Сервер сайта не ответил вовремя."), kLoadMs);
    QVERIFY(guard.retryPending());
}

QObject *createOfflinePageTest()
{
    return new TestOfflinePage;
}

#include "tst_offlinepage.moc"
