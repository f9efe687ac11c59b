#include "disk/volumes.h"

#include "disk/cachebudget.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QSet>
#include <QStorageInfo>
#include <QStringList>

#include <atomic>

namespace svd::disk {

namespace {

std::atomic<qint64> g_fakeFree{-1};

bool startsWithAny(const QString &s, std::initializer_list<const char *> prefixes)
{
    for (const char *p : prefixes) {
        if (s.startsWith(QLatin1String(p)))
            return true;
    }
    return false;
}

bool isOneOf(const QString &s, std::initializer_list<const char *> names)
{
    for (const char *n : names) {
        if (s == QLatin1String(n))
            return true;
    }
    return false;
}

// Kernel, virtual and image file systems: nothing a user stores files on.
bool isLinuxPseudoFs(const QString &fs)
{
    return isOneOf(fs, {"proc",
                        "sysfs",
                        "devtmpfs",
                        "devpts",
                        "tmpfs",
                        "ramfs",
                        "cgroup",
                        "cgroup2",
                        "securityfs",
                        "pstore",
                        "bpf",
                        "debugfs",
                        "tracefs",
                        "configfs",
                        "fusectl",
                        "hugetlbfs",
                        "mqueue",
                        "binfmt_misc",
                        "autofs",
                        "squashfs",
                        "efivarfs",
                        "nsfs",
                        "rpc_pipefs",
                        "selinuxfs",
                        "overlay",
                        "aufs",
                        "nfsd",
                        "devfs",
                        "none",
                        "rootfs",
                        "fuse.lxcfs",
                        "fuse.snapfuse",
                        "fuse.portal",
                        "fuse.gvfsd-fuse",
                        "fuse.xdg-document-portal",
                        "fuse.squashfuse",
                        "erofs"});
}

// Mount points of the operating system itself (and, in containers, the files
// bind-mounted below /etc).
bool isLinuxSystemRoot(const QString &root)
{
    if (root.startsWith(QLatin1String("/run/media/")))
        return false;
    return startsWithAny(root, {"/proc/", "/sys/", "/dev/", "/run/", "/boot/", "/efi/", "/snap/", "/etc/",
                                "/var/lib/docker/", "/var/lib/containers/", "/var/snap/"});
}

bool isLinuxNetworkFs(const QString &fs)
{
    if (isOneOf(fs, {"nfs",   "nfs4", "cifs",     "smb3",   "smbfs",  "smb",       "afpfs",  "webdav",
                     "davfs", "ftp",  "ncpfs",    "9p",     "ceph",   "glusterfs", "lustre", "gpfs",
                     "afs",   "coda", "virtiofs", "vboxsf", "vmhgfs", "sshfs"}))
        return true;
    // fuseblk is a local block device (ntfs-3g, exfat); any other FUSE mount
    // may sit on a network and is treated as one.
    return fs == QLatin1String("fuse") || fs.startsWith(QLatin1String("fuse."));
}

} // namespace

void setFakeFreeBytes(qint64 bytes)
{
    g_fakeFree.store(bytes);
}

qint64 fakeFreeBytes()
{
    return g_fakeFree.load();
}

bool fakeActive()
{
    return g_fakeFree.load() >= 0;
}

qint64 freeBytes(const QString &path)
{
    const qint64 fake = fakeFreeBytes();
    if (fake >= 0)
        return fake;
    QString p = cleanedPath(path);
    if (p.isEmpty())
        return -1;
    for (int step = 0; step < 64 && !QFileInfo::exists(p); ++step) {
        const QString parent = QFileInfo(p).path();
        if (parent == p)
            break;
        p = parent;
    }
    const QStorageInfo info(p);
    if (!info.isValid() || !info.isReady())
        return -1;
    return info.bytesAvailable();
}

QString cleanedPath(const QString &path)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(path));
}

bool isCandidateVolume(const Volume &v)
{
    return v.ready && v.valid && !v.readOnly && v.usable && v.freeBytes >= 0;
}

QString normalizedRoot(const QString &path)
{
    QString p = cleanedPath(path);
    if (!p.endsWith(QLatin1Char('/')))
        p += QLatin1Char('/');
    return p;
}

Volume volumeFromStorage(const QStorageInfo &info)
{
    Volume v;
    v.rootPath = normalizedRoot(info.rootPath());
    v.name = info.displayName();
    v.fileSystem = QString::fromLatin1(info.fileSystemType());
    v.ready = info.isReady();
    v.valid = info.isValid();
    v.readOnly = info.isReadOnly();
    if (v.ready) {
        const qint64 fake = fakeFreeBytes();
        v.freeBytes = fake >= 0 ? fake : info.bytesAvailable();
        v.totalBytes = info.bytesTotal();
    }
    v.kind = QStringLiteral("unknown");
    return v;
}

QList<Volume> classifyMacVolumes(const QList<Volume> &raw, const QString &homeRoot)
{
    QList<Volume> out;
    for (Volume v : raw) {
        if (!homeRoot.isEmpty() && v.rootPath == homeRoot) {
            v.kind = QStringLiteral("internal");
            v.usable = !v.readOnly;
            v.ignored = false;
            out << v;
            continue;
        }
        if (v.rootPath == QLatin1String("/") || v.rootPath.startsWith(QLatin1String("/System/Volumes/")) ||
            v.fileSystem == QLatin1String("devfs") || v.fileSystem == QLatin1String("autofs"))
            continue;
        v.ignored = true;
        v.usable = false;
        static const QStringList network = {QStringLiteral("smbfs"), QStringLiteral("nfs"),
                                            QStringLiteral("afpfs"), QStringLiteral("webdav"),
                                            QStringLiteral("cifs"),  QStringLiteral("ftp")};
        if (v.readOnly)
            v.kind = QStringLiteral("read-only");
        else if (network.contains(v.fileSystem))
            v.kind = QStringLiteral("network");
        else
            v.kind = QStringLiteral("external");
        out << v;
    }
    return out;
}

