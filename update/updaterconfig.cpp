#include "update/updaterconfig.h"

#include "update/crypto.h"

#include <QCommandLineParser>

namespace svd {

bool updaterConfigFromOptions(const QCommandLineParser &p, const QUrl &api, const QString &dataDir,
                              UpdaterConfig *config, QString *error)
{
    const QString channel =
        p.isSet(QStringLiteral("update-channel")) ? p.value(QStringLiteral("update-channel")) : QStringLiteral("stable");
    if (channel != QLatin1String("stable") && channel != QLatin1String("beta")) {
        if (error)
            *error = QStringLiteral("--update-channel must be stable or beta");
        return false;
    }
    UpdaterConfig c;
    c.baseUrl = p.isSet(QStringLiteral("update-url")) ? QUrl(p.value(QStringLiteral("update-url"))) : api;
    c.publicKey = update::embeddedPublicKey();
    c.build = update::runningBuild(channel);
    c.downloadDir = dataDir + QStringLiteral("/updates");
    c.installInPlace = false;
    c.maxBytesPerSec = p.isSet(QStringLiteral("check-update")) ? 0 : 2000000;
    if (p.isSet(QStringLiteral("update-max-kbps"))) {
        bool ok = false;
        const qint64 kbps = p.value(QStringLiteral("update-max-kbps")).trimmed().toLongLong(&ok);
        c.maxBytesPerSec = ok && kbps > 0 && kbps < (qint64(1) << 40) ? kbps * 1000 : 0;
    }
    *config = c;
    return true;
}

} // namespace svd
