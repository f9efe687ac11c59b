#pragma once

#include "tools/backend/testbackend.h"

#include <QString>

namespace svd::demo {

class Tracker;

// The demo's extra routes on the local backend, tried before the backend's own:
//   GET /announce, /tracker/stats       the loopback tracker
//   GET /api/desktop/update?...         204: nothing newer published (the demo never offers an update)
//   GET /api/desktop/latest?...         a small "latest release" page
//   GET /api/desktop/download/...       404
//   GET /, /title/...                   the site's index.html (a single-page site with history routes)
// `tracker` must outlive the backend's handlers.
void installDemoRoutes(TestBackend *backend, Tracker *tracker, const QString &siteDir);

// The "latest release" page for a platform and arch (HTML, Russian).
QByteArray latestPage(const QString &platform, const QString &arch);

} // namespace svd::demo
