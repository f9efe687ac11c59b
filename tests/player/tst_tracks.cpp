// Dubs, subtitles and tracks on a real generated episode (rus + jpn audio, full
// and signs-only Russian subtitles inside, an external .mka dub and two external
// .ass files) streamed from a loopback seeder into a headless libmpv.

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
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace svd;
using svd::test::LogMark;

namespace {

constexpr qint64 kAnime = 900001;
constexpr qint64 kAnimeEdited = 900002; // same torrent, a source description edited by the test

QJsonObject episodeDoc(qint64 anime, const QJsonArray &sources)
{
    return {{QStringLiteral("animeId"), double(anime)},
            {QStringLiteral("episode"), 1},
            {QStringLiteral("title"), QStringLiteral("Gen Test")},
            {QStringLiteral("sources"), sources}};
}

long long sidNow(MpvPlayer &p)
{
    return p.getProp(QStringLiteral("sid")).toLongLong();
}

long long aidNow(MpvPlayer &p)
{
    return p.getProp(QStringLiteral("aid")).toLongLong();
}

// Sub track ids by title (embedded) and the ids of the external ones.
struct SubTracks {
    QHash<QString, long long> byTitle;
    QList<long long> external;
    QStringList externalFiles;
};

SubTracks subTracks(const PlaybackController &ctl)
{
    SubTracks out;
    for (const QVariant &v : ctl.freshTracks(QStringLiteral("sub"))) {
        const QVariantMap t = v.toMap();
        const long long id = t.value(QStringLiteral("id")).toLongLong();
        if (t.value(QStringLiteral("external")).toBool()) {
            out.external.append(id);
            out.externalFiles.append(t.value(QStringLiteral("external-filename")).toString());
        } else {
            out.byTitle.insert(t.value(QStringLiteral("title")).toString(), id);
        }
    }
    return out;
}

} // namespace

