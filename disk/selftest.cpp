#include "disk/selftest.h"

#include "disk/cachebudget.h"
#include "disk/cachedir.h"
#include "disk/cachelocation.h"
#include "disk/volumes.h"

#include <QList>
#include <QString>

#include <cstdio>

namespace svd::disk {

namespace {

class Checker {
public:
    void check(bool ok, const QString &name)
    {
        ++m_checks;
        if (!ok) {
            ++m_failures;
            std::printf("  FAIL %s\n", name.toUtf8().constData());
        }
    }
    int checks() const { return m_checks; }
    int failures() const { return m_failures; }

private:
    int m_checks = 0;
    int m_failures = 0;
};

qint64 gib(double n)
{
    return qint64(n * double(kGiB));
}

Volume testVolume(const char *root, const char *kind, bool readOnly, bool ready, double freeGiB)
{
    Volume v;
    v.rootPath = QLatin1String(root);
    v.name = v.rootPath.left(1);
    v.fileSystem = QStringLiteral("NTFS");
    v.freeBytes = gib(freeGiB);
    v.totalBytes = gib(1000);
    v.ready = ready;
    v.valid = true;
    v.readOnly = readOnly;
    v.kind = QLatin1String(kind);
    v.usable = v.kind == QLatin1String("fixed");
    return v;
}

Volume fixedVolume(const char *root, double freeGiB)
{
    return testVolume(root, "fixed", false, true, freeGiB);
}

Volume mountedVolume(const char *root, const char *name, const char *fs, bool readOnly, double freeGiB)
{
    Volume v;
    v.rootPath = QLatin1String(root);
    v.name = QString::fromUtf8(name);
    v.fileSystem = QLatin1String(fs);
    v.ready = true;
    v.valid = true;
    v.readOnly = readOnly;
    v.freeBytes = gib(freeGiB);
    v.totalBytes = gib(freeGiB < 500 ? 500 : 4000);
    v.kind = QStringLiteral("unknown");
    return v;
}

const QString kWinDefault =
    QStringLiteral("C:/Users/Test/AppData/Local/Sorvanta/SorvantaDesktop/torrent-cache");
const QString kMacHome = QStringLiteral("/Users/test");
const QString kMacDefault =
    kMacHome + QStringLiteral("/Library/Application Support/Sorvanta/SorvantaDesktop/torrent-cache");

bool alwaysWritable(const QString &)
{
    return true;
}
bool neverWritable(const QString &)
{
    return false;
}
bool allButF(const QString &path)
{
    return !path.startsWith(QLatin1String("F:"));
}

CacheLocation choose(const QList<Volume> &volumes, const WritableTest &writable = alwaysWritable,
                     const QString &persisted = {}, const QString &install = {}, const QString &option = {},
                     const QString &defaultDir = kWinDefault)
{
    LocationInput in;
    in.defaultDir = defaultDir;
    in.persistedDir = persisted;
    in.installVolume = install;
    in.cacheDirOption = option;
    in.volumes = volumes;
    return chooseCacheLocation(in, writable);
}

void budgetChecks(Checker &c)
{
    const qint64 cap = 4 * kGiB;
    {
        const CacheBudget b = cacheBudget(cap, gib(100), 0, kReserveBytes);
        c.check(b.capBytes == cap && b.workable && !b.tight,
                QStringLiteral("plenty of space -> configured cap"));
    }
    {
        const CacheBudget b = cacheBudget(cap, gib(3.2), 0, kReserveBytes);
        c.check(b.usableBytes == gib(3.2) - kReserveBytes && b.capBytes == b.usableBytes && !b.tight &&
                    b.workable && formatBytes(b.capBytes) == QLatin1String("1.2 GiB"),
                QStringLiteral("3.2 GiB free -> 1.2 GiB cap"));
    }
    {
        const CacheBudget b = cacheBudget(cap, gib(2.9), 0, kReserveBytes);
        c.check(b.tight && b.workable && describe(b).endsWith(QLatin1String(" [tight: reduced read-ahead]")),
                QStringLiteral("2.9 GiB free -> tight"));
    }
    {
        const CacheBudget b = cacheBudget(cap, gib(2.3), 0, kReserveBytes);
        const QString d = describe(b);
        c.check(!b.workable && d.endsWith(QLatin1String(" [NOT ENOUGH: minimum 512 MiB]")) &&
                    !d.contains(QLatin1String("tight")),
                QStringLiteral("2.3 GiB free -> not workable"));
    }
    {
        const CacheBudget b = cacheBudget(cap, gib(2.3), kGiB, kReserveBytes);
        c.check(b.usableBytes == gib(2.3) + kGiB - kReserveBytes && b.workable,
                QStringLiteral("in-use bytes count as available to the cache"));
    }
    {
        const qint64 inUse = 3 * kGiB;
        const CacheBudget b = cacheBudget(cap, gib(0.5), inUse, kReserveBytes);
        c.check(b.capBytes == gib(0.5) + inUse - kReserveBytes && b.capBytes < inUse,
                QStringLiteral("shrinking cap below in-use (recycle)"));
    }
    {
        const CacheBudget b = cacheBudget(500 * kMiB, gib(100), 0, kReserveBytes);
        c.check(b.capBytes == kGiB, QStringLiteral("configured cap below the 1 GiB floor"));
    }
    {
        const CacheBudget b = cacheBudget(cap, -1, 0, kReserveBytes);
        c.check(b.freeUnknown && b.capBytes == cap && b.usableBytes == -1 && b.workable && !b.tight,
                QStringLiteral("unknown free space -> configured cap"));
    }
    {
        const CacheBudget b = cacheBudget(0, gib(50), 0, kReserveBytes);
        c.check(b.capBytes == gib(50) - kReserveBytes, QStringLiteral("no configured cap -> free - reserve"));
    }
    {
        const CacheBudget b = cacheBudget(cap, kGiB, 0, kReserveBytes);
        c.check(b.usableBytes == 0 && b.capBytes == 0 && !b.workable,
                QStringLiteral("free below the reserve -> 0"));
    }
}

void locationChecks(Checker &c)
{
    const Volume c32 = fixedVolume("C:/", 3.2);
    const Volume f554 = fixedVolume("F:/", 554);
    {
        const CacheLocation r = choose({c32, f554});
        c.check(
            r.dir == QLatin1String("F:/SorvantaCache") && r.volume == QLatin1String("F:/") && !r.isDefault,
            QStringLiteral("weak PC: C 3.2 GiB, F 554 GiB -> F:/SorvantaCache (") + r.dir + QLatin1Char(')'));
    }
    c.check(choose({c32, testVolume("F:/", "usb", false, true, 554)}).isDefault,
            QStringLiteral("USB disk is not a candidate"));
    c.check(choose({c32, testVolume("F:/", "removable", false, true, 554)}).isDefault,
            QStringLiteral("removable is not a candidate"));
    c.check(choose({c32, testVolume("F:/", "fixed", true, true, 554)}).isDefault,
            QStringLiteral("read-only is not a candidate"));
    c.check(choose({c32, testVolume("F:/", "fixed", false, false, 554)}).isDefault,
            QStringLiteral("not-ready is not a candidate"));
    c.check(choose({c32, testVolume("F:/", "network", false, true, 554),
                    testVolume("G:/", "cdrom", false, true, 554)})
                .isDefault,
            QStringLiteral("network / optical are not candidates"));
    const Volume d10 = fixedVolume("D:/", 10);
    c.check(choose({c32, d10, f554}).dir == QLatin1String("F:/SorvantaCache"),
            QStringLiteral("most free space wins"));
    c.check(choose({c32, d10, f554}, alwaysWritable, {}, QStringLiteral("D:/")).dir ==
                QLatin1String("D:/SorvantaCache"),
            QStringLiteral("install volume preferred when it qualifies"));
    c.check(choose({c32, fixedVolume("D:/", 7), f554}, alwaysWritable, {}, QStringLiteral("D:/")).dir ==
                QLatin1String("F:/SorvantaCache"),
            QStringLiteral("install volume without substantially more space is skipped"));
    c.check(choose({fixedVolume("C:/", 50), f554}).isDefault,
            QStringLiteral("default volume with enough space stays"));
    c.check(choose({c32, fixedVolume("D:/", 7)}).isDefault,
            QStringLiteral("7 GiB is not substantially more than 3.2 GiB"));

    const Volume c20 = fixedVolume("C:/", 20);
    const QString persisted = QStringLiteral("F:/SorvantaCache");
    {
        const CacheLocation r = choose({c20, f554}, alwaysWritable, persisted);
        c.check(r.dir == persisted && !r.isDefault,
                QStringLiteral("persisted choice kept (no flip-flop) ") + r.reason);
    }
    {
        const CacheLocation r = choose({c20, f554}, alwaysWritable, QStringLiteral("E:/SorvantaCache"));
        c.check(r.isDefault && r.dir == kWinDefault && r.reason.contains(QLatin1String("dropped")),
                QStringLiteral("persisted volume gone -> default ") + r.reason);
    }
    c.check(choose({c20, f554, fixedVolume("G:/", 900)}, alwaysWritable, persisted).dir == persisted,
            QStringLiteral("persisted kept even if another has more"));
    c.check(choose({c32, f554, fixedVolume("G:/", 100)}, allButF).dir == QLatin1String("G:/SorvantaCache"),
            QStringLiteral("unwritable candidate skipped"));
    {
        const CacheLocation r = choose({c32, f554, fixedVolume("G:/", 100)}, neverWritable);
        c.check(r.isDefault && r.reason.contains(QLatin1String("F:/SorvantaCache not writable")),
                QStringLiteral("nothing writable -> default"));
    }
    {
        const CacheLocation r =
            choose({c32, f554}, alwaysWritable, persisted, QStringLiteral("F:/"), QStringLiteral("X:/cache"));
        c.check(r.dir == QLatin1String("X:/cache") && r.fromOption && !r.isDefault,
                QStringLiteral("--cache-dir overrides everything"));
    }
#ifdef Q_OS_WIN
    c.check(volumeOf(QStringLiteral("c:/users/test/x"), {c32, f554}) == QLatin1String("C:/"),
            QStringLiteral("volume match is case-insensitive on Windows"));
#else
    c.check(true, QStringLiteral("volume match is case-insensitive on Windows"));
#endif
    c.check(isSessionDirName(QStringLiteral("a3f09c11d2")) &&
                !isSessionDirName(QStringLiteral("Documents")) &&
                !isSessionDirName(QLatin1String(kMarkerName)),
            QStringLiteral("session dir names"));
    c.check(describeIgnored({c32, d10, f554, testVolume("U:/", "usb", false, true, 30),
                             testVolume("N:/", "network", false, true, 900)})
                .isEmpty(),
            QStringLiteral("Windows: nothing is ignored"));
}

QList<Volume> macMountTable(double dataFreeGiB)
{
    const QList<Volume> raw = {
        mountedVolume("/", "Macintosh HD", "apfs", true, dataFreeGiB),
        mountedVolume("/System/Volumes/VM/", "VM", "apfs", false, dataFreeGiB),
        mountedVolume("/System/Volumes/Data/", "Macintosh HD - Data", "apfs", false, dataFreeGiB),
        mountedVolume("/Volumes/Sorvanta/", "Sorvanta", "hfs", true, 0),
        mountedVolume("/Volumes/Installer/", "Installer", "hfs", true, 0),
        mountedVolume("/Volumes/Fonts/", "Fonts", "hfs", true, 0),
        mountedVolume("/Volumes/Ext/", "Ext", "exfat", false, 900),
        mountedVolume("/Volumes/NAS/", "NAS", "smbfs", false, 2000),
    };
    return classifyMacVolumes(raw, QStringLiteral("/System/Volumes/Data/"));
}

void macChecks(Checker &c)
{
    const QList<Volume> vols = macMountTable(31);
    const QString data = QStringLiteral("/System/Volumes/Data/");
    bool dataOk = false;
    bool systemListed = false;
    int ignored = 0;
    int usable = 0;
    for (const Volume &v : vols) {
        if (v.rootPath == data)
            dataOk = v.kind == QLatin1String("internal") && v.usable && !v.ignored;
        if (v.rootPath == QLatin1String("/") || v.rootPath == QLatin1String("/System/Volumes/VM/"))
            systemListed = true;
        ignored += v.ignored ? 1 : 0;
        usable += v.usable ? 1 : 0;
    }
    c.check(dataOk, QStringLiteral("macOS: data volume is internal + usable"));
    c.check(!systemListed, QStringLiteral("macOS: sealed / and VM dropped"));
    c.check(ignored == 5 && usable == 1, QStringLiteral("macOS: 5 ignored, 1 usable (%1, %2)")
                                             .arg(QString::number(ignored), QString::number(usable)));
    const QString summary = describeIgnored(vols);
    c.check(summary.contains(QLatin1String("ignored 5 volumes")) &&
                summary.contains(QLatin1String("3 read-only / disk image")) &&
                summary.contains(QLatin1String("1 external")) && summary.contains(QLatin1String("1 network")),
            QStringLiteral("macOS: one summary line: ") + summary);
    const QString home = volumeOf(kMacHome + QStringLiteral("/Library/Application Support/Sorvanta"), vols);
    c.check(home == data, QStringLiteral("macOS: home path -> data volume (firmlink) ") + home);
    c.check(volumeOf(QStringLiteral("/Applications/Sorvanta.app/Contents/MacOS"), vols) == data,
            QStringLiteral("macOS: /Applications -> data volume"));
    c.check(volumeOf(QStringLiteral("/Volumes/Sorvanta/Sorvanta.app/Contents/MacOS"), vols) ==
                QLatin1String("/Volumes/Sorvanta/"),
            QStringLiteral("macOS: /Volumes/<dmg> is its own volume"));
    const QString install = QStringLiteral("/Volumes/Sorvanta/");
    {
        const CacheLocation r = choose(vols, alwaysWritable, {}, install, {}, kMacDefault);
        c.check(r.isDefault && r.dir == kMacDefault && r.volume == data,
                QStringLiteral("macOS: default on the data volume ") + r.reason);
    }
    {
        const CacheLocation r = choose(macMountTable(3), alwaysWritable, {}, install, {}, kMacDefault);
        c.check(
            r.isDefault && !r.dir.startsWith(QLatin1String("/Volumes/")),
            QStringLiteral("macOS: data volume short of space, writable /Volumes/Ext is never proposed ") +
                r.reason);
    }
}

} // namespace

int runDiskSelfTest()
{
    std::printf("disk self-test\n");
    Checker c;
    budgetChecks(c);
    locationChecks(c);
    macChecks(c);
    std::printf("disk self-test: %d checks, %d failures -> %s\n", c.checks(), c.failures(),
                c.failures() == 0 ? "PASS" : "FAIL");
    std::fflush(stdout);
    return c.failures() == 0 ? 0 : 1;
}

} // namespace svd::disk
