#include "update/freespace.h"

#ifdef SVD_UPDATE_HAVE_DISK
#include "disk/cachebudget.h"
#include "disk/volumes.h"
#else
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#endif

namespace svd::update {

#ifdef SVD_UPDATE_HAVE_DISK

qint64 freeBytesFor(const QString &path)
{
    return disk::freeBytes(path);
}

QString formatSize(qint64 bytes)
{
    return disk::formatBytes(bytes);
}

#else
// TEMPORARY ADAPTER until the disk module's library is in the build: plain
// storage information without the fake free space. Remove with the #ifdef.

qint64 freeBytesFor(const QString &path)
{
    QString p = QDir::cleanPath(path);
    for (int i = 0; i < 64 && !p.isEmpty() && !QFileInfo::exists(p); ++i) {
        const QString parent = QFileInfo(p).path();
        if (parent == p)
            break;
        p = parent;
    }
    const QStorageInfo info(p);
    return info.isValid() && info.isReady() ? info.bytesAvailable() : -1;
}

QString formatSize(qint64 bytes)
{
    const double gib = 1073741824.0;
    if (bytes < 0)
        return QStringLiteral("?");
    if (bytes < qint64(gib))
        return QStringLiteral("%1 MiB").arg(double(bytes) / 1048576.0, 0, 'f', 0);
    if (bytes < qint64(10 * gib))
        return QStringLiteral("%1 GiB").arg(double(bytes) / gib, 0, 'f', 1);
    return QStringLiteral("%1 GiB").arg(double(bytes) / gib, 0, 'f', 0);
}

#endif

} // namespace svd::update
