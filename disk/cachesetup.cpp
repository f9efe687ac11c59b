#include "disk/cachesetup.h"

#include "base/log.h"
#include "disk/cachebudget.h"
#include "disk/cachedir.h"
#include "disk/cachelocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

namespace svd::disk {

namespace {

const QString kDirKey = QStringLiteral("cache/dir");
const QString kKnownKey = QStringLiteral("cache/knownDirs");

// Folders differing only in case, or reaching the same place through a link,
// are one folder: the chosen one must never be purged under another name.
bool samePlace(const QString &a, const QString &b)
{
    if (a.compare(b, Qt::CaseInsensitive) == 0)
        return true;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// Undoes what a failed prepareCacheDir left in a folder it created itself:
// only our own marker and the then empty folder, never anything recursive.
void removeCreatedFolder(const QString &dir)
{
    if (hasCacheMarker(dir))
        QFile::remove(dir + QLatin1Char('/') + QLatin1String(kMarkerName));
    QDir().rmdir(dir);
}

// prepareCacheDir that cleans up after itself when it created the folder.
bool prepareOrUndo(const QString &dir, QString *error, bool ownFolder = false)
{
    const bool existed = QFileInfo::exists(dir);
    if (prepareCacheDir(dir, error, ownFolder))
        return true;
    if (!existed)
        removeCreatedFolder(dir);
    return false;
}

} // namespace

CacheSetup setupCacheLocation(const CacheSetupInput &in, QSettings &settings)
{
    const QString defaultDir = cleanedPath(in.dataDir + QStringLiteral("/torrent-cache"));
    const QString persisted = settings.value(kDirKey).toString();
    const QStringList known = settings.value(kKnownKey).toStringList();

    for (const Volume &v : in.volumes) {
        if (v.ignored)
            continue;
        logLine(
            QStringLiteral("cache: volume %1%2")
                .arg(describe(v), isCandidateVolume(v) ? QString() : QStringLiteral(" (not a candidate)")));
    }
    const QString ignored = describeIgnored(in.volumes);
    if (!ignored.isEmpty())
        logLine(QStringLiteral("cache: ") + ignored);

    LocationInput li;
    li.defaultDir = defaultDir;
    li.persistedDir = persisted;
    li.installVolume = in.installVolume;
    // A relative --cache-dir would move with the working folder of whoever
    // reads it later (the engine, a later purge): pin it now.
    if (!in.cacheDirOption.isEmpty())
        li.cacheDirOption =
            cleanedPath(QFileInfo(QDir::fromNativeSeparators(in.cacheDirOption)).absoluteFilePath());
    li.volumes = in.volumes;

    CacheLocation loc = chooseCacheLocation(li, [](const QString &folder) {
        QString error;
        if (prepareOrUndo(folder, &error))
            return true;
        logLine(QStringLiteral("cache: %1 not usable: %2").arg(QDir::toNativeSeparators(folder), error));
        return false;
    });

    QString error;
    if (loc.isDefault) {
        if (!prepareCacheDir(loc.dir, &error, true))
            logLine(QStringLiteral("cache: default folder: %1").arg(error));
    } else if (loc.fromOption && !prepareOrUndo(loc.dir, &error)) {
        logLine(QStringLiteral("cache: --cache-dir %1 is not usable (%2); using the default folder")
                    .arg(QDir::toNativeSeparators(loc.dir), error));
        loc.dir = defaultDir;
        loc.volume = volumeOf(defaultDir, in.volumes);
        loc.reason = QStringLiteral("--cache-dir not usable");
        loc.isDefault = true;
        loc.fromOption = false;
        prepareCacheDir(defaultDir, nullptr, true);
    }

    // Empty the folders of earlier runs; keep track of the ones still there.
    QStringList walk = known;
    walk << defaultDir << persisted << loc.dir;
    QSet<QString> seen;
    QStringList collected;
    for (const QString &entry : std::as_const(walk)) {
        const QString dir = cleanedPath(entry);
        if (dir.isEmpty() || seen.contains(dir.toLower()))
            continue;
        seen.insert(dir.toLower());
        const bool isDefault = dir == defaultDir;
        if (!samePlace(dir, loc.dir)) {
            if (isDefault)
                purgeCacheDir(dir, true, false, {});
            else
                purgeCacheDir(dir, false, true, {});
        }
        if (!isDefault && QFileInfo(dir).isDir())
            collected << dir;
    }

    if (in.remember && !loc.fromOption) {
        settings.setValue(kDirKey, loc.isDefault ? QString() : loc.dir);
        if (!loc.isDefault && !collected.contains(loc.dir))
            collected << loc.dir;
        settings.setValue(kKnownKey, collected);
    } else if (!loc.isDefault && !known.contains(loc.dir)) {
        settings.setValue(kKnownKey, QStringList(known) << loc.dir);
    }
    settings.sync();

    const CacheBudget budget = cacheBudget(in.capBytes, freeBytes(loc.dir), 0, kReserveBytes);
    logLine(QStringLiteral("cache: dir %1 (volume %2): %3; %4%5")
                .arg(QDir::toNativeSeparators(loc.dir),
                     loc.volume.isEmpty() ? QStringLiteral("?") : loc.volume, loc.reason, describe(budget),
                     fakeActive() ? QStringLiteral(" [TEST: --fake-free-mb]") : QString()));
    return {loc.dir, loc.volume, loc.reason};
}

CacheSetup setupCacheLocation(const QString &dataDir, const QString &cacheDirOption, qint64 capBytes,
                              bool remember)
{
    CacheSetupInput in;
    in.dataDir = dataDir;
    in.cacheDirOption = cacheDirOption;
    in.capBytes = capBytes;
    in.remember = remember;
    in.volumes = listVolumes();
    in.installVolume = volumeOf(QCoreApplication::applicationDirPath(), in.volumes);
    QSettings settings;
    return setupCacheLocation(in, settings);
}

} // namespace svd::disk
