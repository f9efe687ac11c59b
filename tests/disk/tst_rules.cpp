// Budget, byte formatting, volume classification and the location choice on
// synthetic volume lists.
#include "disk/cachebudget.h"
#include "disk/cachelocation.h"
#include "disk/selftest.h"
#include "disk/volumes.h"
#include "testsupport.h"

#include <QDir>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <limits>
#include <unistd.h>

using namespace svd::disk;

namespace {

qint64 gib(double n)
{
    return qint64(n * double(kGiB));
}

Volume mount(const char *root, const char *fs, bool readOnly = false, double freeGiB = 100)
{
    Volume v;
    v.rootPath = QLatin1String(root);
    v.name = QLatin1String(root);
    v.fileSystem = QLatin1String(fs);
    v.freeBytes = gib(freeGiB);
    v.totalBytes = gib(1000);
    v.ready = true;
    v.valid = true;
    v.readOnly = readOnly;
    v.kind = QStringLiteral("unknown");
    return v;
}

const Volume *find(const QList<Volume> &vols, const char *root)
{
    for (const Volume &v : vols) {
        if (v.rootPath == QLatin1String(root))
            return &v;
    }
    return nullptr;
}

// A typical desktop: / and a separate /home, a data disk, a USB stick, a
// network share and the kernel's own mounts.
QList<Volume> linuxDesktop(double homeFree, double dataFree)
{
    const QList<Volume> raw = {
        mount("/", "ext4", false, 40),
        mount("/proc/", "proc"),
        mount("/sys/", "sysfs"),
        mount("/sys/fs/cgroup/", "cgroup2"),
        mount("/dev/", "devtmpfs"),
        mount("/dev/shm/", "tmpfs"),
        mount("/run/", "tmpfs"),
        mount("/tmp/", "tmpfs"),
        mount("/boot/efi/", "vfat"),
        mount("/snap/core22/1122/", "squashfs", true),
        mount("/home/", "ext4", false, homeFree),
        mount("/mnt/data/", "ext4", false, dataFree),
        mount("/mnt/win/", "fuseblk", false, 300),
        mount("/media/ann/USB/", "vfat", false, 900),
        mount("/run/media/ann/Photos/", "exfat", false, 900),
        mount("/mnt/nas/", "nfs4", false, 2000),
        mount("/mnt/share/", "cifs", false, 2000),
        mount("/home/ann/remote/", "fuse.sshfs", false, 2000),
        mount("/mnt/iso/", "iso9660", true, 0),
        mount("/run/user/1000/doc/", "fuse.portal"),
    };
    return classifyLinuxVolumes(raw, QStringLiteral("/home/"));
}

} // namespace

class RulesTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { setFakeFreeBytes(-1); }

    void budgetThresholds_data()
    {
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<qint64>("free");
        QTest::addColumn<qint64>("inUse");
        QTest::addColumn<qint64>("expectCap");
        QTest::addColumn<bool>("tight");
        QTest::addColumn<bool>("workable");
        const qint64 four = 4 * kGiB;
        const qint64 R = kReserveBytes;
        QTest::newRow("exactly reserve + minimum")
            << four << R + 512 * kMiB << 0LL << 512 * kMiB << true << true;
        QTest::newRow("one byte short of minimum")
            << four << R + 512 * kMiB - 1 << 0LL << 512 * kMiB - 1 << true << false;
        QTest::newRow("exactly reserve + tight limit") << four << R + kGiB << 0LL << kGiB << false << true;
        QTest::newRow("one byte short of tight limit")
            << four << R + kGiB - 1 << 0LL << kGiB - 1 << true << true;
        QTest::newRow("free below reserve") << four << kGiB << 0LL << 0LL << true << false;
        QTest::newRow("in use rescues a full disk")
            << four << gib(2.3) << kGiB << gib(2.3) + kGiB - R << false << true;
        QTest::newRow("negative in-use ignored")
            << four << gib(3.2) << -kGiB << gib(3.2) - R << false << true;
        QTest::newRow("cap 1 byte raised to floor") << 1LL << gib(100) << 0LL << kGiB << false << true;
        QTest::newRow("cap exactly floor") << kGiB << gib(100) << 0LL << kGiB << false << true;
        QTest::newRow("cap just above floor kept")
            << kGiB + 1 << gib(100) << 0LL << kGiB + 1 << false << true;
        QTest::newRow("negative cap = no cap") << -5LL << gib(50) << 0LL << gib(50) - R << false << true;
        QTest::newRow("no cap, unknown free")
            << 0LL << -1LL << 0LL << std::numeric_limits<qint64>::max() << false << true;
    }
    void budgetThresholds()
    {
        QFETCH(qint64, cap);
        QFETCH(qint64, free);
        QFETCH(qint64, inUse);
        QFETCH(qint64, expectCap);
        QFETCH(bool, tight);
        QFETCH(bool, workable);
        const CacheBudget b = cacheBudget(cap, free, inUse, kReserveBytes);
        QCOMPARE(b.capBytes, expectCap);
        QCOMPARE(b.tight, tight);
        QCOMPARE(b.workable, workable);
        QCOMPARE(b.freeBytes, free);
        QCOMPARE(b.freeUnknown, free < 0);
        QVERIFY(b.usableBytes >= (free < 0 ? -1 : 0));
    }

    void budgetDescriptions()
    {
        QCOMPARE(
            describe(cacheBudget(4 * kGiB, gib(3.2), 0, kReserveBytes)),
            QStringLiteral("free 3.2 GiB, cache may use 1.2 GiB (reserve 2.0 GiB), effective cap 1.2 GiB"));
        QCOMPARE(
            describe(cacheBudget(4 * kGiB, gib(2.9), 0, kReserveBytes)),
            QStringLiteral("free 2.9 GiB, cache may use 922 MiB (reserve 2.0 GiB), effective cap 922 MiB "
                           "[tight: reduced read-ahead]"));
        QCOMPARE(describe(cacheBudget(4 * kGiB, gib(1.5), 0, kReserveBytes)),
                 QStringLiteral("free 1.5 GiB, cache may use 0 MiB (reserve 2.0 GiB), effective cap 0 MiB "
                                "[NOT ENOUGH: minimum 512 MiB]"));
        QCOMPARE(describe(cacheBudget(500 * kMiB, -1, 0, kReserveBytes)),
                 QStringLiteral("free space unknown, cap 1.0 GiB"));
    }

    void formatting_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative") << -1LL << QStringLiteral("?");
        QTest::newRow("zero") << 0LL << QStringLiteral("0 MiB");
        QTest::newRow("just below 1 GiB rounds up") << kGiB - 1 << QStringLiteral("1024 MiB");
        QTest::newRow("1 GiB") << kGiB << QStringLiteral("1.0 GiB");
        QTest::newRow("3.2 - reserve") << gib(3.2) - kReserveBytes << QStringLiteral("1.2 GiB");
        QTest::newRow("just below 10 GiB") << 10 * kGiB - 1 << QStringLiteral("10.0 GiB");
        QTest::newRow("10 GiB") << 10 * kGiB << QStringLiteral("10 GiB");
        QTest::newRow("554 GiB") << gib(554) << QStringLiteral("554 GiB");
        QTest::newRow("554.6 GiB rounds") << gib(554.6) << QStringLiteral("555 GiB");
    }
    void formatting()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatBytes(bytes), text);
    }

    void megabyteOptionsSaturate()
    {
        QCOMPARE(mbToBytes(3000), 3145728000LL);
        QCOMPARE(mbToBytes(-4), -1LL);
        QCOMPARE(mbToBytes(std::numeric_limits<qint64>::max() / 1000), std::numeric_limits<qint64>::max());
    }

    void fakeFreeSpaceAnswersEverything()
    {
        setFakeFreeBytes(mbToBytes(3000));
        QVERIFY(fakeActive());
        QCOMPARE(freeBytes(QDir::homePath()), 3145728000LL);
        QCOMPARE(freeBytes(QStringLiteral("/no/such/place/at/all")), 3145728000LL);
        const QList<Volume> vols = listVolumes();
        QVERIFY(!vols.isEmpty());
        for (const Volume &v : vols) {
            if (v.ready)
                QCOMPARE(v.freeBytes, 3145728000LL);
        }
        setFakeFreeBytes(-1);
        QVERIFY(!fakeActive());
    }

    void freeBytesOfMissingFolderAsksItsParent()
    {
        const QString deep = QDir::homePath() + QStringLiteral("/.svd-not-there/a/b/c/d/torrent-cache");
        QVERIFY(!QFileInfo::exists(deep));
        const qint64 home = QStorageInfo(QDir::homePath()).bytesAvailable();
        const qint64 answer = freeBytes(deep);
        QVERIFY(answer > 0);
        QVERIFY(qAbs(answer - home) < 256 * kMiB); // other processes write meanwhile
        QCOMPARE(freeBytes(QString()), -1LL);
    }

    void realVolumesKeepTheHomeVolume()
    {
        const QList<Volume> vols = listVolumes();
        const QString home = volumeOf(QDir::homePath(), vols);
        const Volume *v = find(vols, home.toUtf8().constData());
        QVERIFY2(v, qPrintable(home));
        QCOMPARE(v->kind, QStringLiteral("internal"));
        QVERIFY(!v->ignored);
        for (const Volume &x : vols) {
            QVERIFY(x.rootPath.endsWith(QLatin1Char('/')));
            QVERIFY(!x.rootPath.startsWith(QLatin1String("/proc")) &&
                    !x.rootPath.startsWith(QLatin1String("/sys")));
        }
    }

    void linuxClassification()
    {
        const QList<Volume> vols = linuxDesktop(40, 500);
        QStringList roots;
        for (const Volume &v : vols)
            roots << v.rootPath;
        // Order kept, pseudo and system mounts gone.
        QCOMPARE(roots, disktest::strings({"/", "/home/", "/mnt/data/", "/mnt/win/", "/media/ann/USB/",
                                           "/run/media/ann/Photos/", "/mnt/nas/", "/mnt/share/",
                                           "/home/ann/remote/", "/mnt/iso/"}));
        auto kindOf = [&](const char *root) { return find(vols, root)->kind; };
        auto usable = [&](const char *root) {
            return find(vols, root)->usable && !find(vols, root)->ignored;
        };
        QCOMPARE(kindOf("/home/"), QStringLiteral("internal"));
        QVERIFY(usable("/home/") && usable("/") && usable("/mnt/data/") && usable("/mnt/win/"));
        QCOMPARE(kindOf("/mnt/data/"), QStringLiteral("fixed"));
        for (const char *r : {"/media/ann/USB/", "/run/media/ann/Photos/"}) {
            QCOMPARE(kindOf(r), QStringLiteral("removable"));
            QVERIFY(!usable(r));
        }
        for (const char *r : {"/mnt/nas/", "/mnt/share/", "/home/ann/remote/"}) {
            QCOMPARE(kindOf(r), QStringLiteral("network"));
            QVERIFY(!usable(r));
        }
        QCOMPARE(kindOf("/mnt/iso/"), QStringLiteral("read-only"));
        QCOMPARE(describeIgnored(vols),
                 QStringLiteral(
                     "ignored 6 volumes (3 network, 1 read-only / disk image, 2 removable; never a cache "
                     "location): /media/ann/USB, /run/media/ann/Photos, /mnt/nas, /mnt/share, "
                     "/home/ann/remote, /mnt/iso"));
    }

    void linuxContainerAndOvermounts()
    {
        // A container: overlay root holding the home folder is the internal volume;
        // an overlay elsewhere is dropped; a later mount on the same point wins.
        const QList<Volume> vols = classifyLinuxVolumes(
            {mount("/", "overlay", false, 20), mount("/var/lib/docker/overlay2/x/merged/", "overlay"),
             mount("/srv/", "ext4", false, 10), mount("/srv/", "nfs", false, 99),
             mount("/home/ann/ro/", "ext4", true)},
            QStringLiteral("/"));
        QCOMPARE(vols.size(), 3);
        QCOMPARE(vols[0].kind, QStringLiteral("internal"));
        QVERIFY(vols[0].usable);
        QCOMPARE(vols[1].rootPath, QStringLiteral("/srv/"));
        QCOMPARE(vols[1].kind, QStringLiteral("network"));
        QCOMPARE(vols[2].kind, QStringLiteral("read-only"));
        // A read-only home volume stays listed but is no candidate.
        const QList<Volume> ro = classifyLinuxVolumes({mount("/", "ext4", true)}, QStringLiteral("/"));
        QCOMPARE(ro.size(), 1);
        QVERIFY(!ro[0].usable);
    }

    void volumeOfMatchesWholeFolders()
    {
        const QList<Volume> vols = linuxDesktop(40, 500);
        QCOMPARE(volumeOf(QStringLiteral("/mnt/data/x/y"), vols), QStringLiteral("/mnt/data/"));
        QCOMPARE(volumeOf(QStringLiteral("/mnt/data"), vols), QStringLiteral("/mnt/data/"));
        QCOMPARE(volumeOf(QStringLiteral("/mnt/data2/x"), vols), QStringLiteral("/"));
        QCOMPARE(volumeOf(QStringLiteral("/home/ann/remote/../file"), vols), QStringLiteral("/home/"));
        QCOMPARE(volumeOf(QStringLiteral("/home/ann/remote/f"), vols), QStringLiteral("/home/ann/remote/"));
        QCOMPARE(volumeOf(QString(), vols), QString());
        QCOMPARE(volumeOf(QStringLiteral("/a"), {}), QString());
        // The firmlink rewrite only applies when a macOS data volume is listed.
        QCOMPARE(volumeOf(QStringLiteral("/Applications/x"), {mount("/System/Volumes/Data/", "apfs")}),
                 QStringLiteral("/System/Volumes/Data/"));
        QCOMPARE(volumeOf(QStringLiteral("/System/Library"), {mount("/System/Volumes/Data/", "apfs")}),
                 QString());
    }

    void describeTexts()
    {
        Volume v = mount("/mnt/nas/", "nfs", true, 2000);
        v.kind.clear();
        v.ready = false;
        QCOMPARE(
            describe(v),
            QStringLiteral("/mnt/nas/ \"/mnt/nas/\" ?, 2000 GiB free of 1000 GiB, read-only, not ready"));
        Volume one = mount("/media/%1/USB/", "vfat");
        one.ignored = true;
        one.kind = QStringLiteral("removable");
        QCOMPARE(describeIgnored({one}),
                 QStringLiteral("ignored 1 volume (1 removable; never a cache location): /media/%1/USB"));
        QCOMPARE(describeIgnored({}), QString());
    }

    void linuxLocationChoice_data()
    {
        QTest::addColumn<double>("homeFree");
        QTest::addColumn<double>("dataFree");
        QTest::addColumn<QString>("install");
        QTest::addColumn<QString>("dir");
        const QString def = QStringLiteral("/home/ann/.local/share/Sorvanta/SorvantaDesktop/torrent-cache");
        QTest::newRow("weak home, big data disk")
            << 3.2 << 500.0 << QString() << QStringLiteral("/mnt/data/SorvantaCache");
        QTest::newRow("home has enough") << 6.0 << 500.0 << QString() << def;
        QTest::newRow("just below enough")
            << 5.99 << 500.0 << QString() << QStringLiteral("/mnt/data/SorvantaCache");
        // The fuseblk disk (300 GiB) is the install volume and qualifies.
        QTest::newRow("install volume first")
            << 3.2 << 500.0 << QStringLiteral("/mnt/win/") << QStringLiteral("/mnt/win/SorvantaCache");
        // 2 x 3 + 1 = 7 GiB needed: the data disk at 6.9 is not enough, the
        // larger fuseblk disk is (USB, NFS, SMB, sshfs with more are never).
        QTest::newRow("2F+1 rule") << 3.0 << 6.9 << QString() << QStringLiteral("/mnt/win/SorvantaCache");
    }
    void linuxLocationChoice()
    {
        QFETCH(double, homeFree);
        QFETCH(double, dataFree);
        QFETCH(QString, install);
        QFETCH(QString, dir);
        LocationInput in;
        in.defaultDir = QStringLiteral("/home/ann/.local/share/Sorvanta/SorvantaDesktop/torrent-cache");
        in.installVolume = install;
        in.volumes = linuxDesktop(homeFree, dataFree);
        // The root file system holds 40 GiB but only root may write at its top.
        QStringList tried;
        const CacheLocation loc = chooseCacheLocation(in, [&](const QString &p) {
            tried << p;
            return p != QLatin1String("/SorvantaCache");
        });
        QCOMPARE(loc.dir, dir);
        for (const QString &p : tried)
            QVERIFY2(!p.startsWith(QLatin1String("/media")) && !p.startsWith(QLatin1String("/mnt/nas")) &&
                         !p.startsWith(QLatin1String("/run")) && !p.startsWith(QLatin1String("/tmp")),
                     qPrintable(p));
    }

    void locationReasons()
    {
        LocationInput in;
        in.defaultDir = QStringLiteral("/home/ann/cache/torrent-cache");
        in.volumes = linuxDesktop(3.2, 500);
        auto yes = [](const QString &) { return true; };
        auto no = [](const QString &) { return false; };

        CacheLocation loc = chooseCacheLocation(in, yes);
        QCOMPARE(loc.reason,
                 QStringLiteral("default volume /home/ has only 3.2 GiB free; /mnt/data/ has 500 GiB"));
        QCOMPARE(loc.volume, QStringLiteral("/mnt/data/"));

        loc = chooseCacheLocation(in, no);
        QVERIFY(loc.isDefault);
        QCOMPARE(loc.reason,
                 QStringLiteral(
                     "default volume has only 3.2 GiB free, no other local fixed volume with substantially "
                     "more (/mnt/data/SorvantaCache not writable, /mnt/win/SorvantaCache not writable, "
                     "/SorvantaCache not writable)"));

        in.persistedDir = QStringLiteral("/mnt/data/SorvantaCache/");
        loc = chooseCacheLocation(in, yes);
        QCOMPARE(loc.dir, QStringLiteral("/mnt/data/SorvantaCache"));
        QCOMPARE(loc.reason,
                 QStringLiteral("kept from an earlier start (500 GiB free there, default volume 3.2 GiB)"));

        in.persistedDir = QStringLiteral("/media/ann/USB/SorvantaCache");
        loc = chooseCacheLocation(in, yes);
        QVERIFY(loc.reason.startsWith(QStringLiteral("earlier choice /media/ann/USB/SorvantaCache dropped: "
                                                     "its volume is not usable (/media/ann/USB/ ")));

        in.persistedDir = QStringLiteral("/home/ann/elsewhere");
        loc = chooseCacheLocation(in, yes);
        QVERIFY(loc.reason.startsWith(
            QStringLiteral("earlier choice /home/ann/elsewhere dropped: it is on the default volume; ")));

        // Persisted on a small volume that has less than the default: dropped.
        in.volumes = linuxDesktop(5, 4);
        in.persistedDir = QStringLiteral("/mnt/data/SorvantaCache");
        loc = chooseCacheLocation(in, yes);
        QVERIFY(loc.reason.startsWith(
            QStringLiteral("earlier choice /mnt/data/SorvantaCache dropped: only 4.0 GiB free there; ")));
        // ... but kept while it has more than the default, even below 6 GiB.
        in.volumes = linuxDesktop(3, 4);
        QCOMPARE(chooseCacheLocation(in, yes).dir, in.persistedDir);
        QVERIFY(chooseCacheLocation(in, no).reason.contains(QLatin1String("dropped: not writable; ")));

        in.volumes.clear();
        in.persistedDir.clear();
        loc = chooseCacheLocation(in, yes);
        QVERIFY(loc.isDefault);
        QCOMPARE(loc.volume, QString());
        QCOMPARE(loc.reason, QStringLiteral("default volume free space unknown"));
    }

    void selfTestPassesWithExactOutput()
    {
        QTemporaryFile out;
        QVERIFY(out.open());
        std::fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        dup2(out.handle(), STDOUT_FILENO);
        const int rc = runDiskSelfTest();
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        out.seek(0);
        QCOMPARE(QString::fromUtf8(out.readAll()),
                 QStringLiteral("disk self-test\ndisk self-test: 39 checks, 0 failures -> PASS\n"));
        QCOMPARE(rc, 0);
    }
};

QObject *newRulesTest()
{
    return new RulesTest;
}

#include "tst_rules.moc"
