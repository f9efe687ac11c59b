// Seeks while mpv's demuxer waits for a piece ahead that no peer has (the seeder here misses
// the middle of the episode): a seek must reach the stream, and a seek out of the buffer and
// straight back into it must not end the episode.

#include "player/mpvplayer.h"
#include "tests/common/timescale.h"
#include "tests/player/testsupport.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace svd;
using svd::test::LogMark;

class TestSeekWake : public QObject {
    Q_OBJECT

private slots:
    void seeksAroundMissingPieces()
    {
        QTemporaryDir dir;
        const QString clip = test::makeClip(QStringLiteral("seekwake.mkv"), 40);
        QFile in(clip);
        QVERIFY2(in.open(QIODevice::ReadOnly), "ffmpeg could not generate the test media");
        const QByteArray data = in.readAll();
        const int p = 16 * 1024;
        QVERIFY(data.size() > 40 * p);
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Hole"),
                                          {{QStringLiteral("ep.mkv"), data}}, p);
        // The seeder's copy lacks 35-60 % of the file, so nobody has those pieces.
        QFile seedFile(t.saveDir + QLatin1Char('/') + t.files[0].path);
        QVERIFY(seedFile.open(QIODevice::ReadWrite));
        const qint64 holeFrom = data.size() * 35 / 100, holeTo = data.size() * 60 / 100;
        QVERIFY(seedFile.seek(holeFrom));
        seedFile.write(QByteArray(int(holeTo - holeFrom), '\0'));
        seedFile.close();
        swarm::Seeder seeder(t, 0, true);
        QVERIFY(seeder.ready());

        EngineConfig cfg;
        cfg.stateDir = dir.filePath(QStringLiteral("state"));
        cfg.cacheDir = dir.filePath(QStringLiteral("cache"));
        applyLoopbackOnly(&cfg);
        TorrentEngine engine(cfg);
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(s, qPrintable(error));
        s->addFile(0);
        swarm::connectToSeeder(s->handle(), seeder.port());

        MpvPlayer player;
        MpvPlayer::InitOptions o;
        o.headless = true;
        QVERIFY(player.init(o, &engine));
        QSignalSpy restarts(&player, &MpvPlayer::playbackRestart);
        QSignalSpy ends(&player, &MpvPlayer::endFile);
        player.loadFile(torrentUri(s->id(), 0), {});
        QVERIFY(restarts.wait(svd::test::waitMs(20000)));

        // The demuxer reads ahead into the hole and waits there.
        LogMark log;
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("reader blocked >3s on piece #")), svd::test::waitMs(20000));
        auto pos = [&] { return player.getProp(QStringLiteral("time-pos")).toDouble(); };
        const QVariantList ranges = player.getProp(QStringLiteral("demuxer-cache-state"))
                                        .toMap()
                                        .value(QStringLiteral("seekable-ranges"))
                                        .toList();
        QVERIFY(!ranges.isEmpty());
        const double bufferedTo = ranges.first().toMap().value(QStringLiteral("end")).toDouble();
        const double back = std::max(pos(), bufferedTo - 3);

        // Out of the buffer, which wakes the blocked read, and back into it within 200 ms: the
        // way back never reaches the stream, and the demuxer reads on at the old place.
        QElapsedTimer sinceOut;
        sinceOut.start();
        const QStringList out{QStringLiteral("seek"), QStringLiteral("80"),
                              QStringLiteral("absolute-percent")};
        player.commandAsync(out, nullptr);
        while (!log.contains(QStringLiteral("seek: woke the read")) && sinceOut.elapsed() < 2000)
            QTest::qWait(5);
        player.commandAsync({QStringLiteral("seek"), QString::number(back), QStringLiteral("absolute")},
                            nullptr);
        qInfo("seeked back %lld ms after seeking out", sinceOut.elapsed());
        QVERIFY(log.contains(QStringLiteral("seek: woke the read")));
        // It plays on up to the hole and waits there for data.
        auto waitsAtTheHole = [&] {
            return pos() > back + 1 && pos() < 40 * 0.5 &&
                   player.getProp(QStringLiteral("paused-for-cache")).toBool();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!ends.isEmpty() || waitsAtTheHole(), svd::test::waitMs(20000));
        QVERIFY2(ends.isEmpty(), "the episode ended at the hole after the seek back");

        LogMark again;
        const int restartsBefore = int(restarts.count());
        player.commandAsync(out, nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(restarts.count() > restartsBefore, svd::test::waitMs(10000));
        QVERIFY(pos() > 40 * 0.7);
        QVERIFY(again.contains(QStringLiteral("seek target not buffered -> woke 1 read(s) waiting ahead")));
        QVERIFY2(ends.isEmpty(), "the woken read was taken for the end of the file");
        QTRY_VERIFY_WITH_TIMEOUT(pos() > 40 * 0.8 + 1, svd::test::waitMs(10000));
        QVERIFY(ends.isEmpty());
        player.destroy();
        engine.close(s);
    }
};

SVD_REGISTER_TEST(TestSeekWake)
#include "tst_seekwake.moc"
