// Torrent streaming: the window plan on its own, then real libtorrent sessions seeding on
// 127.0.0.1 and a headless libmpv.

#include "tests/torrent/testsupport.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <clocale>

int runWindowPlanTests(int argc, char **argv);
int runTorrentEngineTests(int argc, char **argv);
int runStreamProtocolTests(int argc, char **argv);

int main(int argc, char **argv)
{
    // Nothing here may reach beyond this machine.
    qputenv("SVD_LOOPBACK_ONLY", "1");
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QTemporaryDir logDir;
    svd::test::startTorrentTestLog(logDir.filePath(QStringLiteral("test.log")));
    int status = 0;
    status |= runWindowPlanTests(argc, argv);
    status |= runTorrentEngineTests(argc, argv);
    status |= runStreamProtocolTests(argc, argv);
    return status;
}
