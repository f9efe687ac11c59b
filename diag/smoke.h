#pragma once

#include <QImage>
#include <QString>

namespace svd {

struct SmokeOptions {
    QString resourcesDir;
    QString screenshot; // --smoke-ui path; empty for --smoke
    double maxWallSec = 90;
    QString mpvLog;
};

// Load check of an installed build without network; with a screenshot path
// also a window with a web view and the video overlay. Returns the exit code:
// 0 pass, 7 basic check failed, 3 player init, 5 no render context,
// 6 page or video check failed, 9 picture upside down.
int runSmoke(const SmokeOptions &options);

// "upright", "UPSIDE DOWN", "unclear (…)" or "not available" for a red-over-blue
// test picture inside `area` of `image` (the whole image when area is null).
QString pictureOrientation(const QImage &image, const QRect &area = QRect());

// Distinct 24-bit colours on a coarse grid (32 x 24 samples).
int distinctColours(const QImage &image);

} // namespace svd
