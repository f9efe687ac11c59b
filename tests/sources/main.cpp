#include "tests/sources/tst_generated.h"
#include "tests/sources/tst_model.h"
#include "tests/sources/tst_providers.h"

#include <QCoreApplication>
#include <QTest>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int status = 0;
    {
        TestModel t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestProviders t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        TestGenerated t;
        status |= QTest::qExec(&t, argc, argv);
    }
    return status;
}
