#pragma once

#include <QString>

namespace svd {

// The program's exit code when no display platform could start.
inline constexpr int kExitNoPlatform = 69;

// Window modes in a Wayland session ask Qt for its native Wayland platform, with
// X11 through XWayland behind it (Qt's own default does that only where
// XDG_SESSION_TYPE says wayland). An explicit QT_QPA_PLATFORM or -platform wins.
// Returns the line the log gets once it runs (empty when nothing was chosen).
QString chooseDisplayPlatform(int argc, char **argv);

// What the log says about the platform Qt started with (call after QApplication).
QString describeDisplayPlatform(const QString &choice);

// While it lives, Qt's fatal "no platform plugin could be initialized" ends the
// process with a plain message and kExitNoPlatform instead of an abort (a core
// dump and exit 134). Other messages go to the handler that was installed before.
class PlatformFailureGuard
{
public:
    PlatformFailureGuard();
    ~PlatformFailureGuard();
    PlatformFailureGuard(const PlatformFailureGuard &) = delete;
    PlatformFailureGuard &operator=(const PlatformFailureGuard &) = delete;
};

} // namespace svd
