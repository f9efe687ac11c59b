// Playback that keeps going when sources fail: a dead first source, seeders that leave in
// mid-episode, a cache that breaks in mid-episode. Local backend, in-process seeders.

#include "disk/cachebudget.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "sources/apiprovider.h"
#include "tests/common/genepisodes.h"
#include "tests/common/timescale.h"
#include "tests/player/testsupport.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "tools/backend/testbackend.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QDir>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <libtorrent/hex.hpp>

#include <memory>

using namespace svd;
using svd::test::LogMark;
using State = PlaybackController::State;

namespace {

constexpr qint64 kAnime = 900301;
constexpr qint64 kSeason = 900302;

// The controller with its player; every open torrent meets the seeders at each tick, since
// nothing but loopback is allowed and there is no tracker here.
struct Watch {
    MpvPlayer player;
    std::unique_ptr<PlaybackController> ctl;
    std::unique_ptr<QSignalSpy> started, failed, ended;
    std::vector<int> ports;
    QString unseeded; // info hash no peer is ever introduced to

    Watch(TorrentEngine *engine, SourceProvider *provider, const PlaybackOptions &opts)
    {
        MpvPlayer::InitOptions o;
        o.headless = true;
        player.init(o, engine);
        ctl = std::make_unique<PlaybackController>(engine, provider, &player, opts);
        started = std::make_unique<QSignalSpy>(ctl.get(), &PlaybackController::playbackStarted);
        failed = std::make_unique<QSignalSpy>(ctl.get(), &PlaybackController::noTorrentSource);
        ended = std::make_unique<QSignalSpy>(ctl.get(), &PlaybackController::endReached);
        auto introduce = [this, engine] {
            for (const auto &t : engine->openTorrents())
                for (int port : ports)
                    if (unseeded.isEmpty() || !t->handle().is_valid() ||
                        QString::fromStdString(lt::aux::to_hex(t->handle().info_hashes().get_best())) != unseeded)
                    swarm::connectToSeeder(t->handle(), port);
        };
        QObject::connect(ctl.get(), &PlaybackController::statsChanged, ctl.get(), introduce);
        QObject::connect(ctl.get(), &PlaybackController::stateChanged, ctl.get(), introduce);
    }
    ~Watch() { ctl.reset(); }
    double pos() { return player.getProp(QStringLiteral("time-pos")).toDouble(); }
};

// With `failArmed`, the first cache write after it turns true fails.
std::unique_ptr<TorrentEngine> makeEngine(const QString &dir, std::shared_ptr<std::atomic<bool>> failArmed = {})
{
    EngineConfig cfg;
    cfg.stateDir = dir + QStringLiteral("/state");
    cfg.cacheDir = dir + QStringLiteral("/cache");
    cfg.testStorageError = bool(failArmed);
    cfg.testStorageErrorArmed = failArmed;
    applyLoopbackOnly(&cfg);
    return std::make_unique<TorrentEngine>(cfg);
}

// A roomy disk whose cache may hold no more than `*cap`, read at every budget check.
PlaybackController::BudgetFunction cappedBudget(const qint64 *cap)
{
    return [cap](long long held) {
        disk::CacheBudget b = disk::cacheBudget(0, 100 * disk::kGiB, held, disk::kReserveBytes);
        b.capBytes = qMin(b.capBytes, *cap);
        return b;
    };
}

QStringList torrentFolders(const TorrentEngine &engine)
{
    return QDir(engine.config().cacheDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

class TestKeepWatching : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_gen = test::generateEpisodes(QStringLiteral("keepwatching"),
                                       {QStringLiteral("--anime"), QString::number(kAnime), QStringLiteral("--sources"),
                                        QStringLiteral("dead:256:dead,a:64,b:64"), QStringLiteral("--duration"),
                                        QStringLiteral("30"), QStringLiteral("--height"), QStringLiteral("240"),
                                        QStringLiteral("--video-kbps"), QStringLiteral("300")});
        QVERIFY2(m_gen.ok(), qPrintable(m_gen.error));
        for (const QString &id : {QStringLiteral("dead"), QStringLiteral("a"), QStringLiteral("b")}) {
            QJsonObject s = m_gen.source(1, id);
            const QString hash = s.value(QStringLiteral("infoHash")).toString();
            s.insert(QStringLiteral("torrentUrl"), QString()); // from /api/torrents/<hash>/file
            m_backend.setTorrentFile(hash, m_gen.torrentPath(hash));
            m_src.insert(id, s);
        }
        QVERIFY(m_backend.listen());
        m_provider = std::make_unique<ApiProvider>(m_backend.baseUrl());
    }

    // A first source nobody seeds: the second is opened alongside and plays long before the
    // 30 s no-peers time-out; stop leaves no torrent folder behind. A peer that refuses the
    // torrent rules it out at once; with no peer at all the source gets 2 s.
    void deadFirstSourceStartsAlongside_data()
    {
        QTest::addColumn<bool>("refusingPeer");
        QTest::addColumn<QString>("logged");
        QTest::newRow("refusing peer")
            << true << QStringLiteral("player: source 0: all 1 known peers dropped the connection -> trying source 1 alongside");
        QTest::newRow("no peer") << false << QStringLiteral("player: source 0 has no peers after 2 s -> trying source 1 alongside");
    }
    void deadFirstSourceStartsAlongside()
    {
        QFETCH(bool, refusingPeer);
        QFETCH(QString, logged);
        setSources({m_src[QStringLiteral("dead")], m_src[QStringLiteral("b")]});
        auto seeder = seed(QStringLiteral("b"));
        QTemporaryDir dir;
        auto engine = makeEngine(dir.path());
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seeder->port()};
        if (!refusingPeer)
            w.unseeded = m_src[QStringLiteral("dead")].value(QStringLiteral("infoHash")).toString();
        LogMark log;
        w.ctl->play(kAnime, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(20000));
        QVERIFY(log.contains(logged));
        QCOMPARE(w.ctl->stats().sourceIndex, 1);
        QVERIFY2(w.failed->isEmpty(), "the dead source failed the episode");
        w.ctl->stop();
        engine->waitForRemovals();
        QVERIFY2(torrentFolders(*engine).isEmpty(), qPrintable(torrentFolders(*engine).join(QLatin1Char(' '))));
    }

