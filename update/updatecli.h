#pragma once

#include "update/updaterconfig.h"

namespace svd {

struct UpdateCliOptions {
    UpdaterConfig config;
    bool download = false; // --update-download; the installer is never run from here
};

// One real check (and with `download` the download and its verification).
// Exit codes: 0 up to date or ignored, 10 available, 11 manual, 4 rejected,
// 2 error, 3 download failed.
int runUpdateCheck(const UpdateCliOptions &options);

} // namespace svd
