#pragma once

#include "base/appconfig.h"

#include <QString>

namespace svd {

class SourceProvider;
class TorrentEngine;

// The self-test's label: the --play-fixture file name, or "api anime <id>".
QString selfTestLabel(const AppConfig &config, long long animeId);

// The command-line self-test without a window: a headless player and a
// playback controller of its own, the SelfTest on them, the event loop until
// it finishes. Returns the self-test's code (0 pass, 1 fail) or 3 when the
// player cannot start. The engine and the provider stay the caller's.
int runHeadlessSelfTest(const AppConfig &config, TorrentEngine *engine, SourceProvider *provider,
                        long long animeId, int episode);

} // namespace svd