    // The seeder of the playing source leaves: playback moves to the other source at the same
    // position, with the same dub, past a second listing of the stalled torrent; the stalled
    // torrent stays open with its data for a retry.
    void seedersLeaveInMidEpisode()
    {
        setSources({m_src[QStringLiteral("a")], m_src[QStringLiteral("a")], m_src[QStringLiteral("b")]});
        // Just above the episode's rate, so little is buffered when the seeder leaves.
        auto seederA = seed(QStringLiteral("a"), 60000);
        auto seederB = seed(QStringLiteral("b"));
        QTemporaryDir dir;
        auto engine = makeEngine(dir.path());
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seederA->port()};
        w.ctl->play(kAnime, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(20000));
        QCOMPARE(w.ctl->stats().sourceIndex, 0);
        const QString dub = w.ctl->currentDubId();
        QTRY_VERIFY_WITH_TIMEOUT(w.pos() > 4, svd::test::waitMs(15000));

        LogMark log;
        seederA.reset();
        w.ports = {seederB->port()};
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("-> switching to source ")), svd::test::waitMs(25000));
        const QString line = log.text().section(QStringLiteral("-> switching to source 2 at "), 1).section(
            QLatin1Char(' '), 0, 0);
        QVERIFY2(!line.isEmpty(), qPrintable(log.text()));
        const double switchedAt = line.toDouble();
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 2, svd::test::waitMs(15000));
        QCOMPARE(w.ctl->stats().sourceIndex, 2);
        QCOMPARE(int(engine->openTorrents().size()), 2);
        QVERIFY2(qAbs(w.pos() - switchedAt) < 2.0, qPrintable(QStringLiteral("%1 vs %2").arg(w.pos()).arg(switchedAt)));
        QCOMPARE(w.ctl->currentDubId(), dub);
        QVERIFY(w.failed->isEmpty());
        w.ctl->stop();
    }

    // A cache write that fails in mid-episode ends playback with the storage reason, and the
    // read it broke is never taken for the end of the episode.
    void storageErrorInMidEpisode()
    {
        setSources({m_src[QStringLiteral("a")]});
        auto seeder = seed(QStringLiteral("a"), 30000); // slower than the episode: the reader waits
        QTemporaryDir dir;
        auto armed = std::make_shared<std::atomic<bool>>(false);
        auto engine = makeEngine(dir.path(), armed);
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seeder->port()};
        w.ctl->play(kAnime, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(60000));
        *armed = true;
        QTRY_COMPARE_WITH_TIMEOUT(w.failed->count(), 1, svd::test::waitMs(60000));
        QVERIFY2(w.failed->last().at(2).toString().startsWith(QStringLiteral("storage-error")),
                 qPrintable(w.failed->last().at(2).toString()));
        QCOMPARE(w.ctl->state(), State::Failed);
        QTest::qWait(500);
        QCOMPARE(w.ended->count(), 0);
    }

    // Once episode 1 needs no more data, episode 2's torrent is opened and its heads and tails
    // fetched; Next then starts from it.
    void nextEpisodeIsPrepared()
    {
        const auto seeders = twoEpisodes();
        QCOMPARE(int(seeders.size()), 2);
        QTemporaryDir dir;
        auto engine = makeEngine(dir.path());
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seeders[0]->port(), seeders[1]->port()};
        LogMark log;
        w.ctl->play(kAnime, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(20000));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("-> preparing episode 2")), svd::test::waitMs(20000));
        QTRY_COMPARE_WITH_TIMEOUT(int(engine->openTorrents().size()), 2, svd::test::waitMs(10000));
        QTest::qWait(1500); // its heads and tails
        w.ctl->nextEpisode();
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 2, svd::test::waitMs(20000));
        QVERIFY(log.contains(QStringLiteral("player: episode 2 starts from the prepared torrent")));
        qInfo("next episode: first frame %.2f s after play()", w.started->last().at(0).toDouble());
        QCOMPARE(int(engine->openTorrents().size()), 1);
        w.ctl->stop();
    }

    // A tight disk: when the cap comes down on the prepared episode, the preparation gives way
    // and is not started again without room to spare; the episode being watched is never
    // recycled for it.
    void tightDiskPreparation()
    {
        const auto seeders = twoEpisodes();
        QCOMPARE(int(seeders.size()), 2);
        QTemporaryDir dir;
        auto engine = makeEngine(dir.path());
        qint64 cap = 100 * disk::kGiB;
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seeders[0]->port(), seeders[1]->port()};
        w.ctl->setBudgetFunction(cappedBudget(&cap));
        const auto preparedBytes = [&] {
            for (const auto &t : engine->openTorrents())
                if (t != w.ctl->torrent())
                    return t->lastStats().bytesDone;
            return qint64(0);
        };
        LogMark log;
        w.ctl->play(kAnime, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(20000));
        QTRY_VERIFY_WITH_TIMEOUT(preparedBytes() > 256 * 1024, svd::test::waitMs(25000));

        // Room for the episode being watched and a little more, not for the prepared one.
        cap = w.ctl->torrent()->lastStats().bytesDone + 64 * 1024;
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("player: prepared episode 2 dropped (cache ")),
                                 svd::test::waitMs(10000));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("player: episode 2 not prepared: cache ")),
                                 svd::test::waitMs(5000));
        QTest::qWait(svd::test::waitMs(5500)); // one more budget check
        QCOMPARE(w.ctl->recycleCount(), 0);
        QCOMPARE(int(engine->openTorrents().size()), 1);
        QCOMPARE(w.ctl->state(), State::Playing);
        w.ctl->stop();
    }

    // A season in one torrent: episode 2 is being prepared when the user picks episode 3
    // instead; episode 2's file is released, its heads and tails no longer wanted.
    void outOfTheTorrentRelease()
    {
        QList<QJsonObject> sources;
        auto seeder = seedSeason(&sources);
        QVERIFY(seeder);
        QTemporaryDir dir;
        auto engine = makeEngine(dir.path());
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seeder->port()};
        LogMark log;
        w.ctl->play(kSeason, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(20000));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("-> preparing episode 2")), svd::test::waitMs(20000));
        const auto torrent = w.ctl->torrent();
        const QJsonObject &s = sources.at(1);
        const PieceRange second = torrent->filePieces(torrent->resolveFile(
            s.value(QStringLiteral("fileIndex")).toInt(), s.value(QStringLiteral("filePath")).toString()));
        // Its pieces but those it shares with episodes 1 and 3.
        const auto secondWanted = [&] {
            for (const auto &entry : torrent->staticPieces())
                if (entry.first > second.first && entry.first < second.last)
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(secondWanted(), svd::test::waitMs(10000));

        w.ctl->play(kSeason, 3, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 2, svd::test::waitMs(20000));
        QCOMPARE(w.ctl->torrent(), torrent);
        QVERIFY(!secondWanted());
        w.ctl->stop();
    }

    // A season in one torrent on a disk with room for about one episode: the next episode
    // does not fit beside the one watched, so the torrent is opened afresh between them
    // instead of being recycled under the episode being watched.
    void tightDiskSeasonTakesTheNextEpisodeAfresh()
    {
        QList<QJsonObject> sources;
        auto seeder = seedSeason(&sources);
        QVERIFY(seeder);
        QTemporaryDir dir;
        auto engine = makeEngine(dir.path());
        qint64 cap = 100 * disk::kGiB;
        Watch w(engine.get(), m_provider.get(), PlaybackOptions());
        w.ports = {seeder->port()};
        w.ctl->setBudgetFunction(cappedBudget(&cap));
        w.ctl->play(kSeason, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 1, svd::test::waitMs(20000));
        const auto first = w.ctl->torrent();
        const qint64 episode = first->fileSize(first->resolveFile(sources[0].value(QStringLiteral("fileIndex")).toInt(),
                                                                  sources[0].value(QStringLiteral("filePath")).toString()));
        cap = episode * 3 / 2;
        QTRY_VERIFY_WITH_TIMEOUT(first->lastStats().bytesDone >= episode, svd::test::waitMs(20000));
        w.ctl->nextEpisode();
        QTRY_COMPARE_WITH_TIMEOUT(w.started->count(), 2, svd::test::waitMs(30000));
        // Episode 2 downloads whole under the cap, with no recycle.
        QTRY_VERIFY_WITH_TIMEOUT(w.ctl->torrent()->lastStats().bytesDone >= episode * 9 / 10, svd::test::waitMs(20000));
        QTest::qWait(svd::test::waitMs(5500)); // one more budget check
        QCOMPARE(w.ctl->recycleCount(), 0);
        QCOMPARE(w.ctl->state(), State::Playing);
        w.ctl->stop();
    }

