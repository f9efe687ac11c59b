#pragma once

#include "disk/volumes.h"

#include <QList>
#include <QString>

class QSettings;

namespace svd::disk {

struct CacheSetup {
    QString dir;
    QString volume;
    QString reason;
};

// Everything the start-up choice reads from the machine, so it can be replayed
// on a synthetic volume list.
struct CacheSetupInput {
    QString dataDir;
    QString cacheDirOption;
    qint64 capBytes = 0;  // only for the closing log line
    bool remember = true; // false: the stored choice ("cache/dir") stays as it is
    QList<Volume> volumes;
    QString installVolume;
};

// Chooses and prepares the cache folder, purges folders of earlier runs and
// updates the "cache/dir" and "cache/knownDirs" settings.
CacheSetup setupCacheLocation(const QString &dataDir, const QString &cacheDirOption, qint64 capBytes,
                              bool remember);
CacheSetup setupCacheLocation(const CacheSetupInput &input, QSettings &settings);

} // namespace svd::disk
