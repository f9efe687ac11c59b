// A seek must reach the stream even while mpv's demuxer waits for a piece ahead that no
// peer has: the seeder here misses the middle of the episode.

#include "player/mpvplayer.h"
#include "tests/common/timescale.h"
#include "tests/player/testsupport.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace svd;
using svd::test::LogMark;

class TestSeekWake : public QObject {
    Q_OBJECT

private slots:
    void seekPastMissingPiecesPlays()
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
        player.commandAsync({QStringLiteral("seek"), QStringLiteral("80"), QStringLiteral("absolute-percent")},
                            nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(restarts.count() >= 2, svd::test::waitMs(10000));
        QVERIFY(log.contains(QStringLiteral("mpv: seek target not buffered -> woke 1 read(s) waiting ahead")));
        QVERIFY(player.getProp(QStringLiteral("time-pos")).toDouble() > 40 * 0.7);
        QVERIFY2(ends.isEmpty(), "the woken read was taken for the end of the file");
        QTRY_VERIFY_WITH_TIMEOUT(player.getProp(QStringLiteral("time-pos")).toDouble() > 40 * 0.8 + 1, svd::test::waitMs(10000));
        QVERIFY(ends.isEmpty());
        player.destroy();
        engine.close(s);
    }
};

SVD_REGISTER_TEST(TestSeekWake)
#include "tst_seekwake.moc"
