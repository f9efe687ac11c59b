#pragma once

#include <QString>

namespace svd {

// User-facing texts of the player view, kept apart from the widget so they can
// be checked without a display.
QString fmtTime(double seconds);
QString userReason(const QString &reason);
QString speedText(double bytesPerSecond);
// The title bar's text for an episode (also what the desktop's media controls show).
QString episodeTitle(const QString &title, int episode);

} // namespace svd