QList<Volume> classifyLinuxVolumes(const QList<Volume> &raw, const QString &homeRoot)
{
    QList<Volume> out;
    QSet<QString> seen;
    // A later mount on the same point hides the earlier one; walk backwards so
    // the visible one wins, then restore the order.
    for (auto it = raw.crbegin(); it != raw.crend(); ++it) {
        Volume v = *it;
        if (seen.contains(v.rootPath))
            continue;
        seen.insert(v.rootPath);
        const QString fs = v.fileSystem.toLower();
        if (!homeRoot.isEmpty() && v.rootPath == homeRoot) {
            v.kind = QStringLiteral("internal");
            v.usable = !v.readOnly && v.ready && v.valid;
            v.ignored = false;
        } else if (isLinuxPseudoFs(fs) || isLinuxSystemRoot(v.rootPath)) {
            continue;
        } else if (v.readOnly) {
            v.kind = QStringLiteral("read-only");
            v.ignored = true;
            v.usable = false;
        } else if (isLinuxNetworkFs(fs)) {
            v.kind = QStringLiteral("network");
            v.ignored = true;
            v.usable = false;
        } else if (startsWithAny(v.rootPath, {"/media/", "/run/media/"})) {
            v.kind = QStringLiteral("removable");
            v.ignored = true;
            v.usable = false;
        } else {
            v.kind = QStringLiteral("fixed");
            v.usable = v.ready && v.valid;
            v.ignored = false;
        }
        out.prepend(v);
    }
    return out;
}

QList<Volume> listVolumes()
{
    QList<Volume> raw;
    const QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &info : mounted) {
#ifndef Q_OS_MACOS
        // Containers bind-mount single files (/etc/hosts); only folders hold a cache.
        if (!QFileInfo(info.rootPath()).isDir())
            continue;
#endif
        raw << volumeFromStorage(info);
    }
    const QStorageInfo home(QDir::homePath());
    QString homeRoot;
    if (home.isValid()) {
        homeRoot = normalizedRoot(home.rootPath());
        bool listed = false;
        for (const Volume &v : raw)
            listed = listed || v.rootPath == homeRoot;
        if (!listed)
            raw << volumeFromStorage(home);
    }
#ifdef Q_OS_MACOS
    return classifyMacVolumes(raw, homeRoot);
#else
    return classifyLinuxVolumes(raw, homeRoot);
#endif
}

QString volumeOf(const QString &path, const QList<Volume> &volumes)
{
    if (path.isEmpty())
        return {};
    QString p = normalizedRoot(path);
    bool hasData = false;
    for (const Volume &v : volumes)
        hasData = hasData || v.rootPath == QLatin1String("/System/Volumes/Data/");
    // Firmlinked locations (the home folder, /Applications) live on the data volume.
    if (hasData && p.startsWith(QLatin1Char('/')) && !p.startsWith(QLatin1String("/Volumes/")) &&
        !p.startsWith(QLatin1String("/System/")))
        p = QStringLiteral("/System/Volumes/Data") + p;
#ifdef Q_OS_WIN
    constexpr Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    constexpr Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    QString best;
    for (const Volume &v : volumes) {
        if (!v.rootPath.isEmpty() && p.startsWith(v.rootPath, cs) && v.rootPath.size() > best.size())
            best = v.rootPath;
    }
    return best;
}

QString describe(const Volume &v)
{
    return QStringLiteral("%1 \"%2\" %3, %4 free of %5%6%7")
        .arg(v.rootPath, v.name, v.kind.isEmpty() ? QStringLiteral("?") : v.kind, formatBytes(v.freeBytes),
             formatBytes(v.totalBytes), v.readOnly ? QStringLiteral(", read-only") : QString(),
             v.ready ? QString() : QStringLiteral(", not ready"));
}

QString describeIgnored(const QList<Volume> &volumes)
{
    QMap<QString, int> perLabel;
    QStringList paths;
    for (const Volume &v : volumes) {
        if (!v.ignored)
            continue;
        const QString label =
            v.kind == QLatin1String("read-only") ? QStringLiteral("read-only / disk image") : v.kind;
        perLabel[label] += 1;
        paths << QDir::cleanPath(v.rootPath);
    }
    if (paths.isEmpty())
        return {};
    QStringList counts;
    for (auto it = perLabel.cbegin(); it != perLabel.cend(); ++it)
        counts << QString::number(it.value()) + QLatin1Char(' ') + it.key();
    // One multi-argument call: mount points may themselves contain "%1".
    return QStringLiteral("ignored %1 volume%2 (%3; never a cache location): %4")
        .arg(QString::number(paths.size()), paths.size() == 1 ? QString() : QStringLiteral("s"),
             counts.join(QStringLiteral(", ")), paths.join(QStringLiteral(", ")));
}

} // namespace svd::disk
