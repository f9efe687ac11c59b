#pragma once

#include "disk/volumes.h"

#include <QList>
#include <QString>

#include <functional>

namespace svd::disk {

// The default volume is only questioned below this much free space, a
// persisted folder stays when its volume has at least this much.
inline constexpr qint64 kComfortableFreeBytes = 6LL * 1073741824LL;

struct LocationInput {
    QString defaultDir;     // "<data>/torrent-cache", cleaned
    QString persistedDir;   // chosen on an earlier start; empty = none
    QString installVolume;  // root path of the volume holding the application
    QString cacheDirOption; // --cache-dir; empty = none
    QList<Volume> volumes;
};

struct CacheLocation {
    QString dir;    // "/" separators, cleaned
    QString volume; // root path of its volume; may be empty
    QString reason; // one line for the log
    bool isDefault = false;
    bool fromOption = false;
};

// Tests (and may create) a candidate folder.
using WritableTest = std::function<bool(const QString &)>;

// Decides where the streaming cache lives. Pure apart from `writable`.
CacheLocation chooseCacheLocation(const LocationInput &input, const WritableTest &writable);

} // namespace svd::disk
