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
    qint64 maxBytesPerSec = 0; // 0 = unlimited
};

// The updater configuration of a run from the command line: --update-url (else
// `api`), --update-channel, --update-max-kbps, --check-update. False with
// `error` set for a channel other than stable or beta.
bool updaterConfigFromOptions(const QCommandLineParser &parser, const QUrl &api, const QString &dataDir,
                              UpdaterConfig *config, QString *error);

} // namespace svd
