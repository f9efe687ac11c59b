#include "tests/sources/tst_generated.h"

#include "sources/apiprovider.h"
#include "sources/fixtureprovider.h"
#include "tests/common/genepisodes.h"
#include "tests/sources/probes.h"
#include "tools/backend/testbackend.h"

#include <libtorrent/torrent_info.hpp>

#include <QFileInfo>
#include <QTest>

#include <memory>

using namespace svd;

namespace {

const QStringList kArgs{QStringLiteral("--episodes"), QStringLiteral("2"), QStringLiteral("--first-episode"),
                        QStringLiteral("3"), QStringLiteral("--sources"), QStringLiteral("dead:256:dead,good:2048"),
                        QStringLiteral("--duration"), QStringLiteral("6"), QStringLiteral("--height"),
                        QStringLiteral("240"), QStringLiteral("--video-kbps"), QStringLiteral("300"),
                        QStringLiteral("--announce"), QStringLiteral("http://127.0.0.1:6969/announce")};

std::shared_ptr<const lt::torrent_info> parseTorrent(const QByteArray &bytes)
{
    lt::error_code ec;
    auto ti = std::make_shared<lt::torrent_info>(bytes.constData(), int(bytes.size()), ec);
    return ec ? nullptr : ti;
}

QString ltPath(const lt::torrent_info &ti, int index)
{
    return QString::fromStdString(ti.files().file_path(lt::file_index_t(index)));
}

} // namespace

void TestGenerated::fixtureMatchesTorrents()
{
    const test::GeneratedEpisodes gen = test::generateEpisodes(QStringLiteral("sources-basic"), kArgs);
    QVERIFY2(gen.ok(), qPrintable(gen.error));

    FixtureProvider fp({gen.fixturePath});
    QCOMPARE(fp.firstAnimeId(), qint64(900001));
    QCOMPARE(fp.episodes(900001), (QList<int>{3, 4}));
    QCOMPARE(fp.title(900001), QStringLiteral("Gen Test"));

    for (int ep : {3, 4}) {
        EpisodeProbe p;
        SVD_FETCH(p, fp.fetchEpisode(900001, ep, p.callback()));
        QCOMPARE(p.value.sources.size(), 2);
        QCOMPARE(p.value.sources[0].id, QStringLiteral("dead")); // nobody seeds the first one
        QCOMPARE(p.value.sources[1].id, QStringLiteral("good"));
        QCOMPARE(p.value.sources[0].pieceLength, qint64(256 * 1024));
        QCOMPARE(p.value.sources[1].pieceLength, qint64(2048 * 1024));
        QVERIFY(p.value.sources[0].infoHash != p.value.sources[1].infoHash);

        for (const SourceInfo &s : p.value.sources) {
            TorrentProbe t;
            SVD_FETCH(t, fp.fetchTorrent(s, t.callback()));
            QVERIFY2(t.error.isEmpty(), qPrintable(t.error));
            const auto ti = parseTorrent(t.bytes);
            QVERIFY(ti);
            const lt::sha1_hash v1 = ti->info_hashes().v1;
            QCOMPARE(QString::fromLatin1(QByteArray(v1.data(), int(v1.size())).toHex()), s.infoHash);
            QVERIFY(!ti->info_hashes().has_v2());
            QCOMPARE(qint64(ti->piece_length()), s.pieceLength);
            QCOMPARE(qint64(ti->total_size()), s.totalSize);
            QCOMPARE(ti->num_files(), 8); // 2 episodes x (video, dub, two subtitles)
            QCOMPARE(ltPath(*ti, s.fileIndex), s.filePath);
            QVERIFY(s.filePath.endsWith(QStringLiteral("Gen Test - 0%1.mkv").arg(ep)));
            QCOMPARE(qint64(ti->files().file_size(lt::file_index_t(s.fileIndex))), s.fileSize);
            QCOMPARE(ti->trackers().size(), size_t(1));
            QCOMPARE(ti->trackers()[0].url, std::string("http://127.0.0.1:6969/announce"));
            QVERIFY(s.magnet.contains(QStringLiteral("&tr=http")));

            QCOMPARE(s.dubs.size(), 3);
            QCOMPARE(s.dubs[0].origin, QStringLiteral("embedded"));
            QCOMPARE(s.dubs[0].trackNo, 1);
            QCOMPARE(s.dubs[1].kind, QStringLiteral("original"));
            QCOMPARE(s.dubs[1].lang, QStringLiteral("jpn"));
            QCOMPARE(s.dubs[2].origin, QStringLiteral("external"));
            QCOMPARE(ltPath(*ti, s.dubs[2].audioFileIndex), s.dubs[2].audioFilePath);
            QVERIFY(s.dubs[2].audioFilePath.endsWith(QStringLiteral(".mka")));
            QCOMPARE(s.subtitles.size(), 4);
            QVERIFY(s.subtitles[3].isForced);
            QCOMPARE(ltPath(*ti, s.subtitles[3].fileIndex), s.subtitles[3].filePath);
            QVERIFY(!s.subtitles[0].isForced);
            QVERIFY(s.subtitles[1].isForced);
            QCOMPARE(s.subtitles[2].origin, QStringLiteral("external"));
            QCOMPARE(ltPath(*ti, s.subtitles[2].fileIndex), s.subtitles[2].filePath);
        }
        // Seed content exists for the live source only, laid out as in the torrent.
        const SourceInfo &good = p.value.sources[1];
        QCOMPARE(QFileInfo(gen.seedDir(good.infoHash) + QLatin1Char('/') + good.filePath).size(), good.fileSize);
        QVERIFY(!QFileInfo::exists(gen.seedDir(p.value.sources[0].infoHash)));
    }
}

