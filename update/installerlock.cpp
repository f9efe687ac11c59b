#include "update/installerlock.h"

namespace svd {

namespace {

bool refuse(QString *error, const char *text)
{
    if (error)
        *error = QString::fromLatin1(text);
    return false;
}

} // namespace

bool InstallerLock::supported()
{
    return false;
}

bool InstallerLock::open(const QString &, qint64, const QByteArray &, QString *error)
{
    return refuse(error, "installer launch is not supported on this platform");
}

bool InstallerLock::reverify(QString *error)
{
    return refuse(error, "not supported");
}

bool InstallerLock::launch(const QStringList &, QString *error, qint64 *)
{
    return refuse(error, "installer launch is not supported on this platform");
}

void InstallerLock::close()
{
    open_ = false;
}

} // namespace svd
