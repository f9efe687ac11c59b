#pragma once

namespace svd::disk {

// Offline check of the cache cap and cache location rules on synthetic
// volumes; prints its verdict to stdout. Writes no files and no settings.
// Returns 0 when every check passes, 1 otherwise.
int runDiskSelfTest();

} // namespace svd::disk
