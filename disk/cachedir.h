#pragma once

#include <QString>
#include <QStringList>

namespace svd::disk {

// Every cache folder carries this file; only folders with it are ever purged
// or removed by anything but the engine's own start-up purge.
inline constexpr char kMarkerName[] = ".sorvanta-cache";
inline constexpr char kMarkerText[] =
    "Sorvanta Desktop streaming cache. Emptied whenever the app starts or a video stops.\n";
// Folder name used at the root of a non-default volume.
inline constexpr char kVolumeCacheName[] = "SorvantaCache";

// True when `folder` holds the marker as a regular file (not a link, not a folder).
bool hasCacheMarker(const QString &folder);

// Creates `folder` (with parents), writes the marker when missing and proves a
// 64 KiB write works. A folder that already exists, holds anything and has no
// marker is refused, so a mistyped path never turns a user's folder into a
// cache: pass `ownFolder` only for the application's own default folder.
bool prepareCacheDir(const QString &folder, QString *error = nullptr, bool ownFolder = false);

// Names of torrent sub-folders: 1 to 16 lower-case hexadecimal digits.
bool isSessionDirName(const QString &name);

// Deletes the torrent sub-folders of `folder` (except the names in `keep`;
// never links or junctions) and returns the bytes removed. Without
// `skipMarkerCheck` a folder lacking the marker is left untouched. With
// `removeIfUnused` the folder itself goes when only the marker is left.
qint64 purgeCacheDir(const QString &folder, bool skipMarkerCheck, bool removeIfUnused,
                     const QStringList &keep);

} // namespace svd::disk
