#pragma once

#include "player/mpvplayer.h"

namespace svd {

// What the self-tests count as a stall: the player waits for data, or stands
// still though nothing (a seek, the viewer's pause) asks it to.
inline bool playbackStalled(const MpvPlayer &player)
{
    const auto flag = [&](const char *name) { return player.getProp(QLatin1String(name)).toBool(); };
    return flag("paused-for-cache") || (flag("core-idle") && !flag("seeking") && !flag("pause"));
}

} // namespace svd