void TestGenerated::servedByBackend()
{
    const test::GeneratedEpisodes gen = test::generateEpisodes(QStringLiteral("sources-basic"), kArgs);
    QVERIFY2(gen.ok(), qPrintable(gen.error));
    TestBackend backend;
    QString error;
    QVERIFY2(backend.loadFixtures(gen.fixturePath, &error), qPrintable(error));
    QVERIFY(backend.listen());
    ApiProvider api(backend.baseUrl());

    EpisodeProbe p;
    SVD_FETCH(p, api.fetchEpisode(900001, 4, p.callback()));
    QCOMPARE(p.value.sources.size(), 2);
    const SourceInfo &good = p.value.sources[1];
    QCOMPARE(good.torrentUrl, QStringLiteral("/api/torrents/%1/file").arg(good.infoHash));
    TorrentProbe t;
    SVD_FETCH(t, api.fetchTorrent(good, t.callback()));
    QVERIFY2(t.error.isEmpty(), qPrintable(t.error));
    QFile f(gen.torrentPath(good.infoHash));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(t.bytes, f.readAll());

    EpisodeProbe missing;
    SVD_FETCH(missing, api.fetchEpisode(900001, 5, missing.callback()));
    QCOMPARE(missing.value.error, QStringLiteral("404"));
}

void TestGenerated::regenerationIsIdentical()
{
    const test::GeneratedEpisodes a = test::generateEpisodes(QStringLiteral("sources-basic"), kArgs);
    QStringList forced = kArgs;
    forced << QStringLiteral("--force");
    const test::GeneratedEpisodes b = test::generateEpisodes(QStringLiteral("sources-again"), forced);
    QVERIFY2(a.ok() && b.ok(), qPrintable(a.error + b.error));
    QCOMPARE(a.fixture, b.fixture);
    const QString hash = b.source(3, QStringLiteral("good")).value(QLatin1String("infoHash")).toString();
    QFile fa(a.torrentPath(hash));
    QFile fb(b.torrentPath(hash));
    QVERIFY(fa.open(QIODevice::ReadOnly) && fb.open(QIODevice::ReadOnly));
    QCOMPARE(fa.readAll(), fb.readAll());
}
