#pragma once

#include <QString>

namespace svd {

// User-facing texts of the player view, kept apart from the widget so they can
// be checked without a display.
QString fmtTime(double seconds);
QString userReason(const QString &reason);
QString speedText(double bytesPerSecond);

} // namespace svd
