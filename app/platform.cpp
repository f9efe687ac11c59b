#include "app/platform.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace svd {

namespace {

bool waylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0;
}

bool hasPlatformArg(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
}

// Set before QApplication exists and read only by the fatal handler on the same thread.
QtMessageHandler g_previousHandler = nullptr;

QString envOr(const char *name, const char *fallback)
{
    const QString v = qEnvironmentVariable(name);
    return v.isEmpty() ? QString::fromLatin1(fallback) : v;
}

void failureHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg || !text.contains(QLatin1String("Qt platform plugin"))) {
        if (g_previousHandler)
            g_previousHandler(type, context, text);
        return;
    }
    const QString line =
        QStringLiteral("sorvanta-desktop: cannot open a window: no display platform could start (asked Qt for %1; "
                       "WAYLAND_DISPLAY=%2, DISPLAY=%3). In a Wayland session install Qt's Wayland platform "
                       "(Debian: qt6-wayland) or let the desktop run XWayland; on X11 check DISPLAY.")
            .arg(envOr("QT_QPA_PLATFORM", "its default"), envOr("WAYLAND_DISPLAY", "(unset)"),
                 envOr("DISPLAY", "(unset)"));
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
    // Qt aborts once a fatal handler returns; nothing has been started yet that
    // would need an orderly shutdown.
    std::_Exit(kExitNoPlatform);
}

} // namespace

QString chooseDisplayPlatform(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || hasPlatformArg(argc, argv) || !waylandSession())
        return QString();
    qputenv("QT_QPA_PLATFORM", "wayland;xcb");
    return QStringLiteral("Wayland session -> Qt's native Wayland platform asked for (X11 through XWayland if it "
                          "cannot start)");
}

QString describeDisplayPlatform(const QString &choice)
{
    const QString name = QGuiApplication::platformName();
    QString text = QStringLiteral("shell: display platform %1").arg(name);
    if (!choice.isEmpty())
        text += QStringLiteral(" (%1)").arg(choice);
    if (waylandSession() && name == QLatin1String("xcb"))
        text += QStringLiteral("; X11 through XWayland in a Wayland session (package qt6-wayland missing, or "
                               "QT_QPA_PLATFORM=xcb)");
    return text;
}

PlatformFailureGuard::PlatformFailureGuard()
{
    g_previousHandler = qInstallMessageHandler(failureHandler);
}

PlatformFailureGuard::~PlatformFailureGuard()
{
    qInstallMessageHandler(g_previousHandler);
    g_previousHandler = nullptr;
}

} // namespace svd
