// Cache folder preparation and purging on real folders. The purge deletes
// files, so every case here is about what it must leave alone.
#include "disk/cachedir.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace svd::disk;
using disktest::readFile;
using disktest::writeFile;

class CacheDirTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString path(const QString &rel) const { return m_tmp.path() + QLatin1Char('/') + rel; }
    QString marker(const QString &dir) const { return dir + QStringLiteral("/.sorvanta-cache"); }

private slots:
    void init() { disktest::takeLog(); }

    void prepareCreatesMarkerOnceAndCleansUp()
    {
        const QString dir = path(QStringLiteral("prep/a/b/cache"));
        QString error;
        QVERIFY2(prepareCacheDir(dir, &error), qPrintable(error));
        QCOMPARE(
            readFile(marker(dir)),
            QByteArray(
                "Sorvanta Desktop streaming cache. Emptied whenever the app starts or a video stops.\n"));
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral(".sorvanta-cache")});
        writeFile(marker(dir), "edited");
        QVERIFY(prepareCacheDir(dir, &error));
        QCOMPARE(readFile(marker(dir)), QByteArray("edited"));
        // A marked folder with content (a cache in use) is still accepted.
        writeFile(dir + QStringLiteral("/0a1b/piece"), "x");
        QVERIFY(prepareCacheDir(dir, &error));
    }

    void prepareRefusesForeignFolders()
    {
        // A folder with someone's files and no marker must never become a
        // cache: "2023" would look like a torrent sub-folder to the purge.
        const QString photos = path(QStringLiteral("Photos"));
        writeFile(photos + QStringLiteral("/2023/beach.jpg"), "jpeg");
        QString error;
        QVERIFY(!prepareCacheDir(photos, &error));
        QVERIFY2(error.contains(QLatin1String("no .sorvanta-cache marker")), qPrintable(error));
        QVERIFY(!QFileInfo::exists(marker(photos)));
        // Hidden files count as content too.
        const QString hidden = path(QStringLiteral("dotfiles"));
        writeFile(hidden + QStringLiteral("/.bashrc"), "x");
        QVERIFY(!prepareCacheDir(hidden, &error));
        // An empty existing folder is adopted.
        QVERIFY(QDir().mkpath(path(QStringLiteral("empty"))));
        QVERIFY(prepareCacheDir(path(QStringLiteral("empty")), &error));
        // The application's own default folder is adopted with whatever it holds.
        const QString own = path(QStringLiteral("data/torrent-cache"));
        writeFile(own + QStringLiteral("/abc/old"), "x");
        QVERIFY(prepareCacheDir(own, &error, true));
        QVERIFY(QFileInfo::exists(marker(own)));
    }

    void prepareFailures()
    {
        const QString file = writeFile(path(QStringLiteral("plain.txt")), "user text");
        QString error;
        QVERIFY(!prepareCacheDir(file + QStringLiteral("/cache"), &error));
        QCOMPARE(error, QStringLiteral("cannot create %1/cache").arg(file));
        QVERIFY(!prepareCacheDir(file, &error, true));
        QCOMPARE(readFile(file), QByteArray("user text"));

        // A marker name that is a link to a user file: never written through.
        const QString dir = path(QStringLiteral("linkmarker"));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::link(file, marker(dir)));
        QVERIFY(!prepareCacheDir(dir, &error, true));
        QVERIFY2(error.startsWith(QStringLiteral("cannot write %1").arg(marker(dir))), qPrintable(error));
        QCOMPARE(readFile(file), QByteArray("user text"));
    }

    void sessionDirNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("session");
        QTest::newRow("torrent id") << QStringLiteral("a3f09c11d2") << true;
        QTest::newRow("one digit") << QStringLiteral("0") << true;
        QTest::newRow("16 digits") << QStringLiteral("0123456789abcdef") << true;
        QTest::newRow("17 digits") << QStringLiteral("0123456789abcdef0") << false;
        QTest::newRow("upper case") << QStringLiteral("A3F0") << false;
        QTest::newRow("word") << QStringLiteral("Documents") << false;
        QTest::newRow("marker") << QStringLiteral(".sorvanta-cache") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("trailing newline") << QStringLiteral("abc\n") << false;
        QTest::newRow("g") << QStringLiteral("abg") << false;
    }
    void sessionDirNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, session);
        QCOMPARE(isSessionDirName(name), session);
    }

    void purgeDeletesOnlyTorrentFolders()
    {
        const QString dir = path(QStringLiteral("purge"));
        QVERIFY(prepareCacheDir(dir));
        writeFile(dir + QStringLiteral("/0a1b2c/ep01.mkv"), QByteArray(3000, 'v'));
        writeFile(dir + QStringLiteral("/0a1b2c/sub/.hidden"), QByteArray(500, 'h'));
        writeFile(dir + QStringLiteral("/ff/x"), QByteArray(24, 'x'));
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/deadbeef"))); // empty, still removed
        writeFile(dir + QStringLiteral("/beef01/keep.mkv"), "open torrent");
        writeFile(dir + QStringLiteral("/Documents/cv.pdf"), "cv");
        writeFile(dir + QStringLiteral("/ABCDEF/x"), "upper");
        writeFile(dir + QStringLiteral("/0123456789abcdef0/x"), "17");
        writeFile(dir + QStringLiteral("/.git/config"), "hidden");
        writeFile(dir + QStringLiteral("/cafe"), "a file with a hex name");

        // Links: a hex-named link to a user folder, and a link inside a
        // torrent folder pointing out of the cache.
        const QString outside = path(QStringLiteral("outside"));
        writeFile(outside + QStringLiteral("/precious.txt"), "precious");
        QVERIFY(QFile::link(outside, dir + QStringLiteral("/abcd")));
        QVERIFY(QFile::link(outside, dir + QStringLiteral("/0a1b2c/escape")));

        const qint64 removed = purgeCacheDir(dir, false, true, {QStringLiteral("beef01")});
        QCOMPARE(removed, 3000 + 500 + 24);
        QStringList left =
            QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        left.sort();
        QCOMPARE(left, disktest::strings({".git", ".sorvanta-cache", "0123456789abcdef0", "ABCDEF",
                                          "Documents", "abcd", "beef01", "cafe"}));
        QCOMPARE(readFile(outside + QStringLiteral("/precious.txt")), QByteArray("precious"));
        QVERIFY(QFileInfo(dir + QStringLiteral("/abcd")).isSymLink());
        const QString log = disktest::takeLog();
        QVERIFY2(log.contains(QStringLiteral("cache: purged 0 MiB of leftovers in %1").arg(dir)),
                 qPrintable(log));
        QVERIFY(!log.contains(QLatin1String("removed unused")));
    }

    void purgeNeedsTheMarker()
    {
        const QString dir = path(QStringLiteral("nomarker"));
        writeFile(dir + QStringLiteral("/2023/holiday.jpg"), "jpeg");
        QCOMPARE(purgeCacheDir(dir, false, true, {}), 0);
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/2023/holiday.jpg")));
        QVERIFY(disktest::takeLog().contains(
            QStringLiteral("cache: %1 has no .sorvanta-cache marker; not purging it").arg(dir)));

        // A folder or a link carrying the marker's name is no marker.
        QVERIFY(QDir().mkpath(marker(dir)));
        QCOMPARE(purgeCacheDir(dir, false, true, {}), 0);
        QVERIFY(QDir().rmdir(marker(dir)));
        QVERIFY(QFile::link(writeFile(path(QStringLiteral("realmarker")), "m"), marker(dir)));
        QCOMPARE(purgeCacheDir(dir, false, true, {}), 0);
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/2023/holiday.jpg")));

        // The engine's own folder is purged without asking for the marker.
        QCOMPARE(purgeCacheDir(dir, true, false, {}), 4);
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/2023")));
        QCOMPARE(purgeCacheDir(path(QStringLiteral("missing")), true, true, {}), 0);
        QCOMPARE(purgeCacheDir(writeFile(path(QStringLiteral("afile")), "x"), true, true, {}), 0);
    }

    void purgeRemovesFolderLeftWithOnlyTheMarker()
    {
        const QString unused = path(QStringLiteral("unused"));
        QVERIFY(prepareCacheDir(unused));
        writeFile(unused + QStringLiteral("/abc/x"), QByteArray(2 * 1048576, 'x'));
        QCOMPARE(purgeCacheDir(unused, false, true, {}), 2 * 1048576);
        QVERIFY(!QFileInfo::exists(unused));
        const QString log = disktest::takeLog();
        QVERIFY(log.contains(QStringLiteral("cache: purged 2 MiB of leftovers in %1").arg(unused)));
        QVERIFY(log.contains(QStringLiteral("cache: removed unused cache folder %1").arg(unused)));

        // Anything besides the marker keeps folder and marker, hidden files too.
        const QString used = path(QStringLiteral("used"));
        QVERIFY(prepareCacheDir(used));
        writeFile(used + QStringLiteral("/.notes"), "mine");
        purgeCacheDir(used, false, true, {});
        QVERIFY(QFileInfo::exists(marker(used)));
        // Without removeIfUnused an empty marked folder stays.
        QFile::remove(used + QStringLiteral("/.notes"));
        purgeCacheDir(used, false, false, {});
        QVERIFY(QFileInfo::exists(marker(used)));
    }
};

QObject *newCacheDirTest()
{
    return new CacheDirTest;
}

#include "tst_cachedir.moc"
