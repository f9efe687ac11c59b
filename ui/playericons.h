#pragma once

#include <QIcon>

namespace svd {

enum class PlayerIcon { Play, Pause, Next, Previous, Back, Volume, Muted, Fullscreen, ExitFullscreen };

// Drawn at run time into a 64 x 64 transparent pixmap, so the view needs no
// image files.
QIcon playerIcon(PlayerIcon which);

} // namespace svd
