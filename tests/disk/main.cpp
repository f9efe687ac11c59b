#include "base/log.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

QObject *newRulesTest();
QObject *newCacheDirTest();
QObject *newCacheSetupTest();

int main(int argc, char **argv)
{
    // Nothing here may reach the user's real settings, data or cache.
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (sandbox.path() + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (sandbox.path() + QStringLiteral("/cache")).toLocal8Bit());
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("SorvantaTest"));
    QCoreApplication::setApplicationName(QStringLiteral("test_disk"));
    QStandardPaths::setTestModeEnabled(true);
    const QString log = sandbox.path() + QStringLiteral("/test.log");
    svd::logStart(log);
    disktest::setLogPath(log);

    int rc = 0;
    for (auto make : {newRulesTest, newCacheDirTest, newCacheSetupTest}) {
        std::unique_ptr<QObject> t(make());
        rc |= QTest::qExec(t.get(), argc, argv);
    }
    return rc;
}
