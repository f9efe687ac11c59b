// The playback controller end to end: a local backend, a loopback swarm seeded
// by a libtorrent session, the real torrent engine and a headless libmpv.

#include "disk/volumes.h"
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

#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace svd;
using svd::test::LogMark;

namespace {

constexpr qint64 kAnime = 900001;
using State = PlaybackController::State;

QJsonObject episodeDoc(int episode, const QJsonArray &sources, bool blocked = false)
{
    return {{QStringLiteral("animeId"), double(kAnime)},
            {QStringLiteral("episode"), episode},
            {QStringLiteral("title"), QStringLiteral("Gen Test")},
            {QStringLiteral("blocked"), blocked},
            {QStringLiteral("sources"), sources}};
}

QJsonObject with(QJsonObject o, const QString &key, const QJsonValue &value)
{
    o.insert(key, value);
    return o;
}

// One controller with its player, recording what it reports.
struct Rig {
    TorrentEngine *engine;
    MpvPlayer player;
    std::unique_ptr<PlaybackController> ctl;
    QList<State> states;
    QStringList messages;
    std::unique_ptr<QSignalSpy> started;
    std::unique_ptr<QSignalSpy> failed;
    QList<double> startPositions; // time-pos at each playbackStarted

    ~Rig() { ctl.reset(); } // its last signals still reach the lists below

    Rig(TorrentEngine *engine, SourceProvider *provider, PlaybackOptions opts, int seederPort) : engine(engine)
    {
        MpvPlayer::InitOptions o;
        o.headless = true;
        player.init(o, engine);
        ctl = std::make_unique<PlaybackController>(engine, provider, &player, opts);
        started = std::make_unique<QSignalSpy>(ctl.get(), &PlaybackController::playbackStarted);
        failed = std::make_unique<QSignalSpy>(ctl.get(), &PlaybackController::noTorrentSource);
        QObject::connect(ctl.get(), &PlaybackController::playbackStarted, ctl.get(), [this] {
            startPositions.append(player.getProp(QStringLiteral("time-pos")).toDouble());
        });
        QObject::connect(ctl.get(), &PlaybackController::stateChanged, ctl.get(),
                         [this, seederPort](State s, const QString &m) {
                             states.append(s);
                             messages.append(m);
                             if (s == PlaybackController::Connecting || s == PlaybackController::Buffering)
                                 introduceSeeder(seederPort);
                         });
        // Nothing but loopback: the seeder is introduced by hand, and again at
        // every tick, because a torrent that wants nothing yet, or one that
        // reconnects before the seeder dropped its previous connection, loses it.
        QObject::connect(ctl.get(), &PlaybackController::statsChanged, ctl.get(),
                         [this, seederPort] { introduceSeeder(seederPort); });
    }
    // Every open torrent meets the seeder, as through a tracker: a source tried alongside a
    // silent one included (kept from it, it would have no peer until it took over, and then
    // only what is left of its own no-peers time).
    void introduceSeeder(int port)
    {
        for (const auto &t : engine->openTorrents())
            swarm::connectToSeeder(t->handle(), port);
    }
    bool startedOrFailed(int starts) const { return started->count() >= starts || !failed->isEmpty(); }
    QString reason() const { return failed->isEmpty() ? QString() : failed->last().at(2).toString(); }
    QVariantMap extra() const { return failed->isEmpty() ? QVariantMap() : failed->last().at(3).toMap(); }
};

} // namespace

