#pragma once

#include "disk/cachebudget.h"

#include <QList>
#include <QString>
#include <QVariantMap>

namespace svd {

inline constexpr qint64 kRecycleWindowMs = 180000;
inline constexpr int kRecyclesFailAt = 4;   // the 4th recycle within the window fails
inline constexpr int kLowDiskNeedMB = 2560; // reserve + minimum, reported to the page
inline constexpr qint64 kStorageLowDiskFree = 2147483647;

// The budget of `cacheDir` while the torrent holds `heldBytes`. A fake free
// figure means "free with an empty cache", so what we hold is taken off it.
disk::CacheBudget playbackBudget(qint64 capBytes, const QString &cacheDir, qint64 heldBytes);

// Small moves of the cap are not worth a log line every 5 s.
bool budgetChangeWorthLogging(qint64 oldCap, qint64 newCap);

// Records a recycle at `nowMs` and forgets those older than the window. Returns
// how many recycles the window holds now, this one included.
int noteRecycle(QList<qint64> *times, qint64 nowMs);

// A failed cache write on a nearly full disk is low disk space, not a fault.
bool storageErrorIsLowDisk(bool diskFull, const disk::CacheBudget &budget);

// The extra map of a "low-disk-space" failure.
QVariantMap lowDiskInfo(const disk::CacheBudget &budget, const QString &cacheDir);

} // namespace svd
