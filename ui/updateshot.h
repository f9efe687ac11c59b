#pragma once

#include <QString>

namespace svd {

// --update-bar-shot: renders an install bar to `pngPath`, a mandatory dialog to
// "<base>-dialog.png" and a download bar to "<base>-download.png" beside it,
// without showing a window. 0 when all three were saved, else 1.
int runUpdateBarShot(const QString &pngPath);

} // namespace svd