class TestController : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_gen = test::generateEpisodes(QStringLiteral("player"),
                                       {QStringLiteral("--episodes"), QStringLiteral("2"),
                                        QStringLiteral("--sources"), QStringLiteral("dead:256:dead,good:256"),
                                        QStringLiteral("--duration"), QStringLiteral("30"),
                                        QStringLiteral("--height"), QStringLiteral("240"),
                                        QStringLiteral("--video-kbps"), QStringLiteral("300")});
        QVERIFY2(m_gen.ok(), qPrintable(m_gen.error));
        m_dead = m_gen.source(1, QStringLiteral("dead"));
        m_good = m_gen.source(1, QStringLiteral("good"));
        m_good2 = m_gen.source(2, QStringLiteral("good"));
        const QString goodHash = m_good.value(QStringLiteral("infoHash")).toString();
        const QString deadHash = m_dead.value(QStringLiteral("infoHash")).toString();
        // Sources without torrentUrl are fetched from /api/torrents/<hash>/file.
        for (QJsonObject *s : {&m_dead, &m_good, &m_good2})
            s->insert(QStringLiteral("torrentUrl"), QString());

        m_seeder = swarm::seedExisting(m_gen.seedDir(goodHash), m_gen.torrentPath(goodHash));
        QVERIFY(m_seeder);

        QVERIFY(m_backend.listen());
        m_backend.setTorrentFile(goodHash, m_gen.torrentPath(goodHash));
        m_backend.setTorrentFile(deadHash, m_gen.torrentPath(deadHash));
        m_backend.setEpisode(kAnime, 1, episodeDoc(1, {m_dead, m_good}));
        m_backend.setEpisode(kAnime, 2, episodeDoc(2, {m_good2}));
        m_provider = std::make_unique<ApiProvider>(m_backend.baseUrl());

        m_engine = makeEngine(QStringLiteral("engine"), false);
    }

    void cleanup() { disk::setFakeFreeBytes(-1); }

    // A dead first source (its one peer refuses the torrent) gives way to the second, which
    // plays; the next episode lives in the same torrent and re-uses it.
    void failoverThenReuseForNextEpisode()
    {
        PlaybackOptions opts;
        opts.startTimeoutSec = svd::test::waitSec(30);
        Rig rig(m_engine.get(), m_provider.get(), opts, m_seeder->port());
        LogMark log;
        rig.ctl->play(kAnime, 1, QString(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(rig.startedOrFailed(1), svd::test::waitMs(40000));
        QVERIFY2(rig.failed->isEmpty(), qPrintable(rig.reason()));
        QVERIFY2(log.contains(QStringLiteral("-> playing source 1, closing source 0")), qPrintable(log.text()));
        QVERIFY(log.contains(QStringLiteral("rate: burst, unlimited (starting)")));
        QCOMPARE(rig.ctl->stats().sourceIndex, 1);
        QCOMPARE(rig.ctl->stats().sourceCount, 2);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.ctl->stats().bufferedRanges.isEmpty(), svd::test::waitMs(5000));
        QVERIFY(rig.ctl->stats().numPeers >= 1);
        QVERIFY(rig.ctl->stats().payloadDownloaded > 0);

        const QList<State> expectStart = {State::Resolving, State::LoadingTorrent, State::Connecting,
                                          State::Buffering};
        QCOMPARE(rig.states.mid(0, 4), expectStart);
        QCOMPARE(rig.messages.at(0), QStringLiteral("Ищем серию 1…"));
        QCOMPARE(rig.messages.at(1), QStringLiteral("Подготовка видео…"));
        QCOMPARE(rig.messages.at(2), QStringLiteral("Подключение…"));
        QCOMPARE(rig.messages.at(3), QStringLiteral("Буферизация…"));
        QCOMPARE(rig.states.last(), State::Playing);
        QCOMPARE(rig.ctl->stats().state, QStringLiteral("playing"));
        QTest::qWait(1500);
        QCOMPARE(rig.started->count(), 1);

        // prevEpisode at episode 1 is ignored.
        const int statesBefore = int(rig.states.size());
        rig.ctl->prevEpisode();
        QCOMPARE(rig.states.size(), statesBefore);

        const QString torrentId = rig.ctl->torrent()->id();
        m_backend.clearRequests();
        LogMark next;
        // What the player's ">" key does.
        rig.player.command({QStringLiteral("keypress"), QStringLiteral(">")});
        QTRY_VERIFY_WITH_TIMEOUT(rig.startedOrFailed(2), svd::test::waitMs(30000));
        QVERIFY2(rig.failed->isEmpty(), qPrintable(rig.reason()));
        QCOMPARE(rig.ctl->episode(), 2);
        QVERIFY(next.contains(QStringLiteral("player: re-using torrent [%1] for episode 2").arg(torrentId)));
        QVERIFY(m_backend.requestsTo(QStringLiteral("/api/torrents/")).isEmpty());
        QCOMPARE(rig.ctl->torrent()->id(), torrentId);
        rig.ctl->stop();
        QCOMPARE(rig.ctl->state(), State::Idle);
        QVERIFY(!rig.ctl->torrent());
    }

    void sourceFailureReasons()
    {
        PlaybackOptions opts;
        opts.noPeersTimeoutSec = svd::test::waitSec(20);
        opts.startTimeoutSec = svd::test::waitSec(20);
        Rig rig(m_engine.get(), m_provider.get(), opts, m_seeder->port());

        // No .torrent and no magnet, then a torrent without the wanted file.
        // (Without an info-hash the model cannot make up a magnet link either.)
        QJsonObject noTorrent = with(m_dead, QStringLiteral("magnet"), QString());
        noTorrent.insert(QStringLiteral("infoHash"), QString());
        noTorrent.insert(QStringLiteral("torrentUrl"), QStringLiteral("/nothing/here.torrent"));
        QJsonObject wrongFile = with(m_dead, QStringLiteral("fileIndex"), 99);
        wrongFile.insert(QStringLiteral("filePath"), QStringLiteral("Nope/missing-file.mkv"));
        m_backend.setEpisode(kAnime, 3, episodeDoc(3, {noTorrent, wrongFile}));
        LogMark log;
        rig.ctl->play(kAnime, 3, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 1, svd::test::waitMs(20000));
        QVERIFY(log.contains(
            QStringLiteral("player: source 0 abandoned: ") +
            m_backend.baseUrl().resolved(QUrl(QStringLiteral("/nothing/here.torrent"))).toString()));
        QCOMPARE(rig.reason(),
                 QStringLiteral("all-sources-failed: file #99 'Nope/missing-file.mkv' not in torrent"));
        QCOMPARE(rig.ctl->state(), State::Failed);
        QVERIFY(!rig.ctl->torrent());

        // A broken .torrent download falls back to the magnet link.
        QJsonObject magnetOnly =
            with(m_good, QStringLiteral("torrentUrl"), QStringLiteral("/broken.torrent"));
        m_backend.setEpisode(kAnime, 4, episodeDoc(4, {magnetOnly}));
        LogMark magnet;
        rig.ctl->play(kAnime, 4, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.started->count(), 1, svd::test::waitMs(40000));
        QVERIFY(magnet.contains(QStringLiteral(", using magnet")));
        rig.ctl->stop();

        // No sources: the provider's error text, or "blocked".
        rig.ctl->play(kAnime, 99, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 2, svd::test::waitMs(10000));
        QCOMPARE(rig.reason(), QStringLiteral("no-torrent-source: 404"));
        QVERIFY(rig.extra().isEmpty());
        m_backend.setEpisode(kAnime, 5, episodeDoc(5, {}, true));
        rig.ctl->play(kAnime, 5, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 3, svd::test::waitMs(10000));
        QCOMPARE(rig.reason(), QStringLiteral("no-torrent-source: blocked"));
    }

    void staleAnswersAndStartTimeout()
    {
        PlaybackOptions opts;
        opts.noPeersTimeoutSec = 30;
        opts.startTimeoutSec = 2;
        Rig rig(m_engine.get(), m_provider.get(), opts, m_seeder->port());
        rig.ctl->nextEpisode(); // nothing played yet
        rig.ctl->prevEpisode();
        QVERIFY(rig.states.isEmpty());

        // The blocked answer of the first request is dropped; the second
        // request (dead source only) runs into the start time-out.
        m_backend.setEpisode(kAnime, 5, episodeDoc(5, {}, true));
        m_backend.setEpisode(kAnime, 6, episodeDoc(6, {m_dead}));
        rig.ctl->play(kAnime, 5, QString(), QString());
        rig.ctl->play(kAnime, 6, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 1, svd::test::waitMs(20000));
        QCOMPARE(rig.reason(), QStringLiteral("all-sources-failed: playback did not start within 2 s"));
        QCOMPARE(rig.failed->last().at(1).toInt(), 6);
    }

    void lowDiskBeforeAndWhilePlaying()
    {
        PlaybackOptions opts;
        Rig rig(m_engine.get(), m_provider.get(), opts, m_seeder->port());
        disk::setFakeFreeBytes(2300 * disk::kMiB);
        LogMark log;
        rig.ctl->play(kAnime, 2, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 1, svd::test::waitMs(10000));
        QCOMPARE(rig.reason(), QStringLiteral("low-disk-space"));
        const QVariantMap extra = rig.extra();
        QCOMPARE(extra.value(QStringLiteral("freeMB")).toLongLong(), 2300LL);
        QCOMPARE(extra.value(QStringLiteral("freeBytes")).toLongLong(), 2300LL * disk::kMiB);
        QCOMPARE(extra.value(QStringLiteral("needMB")).toInt(), 2560);
        QCOMPARE(extra.value(QStringLiteral("cacheDir")).toString(), m_engine->config().cacheDir);
        QVERIFY(log.contains(QStringLiteral("player: LOW DISK SPACE (before start): ")));

        // 2.9 GiB free: tight but workable, so the player gets the small read-ahead.
        disk::setFakeFreeBytes(2900 * disk::kMiB);
        LogMark tight;
        rig.ctl->play(kAnime, 2, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.started->count(), 1, svd::test::waitMs(30000));
        QVERIFY(tight.contains(QStringLiteral("player: read-ahead TIGHT")));
        QCOMPARE(rig.player.getProp(QStringLiteral("cache-secs")).toDouble(), 60.0);

        // The disk fills up while playing: the 5-second check ends playback.
        disk::setFakeFreeBytes(100 * disk::kMiB);
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 2, svd::test::waitMs(10000));
        QCOMPARE(rig.reason(), QStringLiteral("low-disk-space"));
        QVERIFY(tight.contains(QStringLiteral("player: LOW DISK SPACE (while playing): ")));
        QVERIFY(!rig.ctl->torrent());
    }

    // The torrent outgrows its cap: it is thrown away and started again at the
    // same position, until the fourth time within 3 minutes.
    void cacheRecycling()
    {
        PlaybackOptions opts;
        Rig rig(m_engine.get(), m_provider.get(), opts, m_seeder->port());
        bool squeeze = false;
        // Squeezed only with data held: the budget stored at a recycle (0 bytes
        // held) stays roomy, so recycles come from the 5-second check, a few
        // seconds apart, as they would on a real disk.
        rig.ctl->setBudgetFunction([&squeeze](long long held) {
            disk::CacheBudget b = disk::cacheBudget(0, 100LL * disk::kGiB, held, disk::kReserveBytes);
            if (squeeze && held > 0)
                b.capBytes = 1;
            return b;
        });
        LogMark log;
        rig.ctl->play(kAnime, 2, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.started->count(), 1, svd::test::waitMs(30000));
        QTRY_VERIFY_WITH_TIMEOUT(rig.player.cachedProp(QStringLiteral("time-pos")).toDouble() > 2.0,
                                 svd::test::waitMs(10000));
        squeeze = true;
        QTRY_COMPARE_WITH_TIMEOUT(rig.ctl->recycleCount(), 1, svd::test::waitMs(10000));
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("recycling torrent, resume at ([0-9.]+) s")).match(log.text());
        QVERIFY(m.hasMatch());
        const double resumeAt = m.captured(1).toDouble();
        QVERIFY(resumeAt > 2.0);
        QTRY_COMPARE_WITH_TIMEOUT(rig.started->count(), 2, svd::test::waitMs(30000));
        QVERIFY(rig.startPositions.at(1) >= resumeAt - 1.0);

        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 1, svd::test::waitMs(60000));
        QCOMPARE(rig.reason(), QStringLiteral("low-disk-space"));
        QCOMPARE(rig.ctl->recycleCount(), 3);
        QVERIFY(log.contains(QStringLiteral("player: LOW DISK SPACE (4 cache recycles within 3 min)")));
    }

    void storageErrorEndsPlayback()
    {
        std::unique_ptr<TorrentEngine> engine = makeEngine(QStringLiteral("failing"), true);
        Rig rig(engine.get(), m_provider.get(), PlaybackOptions(), m_seeder->port());
        rig.ctl->play(kAnime, 2, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.failed->count(), 1, svd::test::waitMs(30000));
        const QString reason = rig.reason();
        // On a nearly full disk the same failure is reported as low disk space.
        const bool lowDisk = disk::freeBytes(engine->config().cacheDir) <= 2147483647LL;
        if (lowDisk) {
            QCOMPARE(reason, QStringLiteral("low-disk-space"));
        } else {
            QVERIFY2(reason.startsWith(QStringLiteral("storage-error: ")), qPrintable(reason));
            QCOMPARE(rig.extra().keys(), QStringList{QStringLiteral("cacheDir")});
        }
        QVERIFY(!rig.ctl->torrent());
        rig.ctl.reset();
        rig.player.destroy();
        engine.reset();
    }

    void cleanupTestCase()
    {
        m_engine.reset();
        m_seeder.reset();
    }

private:
    std::unique_ptr<TorrentEngine> makeEngine(const QString &name, bool storageError)
    {
        EngineConfig cfg;
        cfg.stateDir = m_tmp.filePath(name + QStringLiteral("/state"));
        cfg.cacheDir = m_tmp.filePath(name + QStringLiteral("/cache"));
        cfg.testStorageError = storageError;
        applyLoopbackOnly(&cfg);
        return std::make_unique<TorrentEngine>(cfg);
    }

    QTemporaryDir m_tmp;
    test::GeneratedEpisodes m_gen;
    QJsonObject m_dead, m_good, m_good2;
    std::unique_ptr<swarm::Seeder> m_seeder;
    TestBackend m_backend;
    std::unique_ptr<ApiProvider> m_provider;
    std::unique_ptr<TorrentEngine> m_engine;
};

SVD_REGISTER_TEST(TestController)

#include "tst_controller.moc"
