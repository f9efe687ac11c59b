#include "disk/cachebudget.h"

#include <algorithm>
#include <limits>

namespace svd::disk {

qint64 mbToBytes(qint64 mb)
{
    if (mb < 0)
        return -1;
    if (mb > std::numeric_limits<qint64>::max() / kMiB)
        return std::numeric_limits<qint64>::max();
    return mb * kMiB;
}

CacheBudget cacheBudget(qint64 configuredCap, qint64 freeBytes, qint64 inUse, qint64 reserve)
{
    qint64 limit = configuredCap;
    if (configuredCap <= 0)
        limit = std::numeric_limits<qint64>::max();
    else if (configuredCap <= kCapFloorBytes)
        limit = kCapFloorBytes;

    CacheBudget b;
    b.freeBytes = freeBytes;
    if (freeBytes < 0) {
        b.freeUnknown = true;
        b.capBytes = limit;
        b.usableBytes = -1;
        return b;
    }
    const qint64 f = freeBytes + std::max<qint64>(inUse, 0) - reserve;
    // Judged before clamping: a negative figure is both tight and not workable.
    b.tight = f < kTightBytes;
    b.workable = f >= kMinimumBytes;
    b.usableBytes = std::max<qint64>(f, 0);
    b.capBytes = std::min(b.usableBytes, limit);
    return b;
}

QString describe(const CacheBudget &b)
{
    if (b.freeUnknown)
        return QStringLiteral("free space unknown, cap %1").arg(formatBytes(b.capBytes));
    QString text = QStringLiteral("free %1, cache may use %2 (reserve %3), effective cap %4")
                       .arg(formatBytes(b.freeBytes), formatBytes(b.usableBytes),
                            QStringLiteral("%1 GiB").arg(2.0, 0, 'f', 1), formatBytes(b.capBytes));
    if (b.tight && b.workable)
        text += QStringLiteral(" [tight: reduced read-ahead]");
    if (!b.workable)
        text += QStringLiteral(" [NOT ENOUGH: minimum %1]").arg(QStringLiteral("%1 MiB").arg(512));
    return text;
}

QString formatBytes(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("?");
    if (bytes < kGiB)
        return QStringLiteral("%1 MiB").arg(double(bytes) / double(kMiB), 0, 'f', 0);
    const double gib = double(bytes) / double(kGiB);
    if (bytes < 10 * kGiB)
        return QStringLiteral("%1 GiB").arg(gib, 0, 'f', 1);
    return QStringLiteral("%1 GiB").arg(gib, 0, 'f', 0);
}

} // namespace svd::disk
