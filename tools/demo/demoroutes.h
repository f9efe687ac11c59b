#pragma once

#include "tools/backend/testbackend.h"

#include <QString>

namespace svd::demo {

class Tracker;

// The demo's extra routes on the local backend, tried before the backend's own:
//   GET /announce, /tracker/stats       the loopback tracker
//   GET /api/desktop/...                with `updateFeed` (a folder made by tools/release/make-feed):
//                                       its files, served as a plain static web server would (the
//                                       query is ignored, a folder redirects to its "/" and serves
//                                       index.html); without it:
//     /api/desktop/update?...           204: nothing newer published
//     /api/desktop/latest?...           a small "latest release" page
//     /api/desktop/download/...         404
//   GET /, /title/...                   the site's index.html (a single-page site with history routes)
// `tracker` must outlive the backend's handlers.
void installDemoRoutes(TestBackend *backend, Tracker *tracker, const QString &siteDir,
                       const QString &updateFeed = {});

// The "latest release" page for a platform and arch (HTML, Russian).
QByteArray latestPage(const QString &platform, const QString &arch);

} // namespace svd::demo
