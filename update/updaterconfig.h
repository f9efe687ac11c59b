#pragma once

#include "update/version.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

class QCommandLineParser;

namespace svd {

struct UpdaterConfig {
    QUrl baseUrl;
    QByteArray publicKey;
    update::BuildInfo build;
    QString downloadDir;
    // An Available result starts a download; when false it is offered as a
    // manual (browser) update. Off on this platform: nothing can hold the
    // installer locked until it runs.
    bool installInPlace = true;
    // This copy came from our Debian package and the package's apt source is in place:
    // new versions arrive with the system's software updates, so an offer says that
    // instead of pointing at a download.
    bool systemUpdates = false;
    qint64 maxBytesPerSec = 0; // 0 = unlimited
    // Set when the release key cannot verify anything: the updater then makes
    // no request at all (the reason was logged once at start).
    bool checksOff = false;
};

// Where our package installs its apt source; the environment variable SVD_APT_SOURCE
// names another file (tests).
QString aptSourcePath();

// The one log line of a build whose release key is unusable.
inline constexpr const char kKeyOffMessage[] = "built-in release key is not a valid Ed25519 key -> update checks off";

// The updater configuration of a run from the command line: --update-url (else
// `api`), --update-channel, --update-max-kbps, --check-update and the hidden
// --update-test-key. Checks the built-in release key (once per process: this
// runs once at start). False with `error` set for a channel other than stable
// or beta, or a test key that is refused.
bool updaterConfigFromOptions(const QCommandLineParser &parser, const QUrl &api, const QString &dataDir,
                              UpdaterConfig *config, QString *error);

} // namespace svd
