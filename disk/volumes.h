#pragma once

#include <QList>
#include <QString>

class QStorageInfo;

namespace svd::disk {

// One mounted volume as the cache location rules see it.
struct Volume {
    QString rootPath; // "/" separators, cleaned, always ending in "/"
    QString name;
    QString fileSystem;
    qint64 freeBytes = -1; // available to the user; -1 when not ready
    qint64 totalBytes = -1;
    bool ready = false;
    bool valid = false;
    bool readOnly = false;
    bool usable = false;  // may hold the cache
    QString kind;         // "internal", "fixed", "external", "removable", "network", "read-only", "unknown"
    bool ignored = false; // listed, but never a cache location
};

// Test override: every free-space query reports this value (bytes) while it is
// >= 0. Process-wide and atomic.
void setFakeFreeBytes(qint64 bytes);
qint64 fakeFreeBytes();
bool fakeActive();

// Free bytes for `path`, which need not exist yet (its nearest existing parent
// answers); -1 when unknown.
qint64 freeBytes(const QString &path);

// The mounted volumes of this machine, classified by the platform's rules.
QList<Volume> listVolumes();

// Root path of the volume in `volumes` holding `path`; empty when none does.
QString volumeOf(const QString &path, const QList<Volume> &volumes);

QString describe(const Volume &volume);
// One summary line for the ignored volumes; empty when none is ignored.
QString describeIgnored(const QList<Volume> &volumes);

// A volume record from Qt's storage information, unclassified.
Volume volumeFromStorage(const QStorageInfo &info);

// "/" separators, cleaned, with a trailing "/".
QString normalizedRoot(const QString &path);
// "/" separators, cleaned.
QString cleanedPath(const QString &path);

// Ready, valid, writable, usable and with known free space.
bool isCandidateVolume(const Volume &volume);

// The classifications below keep the list order. `homeRoot` is the root path
// of the volume holding the user's home folder.
//
// macOS: the home (data) volume is the only candidate; the sealed system volume
// and the other system volumes are dropped; everything else is ignored.
QList<Volume> classifyMacVolumes(const QList<Volume> &raw, const QString &homeRoot);
// Linux: the home volume is internal; pseudo and system file systems are
// dropped; removable media, network file systems and read-only mounts are
// ignored; other local disks are usable.
QList<Volume> classifyLinuxVolumes(const QList<Volume> &raw, const QString &homeRoot);

} // namespace svd::disk
