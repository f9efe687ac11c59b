#pragma once

namespace svd {

// Process-wide graphics set-up for the chosen video output; must run after the
// output mode is resolved and before the application object exists: the GL
// surface format, context sharing (WebEngine and the video share GL), and no
// native siblings for the native video window (the web view's Qt Quick widget
// stops rendering when it is turned native).
void applyGraphicsDefaults();

} // namespace svd
