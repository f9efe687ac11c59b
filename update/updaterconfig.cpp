#include "update/updaterconfig.h"

#include "base/log.h"
#include "base/loopback.h"
#include "update/crypto.h"

#include <QCommandLineParser>
#include <QFileInfo>

namespace svd {

QString aptSourcePath()
{
    const QString path = qEnvironmentVariable("SVD_APT_SOURCE");
    return path.isEmpty() ? QStringLiteral("/etc/apt/sources.list.d/sorvanta-desktop.sources") : path;
}

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
    if (p.isSet(QStringLiteral("update-test-key"))) {
        // A test key's private half may be public (the demo's is in the
        // repository), so it is only taken for an update server on this machine.
        const QString host = c.baseUrl.host();
        if (!c.baseUrl.isValid() || !isLoopbackAddress(host)) {
            if (error)
                *error = QStringLiteral("--update-test-key refused: the update URL must be on 127.0.0.1 or [::1]");
            return false;
        }
        const auto decoded = QByteArray::fromBase64Encoding(p.value(QStringLiteral("update-test-key")).toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        QString why = QStringLiteral("not base64");
        if (!decoded || !update::isValidEd25519PublicKey(*decoded, &why)) {
            if (error)
                *error = QStringLiteral("--update-test-key refused: %1").arg(why);
            return false;
        }
        c.publicKey = *decoded;
        logLine(QStringLiteral("update: verifying with the test key given by --update-test-key"));
    } else {
        c.publicKey = update::embeddedPublicKey();
        if (!update::isValidEd25519PublicKey(c.publicKey)) {
            c.checksOff = true;
            if (!p.isSet(QStringLiteral("no-update")))
                logLine(QStringLiteral("update: ") + QLatin1String(kKeyOffMessage));
        }
    }
    c.build = update::runningBuild(channel);
    c.downloadDir = dataDir + QStringLiteral("/updates");
    c.installInPlace = false;
    c.systemUpdates = QFileInfo::exists(aptSourcePath());
    if (c.systemUpdates)
        logLine(QStringLiteral("update: %1 is present: updates come with the system's software updates")
                    .arg(aptSourcePath()));
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
