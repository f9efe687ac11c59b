#include "base/log.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

int runUpdateWidgetTests(int argc, char **argv);
int runUpdateFlowTests(int argc, char **argv);

namespace {
QString g_logPath;
}

// Every logLine of the run, for tests that check what was (not) logged.
QString loggedText()
{
    QFile f(g_logPath);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    g_logPath = dir.filePath(QStringLiteral("test.log"));
    svd::logStart(g_logPath);
    int failed = runUpdateWidgetTests(argc, argv);
    failed += runUpdateFlowTests(argc, argv);
    return failed == 0 ? 0 : 1;
}
