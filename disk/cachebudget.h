#pragma once

#include <QString>

namespace svd::disk {

inline constexpr qint64 kMiB = 1048576;
inline constexpr qint64 kGiB = 1073741824;

// Always left free on the cache volume; every caller passes this as `reserve`.
inline constexpr qint64 kReserveBytes = 2 * kGiB;
// Smallest configured cap honoured; smaller positive caps are raised to it.
inline constexpr qint64 kCapFloorBytes = kGiB;
// Below this many usable bytes read-ahead has to shrink.
inline constexpr qint64 kTightBytes = kGiB;
// Fewest usable bytes with which streaming is still workable.
inline constexpr qint64 kMinimumBytes = 512 * kMiB;

// "MB" option values to bytes, saturating instead of overflowing; negative
// values stay negative (-1).
qint64 mbToBytes(qint64 mb);

// How many bytes the torrent cache may occupy right now.
struct CacheBudget {
    qint64 capBytes = 0;
    qint64 usableBytes = -1;
    qint64 freeBytes = -1;
    bool tight = false;
    bool workable = true;
    bool freeUnknown = false;
};

// `configuredCap` <= 0 means no cap; `freeBytes` < 0 means unknown. Bytes the
// cache already holds (`inUse`) count as available to it.
CacheBudget cacheBudget(qint64 configuredCap, qint64 freeBytes, qint64 inUse, qint64 reserve);

QString describe(const CacheBudget &budget);

// "?" for negative values, MiB below 1 GiB, GiB with one decimal below 10 GiB,
// whole GiB above.
QString formatBytes(qint64 bytes);

} // namespace svd::disk
