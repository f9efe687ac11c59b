// The start-up choice of the cache folder on a real temporary tree: volumes are
// synthetic records whose roots are temporary folders, settings an ini file.
#include "disk/cachedir.h"
#include "disk/cachesetup.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace svd::disk;
using disktest::readFile;
using disktest::writeFile;

class CacheSetupTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<QSettings> m_settings;

    QString path(const QString &rel) const { return m_tmp->path() + QLatin1Char('/') + rel; }
    QString homeVol() const { return path(QStringLiteral("homevol")); }
    QString bigVol() const { return path(QStringLiteral("bigvol")); }
    QString dataDir() const { return homeVol() + QStringLiteral("/data"); }
    QString defaultDir() const { return dataDir() + QStringLiteral("/torrent-cache"); }
    QString bigCache() const { return bigVol() + QStringLiteral("/SorvantaCache"); }

    CacheSetup run(double homeFree, bool withBig, const QString &option = {}, bool remember = true)
    {
        CacheSetupInput in;
        in.dataDir = dataDir();
        in.cacheDirOption = option;
        in.capBytes = 4096LL * 1048576;
        in.remember = remember;
        in.volumes << disktest::volume(homeVol(), "internal", homeFree);
        if (withBig)
            in.volumes << disktest::volume(bigVol(), "fixed", 500);
        in.volumes << disktest::volume(path(QStringLiteral("usb")), "removable", 900);
        return setupCacheLocation(in, *m_settings);
    }
    QString storedDir() const { return m_settings->value(QStringLiteral("cache/dir")).toString(); }
    QStringList known() const { return m_settings->value(QStringLiteral("cache/knownDirs")).toStringList(); }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir().mkpath(homeVol()) && QDir().mkpath(bigVol()));
        m_settings = std::make_unique<QSettings>(path(QStringLiteral("settings.ini")), QSettings::IniFormat);
        disktest::takeLog();
    }
    void cleanup()
    {
        m_settings.reset();
        m_tmp.reset();
    }

    void weakDefaultMovesKeepsAndFallsBack()
    {
        // Leftovers of an earlier run in the default folder go once the cache moves.
        writeFile(defaultDir() + QStringLiteral("/0badc0de/old.mkv"), "old");
        CacheSetup s = run(3.2, true);
        QCOMPARE(s.dir, bigCache());
        QCOMPARE(s.volume, bigVol() + QLatin1Char('/'));
        QVERIFY(hasCacheMarker(bigCache()));
        QVERIFY(!QFileInfo::exists(defaultDir() + QStringLiteral("/0badc0de")));
        QVERIFY(QFileInfo::exists(defaultDir()));
        QCOMPARE(storedDir(), bigCache());
        QCOMPARE(known(), QStringList{bigCache()});
        QString log = disktest::takeLog();
        QVERIFY2(
            log.contains(QStringLiteral("cache: volume %1/ \"homevol\" internal, 3.2 GiB free of 1000 GiB\n")
                             .arg(homeVol())),
            qPrintable(log));
        QVERIFY(
            log.contains(QStringLiteral("cache: ignored 1 volume (1 removable; never a cache location): %1")
                             .arg(path(QStringLiteral("usb")))));
        QVERIFY(log.contains(
            QStringLiteral("cache: dir %1 (volume %2/): default volume %3/ has only 3.2 GiB free; %2/ has "
                           "500 GiB; free ")
                .arg(bigCache(), bigVol(), homeVol())));

        // Next start: kept although the default volume has room again.
        s = run(50, true);
        QCOMPARE(s.dir, bigCache());
        QVERIFY(s.reason.startsWith(QLatin1String("kept from an earlier start (500 GiB free there")));

        // The volume is gone: back to the default; the old folder is purged of
        // torrent folders but keeps the user's note, so it stays known.
        writeFile(bigCache() + QStringLiteral("/1234/piece"), "p");
        writeFile(bigCache() + QStringLiteral("/notes.txt"), "mine");
        s = run(50, false);
        QCOMPARE(s.dir, defaultDir());
        QVERIFY(s.reason.startsWith(
            QStringLiteral(
                "earlier choice %1 dropped: its volume is not mounted; default volume has 50 GiB free")
                .arg(bigCache())));
        QVERIFY(!QFileInfo::exists(bigCache() + QStringLiteral("/1234")));
        QCOMPARE(readFile(bigCache() + QStringLiteral("/notes.txt")), QByteArray("mine"));
        QCOMPARE(storedDir(), QString());
        QCOMPARE(known(), QStringList{bigCache()});

        // Once only the marker is left the folder is removed and forgotten.
        QFile::remove(bigCache() + QStringLiteral("/notes.txt"));
        run(50, false);
        QVERIFY(!QFileInfo::exists(bigCache()));
        QCOMPARE(known(), QStringList());
        QVERIFY(disktest::takeLog().contains(
            QStringLiteral("cache: removed unused cache folder %1").arg(bigCache())));
    }

    void foreignFolderOnCandidateVolumeIsSkipped()
    {
        writeFile(bigCache() + QStringLiteral("/abc/family.mov"), "video");
        const CacheSetup s = run(3.2, true);
        QCOMPARE(s.dir, defaultDir());
        QVERIFY(s.reason.endsWith(QStringLiteral("(%1 not writable)").arg(bigCache())));
        QCOMPARE(readFile(bigCache() + QStringLiteral("/abc/family.mov")), QByteArray("video"));
        QVERIFY(!QFileInfo::exists(bigCache() + QStringLiteral("/.sorvanta-cache")));
        QVERIFY(disktest::takeLog().contains(QStringLiteral("cache: %1 not usable: ").arg(bigCache())));
    }

    void unusableCacheDirFallsBackWithoutTouchingSettings_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("error");
        QTest::newRow("below a regular file")
            << QStringLiteral("plain.txt/cache") << QStringLiteral("cannot create %1");
        QTest::newRow("folder with user files")
            << QStringLiteral("Photos") << QStringLiteral("%1 already holds files");
        QTest::newRow("the home folder")
            << QStringLiteral("homevol") << QStringLiteral("%1 already holds files");
    }
    void unusableCacheDirFallsBackWithoutTouchingSettings()
    {
        QFETCH(QString, option);
        QFETCH(QString, error);
        writeFile(path(QStringLiteral("plain.txt")), "text");
        writeFile(path(QStringLiteral("Photos/2023/beach.jpg")), "jpeg");
        writeFile(homeVol() + QStringLiteral("/ab/letter.txt"), "letter");
        m_settings->setValue(QStringLiteral("cache/dir"), QString());
        m_settings->setValue(QStringLiteral("cache/knownDirs"),
                             QStringList{QStringLiteral("/nowhere/SorvantaCache")});

        const QString opt = path(option);
        const CacheSetup s = run(50, true, opt, false);
        QCOMPARE(s.dir, defaultDir());
        QCOMPARE(s.reason, QStringLiteral("--cache-dir not usable"));
        QVERIFY(hasCacheMarker(defaultDir()));
        const QString log = disktest::takeLog();
        QVERIFY2(
            log.contains(QStringLiteral("cache: --cache-dir %1 is not usable (%2").arg(opt, error.arg(opt))),
            qPrintable(log));
        QVERIFY(log.contains(QLatin1String("); using the default folder")));
        QCOMPARE(storedDir(), QString());
        QCOMPARE(known(), QStringList{QStringLiteral("/nowhere/SorvantaCache")});
        QCOMPARE(readFile(path(QStringLiteral("plain.txt"))), QByteArray("text"));
        QCOMPARE(readFile(path(QStringLiteral("Photos/2023/beach.jpg"))), QByteArray("jpeg"));
        QCOMPARE(readFile(homeVol() + QStringLiteral("/ab/letter.txt")), QByteArray("letter"));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("Photos/.sorvanta-cache"))));
    }

    void cacheDirIsUsedAndPurgedByALaterStart()
    {
        const QString custom = path(QStringLiteral("custom/cache"));
        CacheSetup s = run(3.2, true, QStringLiteral("%1/../cache/").arg(custom), false);
        QCOMPARE(s.dir, custom);
        QCOMPARE(s.reason, QStringLiteral("--cache-dir"));
        QVERIFY(hasCacheMarker(custom));
        QCOMPARE(storedDir(), QString()); // the stored choice is not changed by a test run
        QCOMPARE(known(), QStringList{custom});

        writeFile(custom + QStringLiteral("/f00d/piece"), "p");
        s = run(50, true);
        QCOMPARE(s.dir, defaultDir());
        QVERIFY(!QFileInfo::exists(custom));
        QCOMPARE(known(), QStringList());
    }

    void knownFolderWithoutMarkerIsLeftAlone()
    {
        const QString user = path(QStringLiteral("projects"));
        writeFile(user + QStringLiteral("/beef/main.cpp"), "int main(){}");
        m_settings->setValue(QStringLiteral("cache/knownDirs"), QStringList{user, QString()});
        run(50, true);
        QCOMPARE(readFile(user + QStringLiteral("/beef/main.cpp")), QByteArray("int main(){}"));
        QCOMPARE(known(), QStringList{user});
    }

    void chosenFolderIsNeverPurgedUnderAnotherName()
    {
        QVERIFY(prepareCacheDir(bigCache()));
        writeFile(bigCache() + QStringLiteral("/abc/piece"), "p");
        const QString alias = path(QStringLiteral("alias"));
        QVERIFY(QFile::link(bigCache(), alias));
        m_settings->setValue(QStringLiteral("cache/dir"), bigCache());
        m_settings->setValue(QStringLiteral("cache/knownDirs"), QStringList{alias, bigCache().toUpper()});
        const CacheSetup s = run(50, true);
        QCOMPARE(s.dir, bigCache());
        QVERIFY(QFileInfo::exists(bigCache() + QStringLiteral("/abc/piece")));
    }
};

QObject *newCacheSetupTest()
{
    return new CacheSetupTest;
}

#include "tst_cachesetup.moc"
