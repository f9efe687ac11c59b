#pragma once

namespace svd {

// The whole program: start-up frame, the selected mode, shutdown. Returns the
// process exit code.
int runApp(int argc, char **argv);

} // namespace svd
