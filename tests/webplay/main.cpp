// Playback in the web shell, end to end on 127.0.0.1: a site page and the
// bundled bridge test page playing from a loopback swarm. The graphics set-up
// before the application object is the program's own.
#include "base/log.h"
#include "tests/shell/pagescript.h"
#include "video/graphicsdefaults.h"
#include "webswarm.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <memory>

QObject *createSitePageTest(svd::test::WebSwarm *swarm);
QObject *createBridgeTestPageTest(svd::test::WebSwarm *swarm);

int main(int argc, char **argv)
{
    QTemporaryDir home;
    svd::test::prepareWebTestEnvironment(home.path());
    qputenv("SVD_LOOPBACK_ONLY", "1");
    svd::applyGraphicsDefaults();
    QCoreApplication::setOrganizationName(QStringLiteral("SorvantaTest"));
    QCoreApplication::setApplicationName(QStringLiteral("test_webplay"));
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C"); // libmpv needs it
    svd::logStart(home.filePath(QStringLiteral("test.log")));
    qputenv("SVD_TEST_LOG", home.filePath(QStringLiteral("test.log")).toUtf8());

    svd::test::WebSwarm swarm;
    (void)swarm.start(); // each test case reports swarm.error() itself

    int status = 0;
    for (auto make : {createSitePageTest, createBridgeTestPageTest}) {
        std::unique_ptr<QObject> t(make(&swarm));
        status |= QTest::qExec(t.get(), argc, argv);
    }
    return status;
}
