#include "tests/player/testsupport.h"

#include <QCoreApplication>
#include <QTest>

#include <clocale>

int runMpvPlayerTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // libmpv refuses to start under a non-C numeric locale.
    std::setlocale(LC_NUMERIC, "C");
    svd::test::startTestLog();
    int failed = 0;
    failed += runMpvPlayerTests(argc, argv);
    return failed;
}
