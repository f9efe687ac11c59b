// One executable for the shell tests: isolated settings and web profile
// folders, and a display-backed QApplication as WebEngine needs it.
#include "base/log.h"
#include "pagescript.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

QObject *createBridgeRulesTest();
QObject *createWebShellTest();
QObject *createOfflinePageTest();
QObject *createShellUpdateTest();
QObject *createHoleShotsTest();
QObject *createWestonTest();

int main(int argc, char **argv)
{
    QTemporaryDir home;
    svd::test::prepareWebTestEnvironment(home.path());
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QCoreApplication::setOrganizationName(QStringLiteral("SorvantaTest"));
    QCoreApplication::setApplicationName(QStringLiteral("test_shell"));
    QApplication app(argc, argv);
    svd::logStart(home.filePath(QStringLiteral("test.log")));
    qputenv("SVD_TEST_LOG", home.filePath(QStringLiteral("test.log")).toUtf8());

    // weston-run.sh runs only the Weston part; the other suites run on the X display.
    using Make = QObject *(*)();
    const std::vector<Make> suites =
        qEnvironmentVariableIsEmpty("SVD_TEST_WESTON_SOCKET")
            ? std::vector<Make>{createBridgeRulesTest, createWebShellTest, createOfflinePageTest,
                                createShellUpdateTest, createHoleShotsTest}
            : std::vector<Make>{createWestonTest};
    int status = 0;
    for (Make make : suites) {
        std::unique_ptr<QObject> t(make());
        status |= QTest::qExec(t.get(), argc, argv);
    }
    return status;
}
