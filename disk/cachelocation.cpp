#include "disk/cachelocation.h"

#include "disk/cachebudget.h"
#include "disk/cachedir.h"

#include <QDir>
#include <QStringList>

#include <algorithm>

namespace svd::disk {

namespace {

const Volume *findVolume(const QList<Volume> &volumes, const QString &root)
{
    if (root.isEmpty())
        return nullptr;
    for (const Volume &v : volumes) {
        if (v.rootPath == root)
            return &v;
    }
    return nullptr;
}

} // namespace

CacheLocation chooseCacheLocation(const LocationInput &in, const WritableTest &writable)
{
    CacheLocation loc;
    if (!in.cacheDirOption.isEmpty()) {
        loc.dir = cleanedPath(in.cacheDirOption);
        loc.volume = volumeOf(loc.dir, in.volumes);
        loc.reason = QStringLiteral("--cache-dir");
        loc.fromOption = true;
        return loc;
    }

    const QString defaultDir = cleanedPath(in.defaultDir);
    const QString defaultVolume = volumeOf(defaultDir, in.volumes);
    const Volume *defaultVol = findVolume(in.volumes, defaultVolume);
    const qint64 defaultFree = defaultVol ? defaultVol->freeBytes : -1;

    QString prefix;
    const QString persisted = cleanedPath(in.persistedDir);
    if (!persisted.isEmpty() && persisted != defaultDir) {
        const QString root = volumeOf(persisted, in.volumes);
        const Volume *v = findVolume(in.volumes, root);
        QString why;
        if (!v) {
            why = QStringLiteral("its volume is not mounted");
        } else if (!isCandidateVolume(*v)) {
            why = QStringLiteral("its volume is not usable (%1)").arg(describe(*v));
        } else if (root == defaultVolume) {
            why = QStringLiteral("it is on the default volume");
        } else if (v->freeBytes >= kComfortableFreeBytes || v->freeBytes > defaultFree) {
            if (writable(persisted)) {
                loc.dir = persisted;
                loc.volume = root;
                loc.reason = QStringLiteral("kept from an earlier start (%1 free there, default volume %2)")
                                 .arg(formatBytes(v->freeBytes), formatBytes(defaultFree));
                return loc;
            }
            why = QStringLiteral("not writable");
        } else {
            why = QStringLiteral("only %1 free there").arg(formatBytes(v->freeBytes));
        }
        prefix = QStringLiteral("earlier choice %1 dropped: %2; ").arg(persisted, why);
    }

    loc.dir = defaultDir;
    loc.volume = defaultVolume;
    loc.isDefault = true;
    if (defaultFree < 0) {
        loc.reason = prefix + QStringLiteral("default volume free space unknown");
        return loc;
    }
    if (defaultFree >= kComfortableFreeBytes) {
        loc.reason = prefix + QStringLiteral("default volume has %1 free").arg(formatBytes(defaultFree));
        return loc;
    }

    const qint64 needed = std::max(kComfortableFreeBytes, 2 * defaultFree + kGiB);
    QList<const Volume *> candidates;
    for (const Volume &v : in.volumes) {
        if (isCandidateVolume(v) && v.rootPath != defaultVolume && v.freeBytes >= needed)
            candidates << &v;
    }
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Volume *a, const Volume *b) {
        const bool ai = !in.installVolume.isEmpty() && a->rootPath == in.installVolume;
        const bool bi = !in.installVolume.isEmpty() && b->rootPath == in.installVolume;
        if (ai != bi)
            return ai;
        return a->freeBytes > b->freeBytes;
    });

    QStringList notWritable;
    for (const Volume *v : candidates) {
        const QString folder = normalizedRoot(v->rootPath) + QLatin1String(kVolumeCacheName);
        if (!writable(folder)) {
            notWritable << QStringLiteral("%1 not writable").arg(folder);
            continue;
        }
        const bool isInstall = v->rootPath == in.installVolume;
        loc.dir = folder;
        loc.volume = v->rootPath;
        loc.isDefault = false;
        loc.reason =
            prefix + QStringLiteral("default volume %1 has only %2 free; %3 has %4%5")
                         .arg(defaultVolume, formatBytes(defaultFree), v->rootPath, formatBytes(v->freeBytes),
                              isInstall ? QStringLiteral(" (install volume)") : QString());
        return loc;
    }
    loc.reason = prefix + QStringLiteral("default volume has only %1 free, no other local fixed volume with "
                                         "substantially more%2")
                              .arg(formatBytes(defaultFree),
                                   notWritable.isEmpty()
                                       ? QString()
                                       : QStringLiteral(" (%1)").arg(notWritable.join(QStringLiteral(", "))));
    return loc;
}

} // namespace svd::disk
