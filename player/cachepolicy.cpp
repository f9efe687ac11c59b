#include "player/cachepolicy.h"

#include "disk/volumes.h"

#include <QDir>

namespace svd {

disk::CacheBudget playbackBudget(qint64 capBytes, const QString &cacheDir, qint64 heldBytes)
{
    qint64 free = disk::freeBytes(cacheDir);
    if (disk::fakeActive() && free >= 0)
        free = qMax<qint64>(free - qMax<qint64>(heldBytes, 0), 0);
    return disk::cacheBudget(capBytes, free, heldBytes, disk::kReserveBytes);
}

bool budgetChangeWorthLogging(qint64 oldCap, qint64 newCap)
{
    return newCap < oldCap - 64 * disk::kMiB || newCap > oldCap + 256 * disk::kMiB;
}

int noteRecycle(QList<qint64> *times, qint64 nowMs)
{
    times->append(nowMs);
    while (!times->isEmpty() && nowMs - times->first() > kRecycleWindowMs)
        times->removeFirst();
    return int(times->size());
}

bool storageErrorIsLowDisk(bool diskFull, const disk::CacheBudget &budget)
{
    return diskFull || (!budget.freeUnknown && budget.freeBytes <= kStorageLowDiskFree);
}

QVariantMap lowDiskInfo(const disk::CacheBudget &budget, const QString &cacheDir)
{
    return {
        {QStringLiteral("freeBytes"), budget.freeBytes},
        {QStringLiteral("freeMB"), budget.freeBytes < 0 ? qint64(-1) : budget.freeBytes / disk::kMiB},
        {QStringLiteral("needMB"), kLowDiskNeedMB},
        {QStringLiteral("cacheDir"), QDir::toNativeSeparators(cacheDir)},
    };
}

} // namespace svd
