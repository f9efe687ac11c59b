#include "tests/video/testsupport.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <memory>

int runVideoOutputTests(int argc, char **argv);
int runVideoTunerTests(int argc, char **argv);
int runVideoRenderTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QTemporaryDir dir;
    // The tuner remembers its level in the application settings: keep them in the test folder.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    const bool display = qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    std::unique_ptr<QCoreApplication> app;
    if (display)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("SorvantaTest"));
    QCoreApplication::setApplicationName(QStringLiteral("test_video"));
    // libmpv refuses to start under a non-C numeric locale.
    std::setlocale(LC_NUMERIC, "C");
    svd::test::startTestLog(dir.path());

    int failed = runVideoOutputTests(argc, argv);
#ifdef SVD_TEST_VIDEO_OUTPUTS
    failed += runVideoTunerTests(argc, argv);
    if (display)
        failed += runVideoRenderTests(argc, argv);
    else
        qWarning("no display: the OpenGL output tests need one (run under xvfb-run)");
#endif
    return failed;
}
