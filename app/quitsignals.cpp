#include "app/quitsignals.h"

#include "base/log.h"

#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace svd {

namespace {

// The handler may only do async-signal-safe work: it writes the signal number
// into a socket the event loop watches.
int g_signalFds[2] = {-1, -1};

void onSignal(int sig)
{
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalFds[1], &byte, 1);
    // The next one is not caught: if the orderly shutdown hangs, it ends the process.
    std::signal(sig, SIG_DFL);
}

const char *signalName(int sig)
{
    switch (sig) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

} // namespace

void closeOnTerminationSignals(QWidget *window)
{
    if (g_signalFds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0) {
        logLine(QStringLiteral("shell: no socket for termination signals; they end the program at once"));
        return;
    }
    auto *notifier = new QSocketNotifier(g_signalFds[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte = 0;
        if (::read(g_signalFds[0], &byte, 1) != 1)
            return;
        logLine(QStringLiteral("shell: %1 -> closing").arg(QLatin1String(signalName(byte))));
        window->close();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace svd
