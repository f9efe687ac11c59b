#include "disk/cachedir.h"

#include "base/log.h"
#include "disk/cachebudget.h"
#include "disk/volumes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace svd::disk {

namespace {

constexpr QDir::Filters kEverything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

QString markerPath(const QString &folder)
{
    return folder + QLatin1Char('/') + QLatin1String(kMarkerName);
}

bool isLinkLike(const QFileInfo &fi)
{
    return fi.isSymLink() || fi.isJunction();
}

// Sizes of the regular files below `path`; links are neither followed nor counted.
qint64 treeBytes(const QString &path)
{
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        if (!isLinkLike(fi))
            total += fi.size();
    }
    return total;
}

bool writeMarker(const QString &folder, QString *error)
{
    QFile marker(markerPath(folder));
    // NewOnly: never follow or overwrite whatever already carries the name.
    if (!marker.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(marker.fileName(), marker.errorString());
        return false;
    }
    const QByteArray text(kMarkerText);
    const bool ok = marker.write(text) == text.size() && marker.flush();
    marker.close();
    if (!ok) {
        marker.remove();
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(marker.fileName(), marker.errorString());
    }
    return ok;
}

bool writeTest(const QString &folder, QString *error)
{
    const QString name =
        QStringLiteral(".write-test-%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    QFile f(folder + QLatin1Char('/') + name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (error)
            *error = QStringLiteral("cannot write in %1: %2").arg(folder, f.errorString());
        return false;
    }
    const QByteArray block(65536, 'a');
    const bool ok = f.write(block) == block.size() && f.flush();
    f.close();
    f.remove();
    if (!ok && error)
        *error = QStringLiteral("write test failed in %1").arg(folder);
    return ok;
}

} // namespace

bool hasCacheMarker(const QString &folder)
{
    const QFileInfo fi(markerPath(folder));
    return fi.isFile() && !isLinkLike(fi);
}

bool prepareCacheDir(const QString &folder, QString *error, bool ownFolder)
{
    const QString dir = cleanedPath(folder);
    if (dir.isEmpty() || !QDir().mkpath(dir) || !QFileInfo(dir).isDir()) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    if (!hasCacheMarker(dir)) {
        // A folder with someone's files in it must never become a cache: the
        // engine purges its cache folder's hex-named sub-folders without asking.
        if (!ownFolder && !QDir(dir).entryList(kEverything).isEmpty()) {
            if (error)
                *error = QStringLiteral("%1 already holds files and has no %2 marker")
                             .arg(dir, QLatin1String(kMarkerName));
            return false;
        }
        if (!writeMarker(dir, error))
            return false;
    }
    return writeTest(dir, error);
}

bool isSessionDirName(const QString &name)
{
    if (name.isEmpty() || name.size() > 16)
        return false;
    for (const QChar c : name) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

qint64 purgeCacheDir(const QString &folder, bool skipMarkerCheck, bool removeIfUnused,
                     const QStringList &keep)
{
    const QString dir = cleanedPath(folder);
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        return 0;
    if (!skipMarkerCheck && !hasCacheMarker(dir)) {
        logLine(QStringLiteral("cache: %1 has no %2 marker; not purging it")
                    .arg(QDir::toNativeSeparators(dir), QLatin1String(kMarkerName)));
        return 0;
    }

    qint64 removed = 0;
    int removedDirs = 0;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &fi : entries) {
        if (!fi.isDir() || isLinkLike(fi) || !isSessionDirName(fi.fileName()) || keep.contains(fi.fileName()))
            continue;
        const QString path = fi.absoluteFilePath();
        const qint64 before = treeBytes(path);
        // removeRecursively unlinks links inside the tree without following them.
        if (QDir(path).removeRecursively()) {
            removed += before;
            ++removedDirs;
        } else {
            removed += before - treeBytes(path);
        }
    }
    if (removedDirs > 0 || removed > 0)
        logLine(QStringLiteral("cache: purged %1 of leftovers in %2")
                    .arg(formatBytes(removed), QDir::toNativeSeparators(dir)));

    if (removeIfUnused && hasCacheMarker(dir)) {
        const QStringList left = QDir(dir).entryList(kEverything);
        if (left == QStringList{QLatin1String(kMarkerName)} && QFile::remove(markerPath(dir))) {
            if (QDir().rmdir(dir))
                logLine(QStringLiteral("cache: removed unused cache folder %1")
                            .arg(QDir::toNativeSeparators(dir)));
            else
                writeMarker(dir, nullptr); // something arrived meanwhile: keep it recognisable
        }
    }
    return removed;
}

} // namespace svd::disk
