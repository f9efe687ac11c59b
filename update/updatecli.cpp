#include "update/updatecli.h"

#include "update/updater.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace svd {

using update::CheckResult;

namespace {

void printLine(const QString &line)
{
    const QByteArray utf8 = line.toUtf8();
    std::fprintf(stdout, "%s\n", utf8.constData());
    std::fflush(stdout);
}

int exitCodeFor(CheckResult::Kind kind)
{
    switch (kind) {
    case CheckResult::UpToDate:
    case CheckResult::Ignored:
        return 0;
    case CheckResult::Available:
        return 10;
    case CheckResult::Manual:
        return 11;
    case CheckResult::Rejected:
        return 4;
    case CheckResult::Error:
        break;
    }
    return 2;
}

} // namespace

int runUpdateCheck(const UpdateCliOptions &options)
{
    if (options.config.checksOff) {
        printLine(QStringLiteral("update-check: %1 %2")
                      .arg(CheckResult::name(CheckResult::Error), QLatin1String(kKeyOffMessage)));
        return exitCodeFor(CheckResult::Error);
    }
    UpdaterConfig config = options.config;
    // The command line never runs the installer, so nothing needs to hold it
    // locked: --update-download fetches and verifies it on every platform.
    config.installInPlace = options.download;
    Updater updater(config);
    QEventLoop loop;
    int code = 2;
    QObject::connect(&updater, &Updater::checked, &loop, [&](const CheckResult &r) {
        printLine(QStringLiteral("update-check: %1 %2").arg(CheckResult::name(r.kind), r.message));
        code = exitCodeFor(r.kind);
        // An available update in place goes on downloading; wait for its end.
        if (!(r.kind == CheckResult::Available && config.installInPlace))
            loop.quit();
    });
    QObject::connect(&updater, &Updater::downloadFinished, &loop, [&](bool ok, const QString &text) {
        printLine(QStringLiteral("update-download: %1 %2").arg(ok ? QStringLiteral("ok") : QStringLiteral("failed"), text));
        if (!ok)
            code = 3;
        loop.quit();
    });
    QTimer::singleShot(0, &updater, &Updater::check);
    loop.exec();
    return code;
}

} // namespace svd