private:
    // Episode 1 from source b, episode 2 in a torrent of its own; their seeders (none when
    // the episodes could not be made).
    std::vector<std::unique_ptr<swarm::Seeder>> twoEpisodes()
    {
        std::vector<std::unique_ptr<swarm::Seeder>> seeders;
        test::GeneratedEpisodes second = test::generateEpisodes(
            QStringLiteral("keepwatching-2"),
            {QStringLiteral("--anime"), QString::number(kAnime), QStringLiteral("--first-episode"), QStringLiteral("2"),
             QStringLiteral("--sources"), QStringLiteral("c:64"), QStringLiteral("--duration"), QStringLiteral("30"),
             QStringLiteral("--height"), QStringLiteral("240"), QStringLiteral("--video-kbps"), QStringLiteral("300")});
        if (!second.ok())
            return seeders;
        QJsonObject c = second.source(2, QStringLiteral("c"));
        const QString hash = c.value(QStringLiteral("infoHash")).toString();
        c.insert(QStringLiteral("torrentUrl"), QString());
        m_backend.setTorrentFile(hash, second.torrentPath(hash));
        m_backend.setEpisode(kAnime, 2,
                             {{QStringLiteral("animeId"), double(kAnime)},
                              {QStringLiteral("episode"), 2},
                              {QStringLiteral("title"), QStringLiteral("Keep Watching")},
                              {QStringLiteral("blocked"), false},
                              {QStringLiteral("sources"), QJsonArray{c}}});
        setSources({m_src[QStringLiteral("b")]});
        seeders.push_back(seed(QStringLiteral("b")));
        seeders.push_back(swarm::seedExisting(second.seedDir(hash), second.torrentPath(hash)));
        if (!seeders[0] || !seeders[1])
            seeders.clear();
        return seeders;
    }

    // A season of three short episodes in one torrent, seeded; the episodes' sources in
    // `sources`. Null when the episodes could not be made.
    std::unique_ptr<swarm::Seeder> seedSeason(QList<QJsonObject> *sources)
    {
        const test::GeneratedEpisodes season = test::generateEpisodes(
            QStringLiteral("keepwatching-season"),
            {QStringLiteral("--anime"), QString::number(kSeason), QStringLiteral("--episodes"), QStringLiteral("3"),
             QStringLiteral("--sources"), QStringLiteral("s:64"), QStringLiteral("--duration"), QStringLiteral("20"),
             QStringLiteral("--height"), QStringLiteral("240"), QStringLiteral("--video-kbps"), QStringLiteral("300")});
        if (!season.ok())
            return nullptr;
        for (int e = 1; e <= 3; ++e) {
            sources->append(season.source(e, QStringLiteral("s")));
            sources->last().insert(QStringLiteral("torrentUrl"), QString());
            m_backend.setEpisode(kSeason, e,
                                 {{QStringLiteral("animeId"), double(kSeason)},
                                  {QStringLiteral("episode"), e},
                                  {QStringLiteral("title"), QStringLiteral("Season")},
                                  {QStringLiteral("blocked"), false},
                                  {QStringLiteral("sources"), QJsonArray{sources->last()}}});
        }
        const QString hash = sources->first().value(QStringLiteral("infoHash")).toString();
        m_backend.setTorrentFile(hash, season.torrentPath(hash));
        return swarm::seedExisting(season.seedDir(hash), season.torrentPath(hash));
    }

    void setSources(const QList<QJsonObject> &sources)
    {
        QJsonArray arr;
        for (const QJsonObject &s : sources)
            arr.append(s);
        m_backend.setEpisode(kAnime, 1,
                             {{QStringLiteral("animeId"), double(kAnime)},
                              {QStringLiteral("episode"), 1},
                              {QStringLiteral("title"), QStringLiteral("Keep Watching")},
                              {QStringLiteral("blocked"), false},
                              {QStringLiteral("sources"), arr}});
    }
    std::unique_ptr<swarm::Seeder> seed(const QString &id, int uploadLimit = 0)
    {
        const QString hash = m_src[id].value(QStringLiteral("infoHash")).toString();
        return swarm::seedExisting(m_gen.seedDir(hash), m_gen.torrentPath(hash), uploadLimit);
    }

    test::GeneratedEpisodes m_gen;
    QHash<QString, QJsonObject> m_src;
    TestBackend m_backend;
    std::unique_ptr<ApiProvider> m_provider;
};

SVD_REGISTER_TEST(TestKeepWatching)
#include "tst_keepwatching.moc"
