#pragma once

class QWidget;

namespace svd {

// SIGTERM (log-out, `kill`), SIGINT (Ctrl+C) and SIGHUP close `window` as its
// close button would, so playback, the engine and the log shut down in order.
// A second signal while that is under way ends the process at once.
void closeOnTerminationSignals(QWidget *window);

} // namespace svd
