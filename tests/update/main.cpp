#include "tst_release.h"
#include "tst_updater.h"
#include "tst_verification.h"

#include <QCoreApplication>
#include <QTest>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failed = 0;
    {
        TestVerification t;
        failed += QTest::qExec(&t, argc, argv);
    }
    {
        TestUpdater t;
        failed += QTest::qExec(&t, argc, argv);
    }
    {
        TestRelease t;
        failed += QTest::qExec(&t, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}
