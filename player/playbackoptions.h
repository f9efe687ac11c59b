#pragma once

#include <QtGlobal>

namespace svd {

struct PlaybackOptions {
    int startTimeoutSec = 45;   // playback must start this long after a source starts
    int noPeersTimeoutSec = 30; // a source with no peer after this long is abandoned
    qint64 cacheCapBytes = 4096LL * 1048576;
    int maxDownKbps = 0; // -1 never limited, 0 rate policy, N steady N kB/s outside bursts
};

} // namespace svd