class TestTracks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        // The controller tests' episodes: generated once per build folder.
        m_gen = test::generateEpisodes(QStringLiteral("player"),
                                       {QStringLiteral("--episodes"), QStringLiteral("2"),
                                        QStringLiteral("--sources"), QStringLiteral("dead:256:dead,good:256"),
                                        QStringLiteral("--duration"), QStringLiteral("30"),
                                        QStringLiteral("--height"), QStringLiteral("240"),
                                        QStringLiteral("--video-kbps"), QStringLiteral("300")});
        QVERIFY2(m_gen.ok(), qPrintable(m_gen.error));
        m_good = m_gen.source(1, QStringLiteral("good"));
        const QString hash = m_good.value(QStringLiteral("infoHash")).toString();
        m_good.insert(QStringLiteral("torrentUrl"), QString());

        m_seeder = swarm::seedExisting(m_gen.seedDir(hash), m_gen.torrentPath(hash));
        QVERIFY(m_seeder);

        QVERIFY(m_backend.listen());
        m_backend.setTorrentFile(hash, m_gen.torrentPath(hash));
        m_backend.setEpisode(kAnime, 1, episodeDoc(kAnime, {m_good}));
        m_provider = std::make_unique<ApiProvider>(m_backend.baseUrl());

        EngineConfig cfg;
        cfg.stateDir = m_tmp.filePath(QStringLiteral("state"));
        cfg.cacheDir = m_tmp.filePath(QStringLiteral("cache"));
        applyLoopbackOnly(&cfg);
        m_engine = std::make_unique<TorrentEngine>(cfg);

        MpvPlayer::InitOptions o;
        o.headless = true;
        QVERIFY(m_player.init(o, m_engine.get()));
        PlaybackOptions opts;
        opts.noPeersTimeoutSec = svd::test::waitSec(20);
        opts.startTimeoutSec = svd::test::waitSec(40);
        m_ctl = std::make_unique<PlaybackController>(m_engine.get(), m_provider.get(), &m_player, opts);
        // Nothing but loopback: the seeder is introduced by hand at every tick.
        connect(m_ctl.get(), &PlaybackController::statsChanged, this, [this] {
            if (m_ctl->torrent())
                swarm::connectToSeeder(m_ctl->torrent()->handle(), m_seeder->port());
        });
    }

    void cleanupTestCase()
    {
        m_ctl.reset();
        m_player.destroy();
    }

    void init() { m_ctl->setSubtitlePreference(QString()); }

    // Original audio gets full Russian subtitles, a Russian dub signs only; a
    // preference overrides both, and "off" survives dub switches. Embedded and
    // external dub switches are confirmed by the playing position, at the end of
    // the file by the selected track.
    void policyAndDubSwitches()
    {
        QSignalSpy started(m_ctl.get(), &PlaybackController::playbackStarted);
        QSignalSpy switched(m_ctl.get(), &PlaybackController::dubSwitched);
        LogMark log;
        m_ctl->play(kAnime, 1, QString(), QStringLiteral("original"));
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, svd::test::waitMs(40000));

        SubTracks subs = subTracks(*m_ctl);
        const long long full = subs.byTitle.value(QStringLiteral("Полные"));
        const long long signs = subs.byTitle.value(QStringLiteral("Надписи"));
        QVERIFY(full >= 1 && signs >= 1 && full != signs);
        QVERIFY(m_ctl->currentDubIsOriginal());
        QVERIFY(log.contains(QStringLiteral(
            "player: subtitles (load): original audio -> full Russian -> 'Русские (полные)' [ru]")));
        QCOMPARE(sidNow(m_player), full);
        QCOMPARE(m_ctl->chosenSid(), int(full));
        QVERIFY(log.contains(QStringLiteral("player: dub 'Оригинал' -> aid 2")));

        // Both external .ass files become selectable tracks, once each.
        QTRY_COMPARE_WITH_TIMEOUT(subTracks(*m_ctl).external.size(), 2, svd::test::waitMs(20000));
        subs = subTracks(*m_ctl);
        QVERIFY(subs.externalFiles.contains(m_ctl->externalSubtitleUri(2)));
        QVERIFY(subs.externalFiles.contains(m_ctl->externalSubtitleUri(3)));
        QVERIFY(m_ctl->externalSubtitleUri(0).isEmpty()); // embedded
        QVERIFY(m_ctl->externalSubtitleUri(9).isEmpty());
        QCOMPARE(sidNow(m_player), full); // "auto" adds do not override the decision
        QCOMPARE(log.count(QStringLiteral("player: attaching 2 subtitle file(s) as selectable tracks")), 1);

        // Embedded dub: the aid changes and the switch is confirmed.
        QVERIFY(m_ctl->selectDub(QStringLiteral("AniDub")));
        QTRY_COMPARE_WITH_TIMEOUT(switched.count(), 1, svd::test::waitMs(30000));
        QCOMPARE(switched.last().at(0).toString(), QStringLiteral("anidub"));
        QVERIFY(switched.last().at(1).toDouble() > 0);
        QVERIFY(switched.last().at(2).toBool());
        QCOMPARE(aidNow(m_player), 1LL);
        QCOMPARE(m_ctl->currentDubId(), QStringLiteral("anidub"));
        QVERIFY(log.contains(QStringLiteral(
            "player: subtitles (dub change): dub -> Russian signs only -> 'Русские (надписи)' [ru]")));
        QCOMPARE(sidNow(m_player), signs);

        // Selecting a listed external subtitle re-uses its track.
        QVERIFY(m_ctl->selectSubtitle(2));
        QCOMPARE(sidNow(m_player),
                 subs.external.at(subs.externalFiles.indexOf(m_ctl->externalSubtitleUri(2))));
        QCOMPARE(subTracks(*m_ctl).external.size(), 2);

        m_ctl->setSubtitlePreference(QStringLiteral("rus"));
        QCOMPARE(sidNow(m_player), full);

        // External dub: added with audio-add, confirmed by the position moving on.
        QVERIFY(m_ctl->selectDub(QStringLiteral("StudioBand")));
        QTRY_COMPARE_WITH_TIMEOUT(switched.count(), 2, svd::test::waitMs(60000));
        QCOMPARE(switched.last().at(0).toString(), QStringLiteral("studioband"));
        QVERIFY(switched.last().at(2).toBool());
        QVERIFY(log.contains(QStringLiteral("player: audio-add done after ")));
        const long long external = aidNow(m_player);
        QVERIFY(external > 2);
        QCOMPARE(m_ctl->unlistedAudioTracks(), QList<long long>());
        QCOMPARE(sidNow(m_player), full); // a set preference is kept across the switch

        // "Off" stays off across dub changes.
        m_ctl->setSubtitlePreference(QStringLiteral("Off"));
        QCOMPARE(sidNow(m_player), 0LL);
        QCOMPARE(m_ctl->chosenSid(), 0);
        QVERIFY(m_ctl->selectDub(QStringLiteral("original")));
        QTRY_COMPARE_WITH_TIMEOUT(switched.count(), 3, svd::test::waitMs(30000));
        QVERIFY(switched.last().at(2).toBool());
        QCOMPARE(sidNow(m_player), 0LL);

        // The user's own pick becomes the preference.
        QVERIFY(m_ctl->setSubtitleTrack(int(signs)));
        QCOMPARE(m_ctl->subtitlePreference(), QStringLiteral("Надписи"));
        QCOMPARE(sidNow(m_player), signs);
        QVERIFY(!m_ctl->setSubtitleTrack(99));
        QVERIFY(m_ctl->setSubtitleTrack(0));
        QCOMPARE(m_ctl->subtitlePreference(), QStringLiteral("off"));
        QCOMPARE(sidNow(m_player), 0LL);

        // Kept open on its last frame, the file cannot play on: a switch there is done once its
        // track is selected (a slow run used to reach the end here and wait out the limit).
        m_player.command({QStringLiteral("seek"), QStringLiteral("100"), QStringLiteral("absolute-percent")});
        QTRY_VERIFY_WITH_TIMEOUT(m_player.getProp(QStringLiteral("eof-reached")).toBool(), svd::test::waitMs(20000));
        QVERIFY(m_ctl->selectDub(QStringLiteral("AniDub")));
        QTRY_COMPARE_WITH_TIMEOUT(switched.count(), 4, svd::test::waitMs(20000));
        QVERIFY(switched.last().at(2).toBool());
        QCOMPARE(aidNow(m_player), 1LL);
        m_ctl->stop();
    }

    // An edited description of the same file: a dub whose track number does not
    // exist maps by language, a signs label counts without the forced flag, an
    // external dub whose file is missing fails at once.
    void edgesOfTheSourceDescription()
    {
        QJsonObject src = m_good;
        QJsonArray subs;
        for (const QJsonValue &v : src.value(QStringLiteral("subtitles")).toArray()) {
            QJsonObject s = v.toObject();
            s.insert(QStringLiteral("isForced"), false);
            subs.append(s);
        }
        src.insert(QStringLiteral("subtitles"), subs);
        QJsonArray dubs;
        for (const QJsonValue &v : src.value(QStringLiteral("dubs")).toArray()) {
            QJsonObject d = v.toObject();
            const QString id = d.value(QStringLiteral("id")).toString();
            if (id == QLatin1String("anidub"))
                d.insert(QStringLiteral("trackNo"), 3);
            if (id == QLatin1String("studioband")) {
                d.insert(QStringLiteral("audioFileIndex"), 99);
                d.insert(QStringLiteral("audioFilePath"), QStringLiteral("nowhere/missing.mka"));
            }
            if (id != QLatin1String("original"))
                dubs.append(d);
        }
        src.insert(QStringLiteral("dubs"), dubs);
        m_backend.setEpisode(kAnimeEdited, 1, episodeDoc(kAnimeEdited, {src}));

        QSignalSpy started(m_ctl.get(), &PlaybackController::playbackStarted);
        QSignalSpy switched(m_ctl.get(), &PlaybackController::dubSwitched);
        LogMark log;
        m_ctl->play(kAnimeEdited, 1, QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, svd::test::waitMs(40000));
        QVERIFY(log.contains(QStringLiteral("player: dub 'AniDub' -> aid 1")));
        QCOMPARE(aidNow(m_player), 1LL);
        QVERIFY(!m_ctl->currentDubIsOriginal());
        QVERIFY(log.contains(QStringLiteral(
            "player: subtitles (load): dub -> Russian signs only -> 'Русские (надписи)' [ru]")));
        QCOMPARE(sidNow(m_player), subTracks(*m_ctl).byTitle.value(QStringLiteral("Надписи")));
        // The Japanese track is mapped by no dub of this description.
        QCOMPARE(m_ctl->unlistedAudioTracks(), QList<long long>{2});

        QVERIFY(!m_ctl->selectDub(QStringLiteral("studioband")));
        QCOMPARE(switched.count(), 1);
        QCOMPARE(switched.last().at(0).toString(), QStringLiteral("studioband"));
        QCOMPARE(switched.last().at(1).toDouble(), 0.0);
        QVERIFY(!switched.last().at(2).toBool());
        QVERIFY(!m_ctl->selectDub(QStringLiteral("no such dub")));
        QCOMPARE(switched.count(), 1);
        m_ctl->stop();
    }

    void languagesAndSignsLabels()
    {
        const QList<QPair<QString, QString>> langs = {
            {QStringLiteral(" RUS "), QStringLiteral("ru")}, {QStringLiteral("ru-RU"), QStringLiteral("ru")},
            {QStringLiteral("jpn"), QStringLiteral("ja")},   {QStringLiteral("jp"), QStringLiteral("ja")},
            {QStringLiteral("eng"), QStringLiteral("en")},   {QStringLiteral("ger"), QStringLiteral("ge")},
            {QStringLiteral("x"), QStringLiteral("x")},      {QString(), QString()}};
        for (const auto &[in, out] : langs)
            QCOMPARE(PlaybackController::normalizeLang(in), out);
        for (const QString &label : {QStringLiteral("Русские НАДПИСИ"), QStringLiteral("Signs & Songs"),
                                     QStringLiteral("English (Forced)"), QStringLiteral("Форсированные")})
            QVERIFY2(PlaybackController::isSignsLabel(label), qPrintable(label));
        QVERIFY(!PlaybackController::isSignsLabel(QStringLiteral("Русские (полные)")));
    }

private:
    QTemporaryDir m_tmp;
    test::GeneratedEpisodes m_gen;
    QJsonObject m_good;
    std::unique_ptr<swarm::Seeder> m_seeder;
    TestBackend m_backend;
    std::unique_ptr<ApiProvider> m_provider;
    std::unique_ptr<TorrentEngine> m_engine;
    MpvPlayer m_player;
    std::unique_ptr<PlaybackController> m_ctl;
};

SVD_REGISTER_TEST(TestTracks)

#include "tst_tracks.moc"
