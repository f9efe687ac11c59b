#include "tests/sources/tst_providers.h"

#include "base/log.h"
#include "sources/apiprovider.h"
#include "sources/chainprovider.h"
#include "sources/fixtureprovider.h"
#include "sources/providerchain.h"
#include "tests/sources/probes.h"
#include "tools/backend/testbackend.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>

using namespace svd;

namespace {

const QByteArray kTorrent = "d8:announce0:4:infod4:name1:x12:piece lengthi16384eee";
const QString kHash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

QJsonObject episodeDoc(const QString &sourceId, const QString &hash = kHash)
{
    return QJsonObject{{QStringLiteral("title"), QStringLiteral("T")},
                       {QStringLiteral("sources"),
                        QJsonArray{QJsonObject{{QStringLiteral("id"), sourceId}, {QStringLiteral("infoHash"), hash}}}}};
}

SourceInfo sourceWith(const QString &torrentUrl, const QString &hash = kHash)
{
    SourceInfo s;
    s.id = QStringLiteral("s");
    s.infoHash = hash;
    s.torrentUrl = torrentUrl;
    return s;
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when `probe` goes away
}

} // namespace

void TestProviders::init()
{
    m_tmp = new QTemporaryDir;
    m_backend = new TestBackend;
    QVERIFY(m_backend->listen());
}

void TestProviders::cleanup()
{
    delete m_backend;
    m_backend = nullptr;
    delete m_tmp;
    m_tmp = nullptr;
}

QString TestProviders::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_tmp->filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        qFatal("cannot write test file");
    return path;
}

void TestProviders::apiEpisodeRequestAndAnswer()
{
    m_backend->setEpisode(5, 2, episodeDoc(QStringLiteral("a")));
    ApiProvider api(m_backend->baseUrl());
    QCOMPARE(api.describe(), QStringLiteral("api ") + m_backend->baseUrl().toString());
    QCOMPARE(api.transferTimeout(), 20000);

    EpisodeProbe p;
    SVD_FETCH(p, api.fetchEpisode(5, 2, p.callback()));
    // Missing animeId/episode in the answer are filled from the request.
    QCOMPARE(p.value.animeId, qint64(5));
    QCOMPARE(p.value.episode, 2);
    QCOMPARE(p.value.sources.size(), 1);
    QCOMPARE(p.value.sources[0].id, QStringLiteral("a"));
    QVERIFY(p.value.sources[0].baseDir.isEmpty());
    QVERIFY(p.value.error.isEmpty());

    const QList<HttpRequest> reqs = m_backend->requests();
    QCOMPARE(reqs.size(), 1);
    QCOMPARE(reqs[0].method, QByteArray("GET"));
    QCOMPARE(reqs[0].path(), QStringLiteral("/api/anime/5/torrents"));
    QCOMPARE(reqs[0].query(QStringLiteral("episode")), QStringLiteral("2"));
    QCOMPARE(QString::fromUtf8(reqs[0].header("User-Agent")), nativeUserAgent());
    QCOMPARE(reqs[0].header("Accept"), QByteArray("application/json"));

    // Values in the answer win over the asked ones.
    QJsonObject other = episodeDoc(QStringLiteral("b"));
    other.insert(QStringLiteral("animeId"), 77);
    other.insert(QStringLiteral("episode"), 9);
    m_backend->setEpisode(5, 3, other);
    EpisodeProbe q;
    SVD_FETCH(q, api.fetchEpisode(5, 3, q.callback()));
    QCOMPARE(q.value.animeId, qint64(77));
    QCOMPARE(q.value.episode, 9);
}

void TestProviders::apiEpisodeErrors()
{
    ApiProvider api(m_backend->baseUrl());
    const QString base = m_backend->baseUrl().toString();

    EpisodeProbe notFound;
    SVD_FETCH(notFound, api.fetchEpisode(1, 1, notFound.callback()));
    QCOMPARE(notFound.value.error, QStringLiteral("404"));
    QCOMPARE(notFound.value.animeId, qint64(1));
    QCOMPARE(notFound.value.episode, 1);
    QVERIFY(notFound.value.sources.isEmpty());

    m_backend->setFault(QStringLiteral("/api/anime/2/"), HttpFault{HttpFault::ServerError, 0});
    EpisodeProbe server;
    SVD_FETCH(server, api.fetchEpisode(2, 1, server.callback()));
    QVERIFY2(server.value.error.startsWith(base + QStringLiteral("/api/anime/2/torrents?episode=1: ")),
             qPrintable(server.value.error));
    QCOMPARE(server.value.animeId, qint64(2));

    m_backend->addHandler([](const HttpRequest &r) -> std::optional<HttpResponse> {
        if (r.path() == QLatin1String("/api/anime/3/torrents"))
            return HttpResponse::bytes("{\"sources\": [", "application/json");
        if (r.path() == QLatin1String("/api/anime/4/torrents"))
            return HttpResponse::bytes("[{\"sources\":[{\"id\":1}]}]", "application/json");
        return std::nullopt;
    });
    EpisodeProbe bad;
    SVD_FETCH(bad, api.fetchEpisode(3, 1, bad.callback()));
    QVERIFY2(bad.value.error.startsWith(QStringLiteral("bad JSON: ")), qPrintable(bad.value.error));
    QVERIFY(bad.value.error.size() > 10);
    QCOMPARE(bad.value.animeId, qint64(3));

    // An array document is no error, just nothing.
    EpisodeProbe array;
    SVD_FETCH(array, api.fetchEpisode(4, 6, array.callback()));
    QVERIFY(array.value.sources.isEmpty());
    QVERIFY(array.value.error.isEmpty());
    QCOMPARE(array.value.animeId, qint64(4));
    QCOMPARE(array.value.episode, 6);

    QUrl closed = m_backend->baseUrl();
    closed.setPort(closedPort());
    ApiProvider down(closed);
    EpisodeProbe refused;
    SVD_FETCH(refused, down.fetchEpisode(8, 1, refused.callback()));
    QVERIFY2(refused.value.error.startsWith(closed.toString() + QStringLiteral("/api/anime/8/torrents?episode=1: ")),
             qPrintable(refused.value.error));
}

void TestProviders::apiTimeoutAndRedirect()
{
    ApiProvider api(m_backend->baseUrl());
    api.setTransferTimeout(300);
    m_backend->setFault(QStringLiteral("/api/anime/1/"), HttpFault{HttpFault::Hang, 0});
    EpisodeProbe hang;
    QElapsedTimer clock;
    clock.start();
    SVD_FETCH(hang, api.fetchEpisode(1, 1, hang.callback()));
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY2(hang.value.error.startsWith(m_backend->baseUrl().toString() + QStringLiteral("/api/anime/1/torrents")),
             qPrintable(hang.value.error));

    // A slow answer inside the time-out still arrives.
    m_backend->setEpisode(2, 1, episodeDoc(QStringLiteral("slow")));
    m_backend->setFault(QStringLiteral("/api/anime/2/"), HttpFault{HttpFault::None, 100});
    EpisodeProbe slow;
    SVD_FETCH(slow, api.fetchEpisode(2, 1, slow.callback()));
    QCOMPARE(slow.value.sources.size(), 1);

    // Redirects on the same server are followed; a redirect to a missing
    // episode ends as the plain "404".
    m_backend->setEpisode(3, 1, episodeDoc(QStringLiteral("moved")));
    m_backend->addHandler([](const HttpRequest &r) -> std::optional<HttpResponse> {
        if (r.path() == QLatin1String("/api/anime/30/torrents"))
            return HttpResponse::redirect("/api/anime/3/torrents?episode=1");
        if (r.path() == QLatin1String("/api/anime/40/torrents"))
            return HttpResponse::redirect("/api/anime/404/torrents?episode=1", 301);
        return std::nullopt;
    });
    EpisodeProbe moved;
    SVD_FETCH(moved, api.fetchEpisode(30, 1, moved.callback()));
    QCOMPARE(moved.value.sources.size(), 1);
    QCOMPARE(moved.value.sources[0].id, QStringLiteral("moved"));
    EpisodeProbe gone;
    SVD_FETCH(gone, api.fetchEpisode(40, 1, gone.callback()));
    QCOMPARE(gone.value.error, QStringLiteral("404"));
}

void TestProviders::apiTorrentUrlChoice()
{
    const QUrl base = m_backend->baseUrl();
    ApiProvider api(base.resolved(QUrl(QStringLiteral("/ignored/prefix/"))));
    m_backend->setTorrent(kHash, kTorrent);
    m_backend->addHandler([](const HttpRequest &r) -> std::optional<HttpResponse> {
        if (r.path() == QLatin1String("/x/y.torrent") || r.path() == QLatin1String("/abs/z.torrent") ||
            r.path() == QLatin1String("/ignored/prefix/rel.torrent"))
            return HttpResponse::bytes(kTorrent, "application/x-bittorrent");
        return std::nullopt;
    });

    struct Case {
        QString torrentUrl;
        QString expectedPath;
    };
    const QString absolute = base.toString() + QStringLiteral("/abs/z.torrent");
    const QList<Case> cases{
        {absolute, QStringLiteral("/abs/z.torrent")},
        {QStringLiteral("/x/y.torrent"), QStringLiteral("/x/y.torrent")},
        {QStringLiteral("rel.torrent"), QStringLiteral("/ignored/prefix/rel.torrent")},
        {QString(), QStringLiteral("/api/torrents/") + kHash + QStringLiteral("/file")},
    };
    for (const Case &c : cases) {
        m_backend->clearRequests();
        TorrentProbe p;
        SVD_FETCH(p, api.fetchTorrent(sourceWith(c.torrentUrl), p.callback()));
        QVERIFY2(p.error.isEmpty(), qPrintable(p.error));
        QCOMPARE(p.bytes, kTorrent);
        QCOMPARE(m_backend->requests().size(), 1);
        const HttpRequest r = m_backend->requests().first();
        QCOMPARE(r.path(), c.expectedPath);
        QCOMPARE(r.header("Accept"), QByteArray("application/x-bittorrent"));
        QCOMPARE(QString::fromUtf8(r.header("User-Agent")), nativeUserAgent());
    }

    // The backend names the address: nothing but the web may be read, neither
    // directly nor through a redirect.
    m_backend->addHandler([](const HttpRequest &r) -> std::optional<HttpResponse> {
        if (r.path() == QLatin1String("/to-file.torrent"))
            return HttpResponse::redirect("file:///dev/zero");
        return std::nullopt;
    });
    const QStringList local{QStringLiteral("file:///dev/zero"), QStringLiteral("data:,d4:infodee"),
                            QStringLiteral("qrc:/web/test.html"), QStringLiteral("/to-file.torrent")};
    for (const QString &torrentUrl : local) {
        m_backend->clearRequests();
        TorrentProbe p;
        SVD_FETCH(p, api.fetchTorrent(sourceWith(torrentUrl), p.callback()));
        QVERIFY(p.bytes.isEmpty());
        const QString scheme = torrentUrl.section(QLatin1Char(':'), 0, 0);
        if (torrentUrl.startsWith(QLatin1Char('/')))
            QVERIFY2(p.error.startsWith(base.toString() + torrentUrl + QStringLiteral(": ")),
                     qPrintable(p.error));
        else
            QCOMPARE(p.error, QStringLiteral(".torrent address scheme '%1' not allowed (http/https only): %2")
                                  .arg(scheme, torrentUrl));
    }
}

void TestProviders::apiTorrentBodyChecks()
{
    ApiProvider api(m_backend->baseUrl());
    const QString url = m_backend->baseUrl().toString() + QStringLiteral("/api/torrents/") + kHash + QStringLiteral("/file");
    m_backend->setTorrent(kHash, kTorrent);

    const QList<HttpFault::Kind> notTorrent{HttpFault::Html, HttpFault::EmptyBody};
    for (HttpFault::Kind kind : notTorrent) {
        m_backend->setFault(QStringLiteral("/api/torrents/"), HttpFault{kind, 0});
        TorrentProbe p;
        SVD_FETCH(p, api.fetchTorrent(sourceWith(QString()), p.callback()));
        QCOMPARE(p.error, QStringLiteral("not a .torrent: ") + url);
        QVERIFY(p.bytes.isEmpty());
    }

    const QList<HttpFault::Kind> broken{HttpFault::ServerError, HttpFault::TruncatedBody};
    for (HttpFault::Kind kind : broken) {
        m_backend->setFault(QStringLiteral("/api/torrents/"), HttpFault{kind, 0});
        TorrentProbe p;
        SVD_FETCH(p, api.fetchTorrent(sourceWith(QString()), p.callback()));
        QVERIFY2(p.error.startsWith(url + QStringLiteral(": ")), qPrintable(p.error));
        QVERIFY(p.bytes.isEmpty());
    }
    m_backend->clearFaults();

    TorrentProbe missing;
    SVD_FETCH(missing, api.fetchTorrent(sourceWith(QString(), QStringLiteral("ff")), missing.callback()));
    QVERIFY2(missing.error.startsWith(m_backend->baseUrl().toString() + QStringLiteral("/api/torrents/ff/file: ")),
             qPrintable(missing.error));

    api.setTransferTimeout(300);
    m_backend->setFault(QStringLiteral("/api/torrents/"), HttpFault{HttpFault::Hang, 0});
    TorrentProbe hang;
    SVD_FETCH(hang, api.fetchTorrent(sourceWith(QString()), hang.callback()));
    QVERIFY2(hang.error.startsWith(url + QStringLiteral(": ")), qPrintable(hang.error));
    m_backend->clearFaults();

    // A body past the cap is refused.
    QCOMPARE(ApiProvider::kMaxTorrentBytes, qint64(16 * 1024 * 1024));
    api.setMaxTorrentBytes(kTorrent.size() - 1);
    TorrentProbe big;
    SVD_FETCH(big, api.fetchTorrent(sourceWith(QString()), big.callback()));
    QCOMPARE(big.error,
             QStringLiteral(".torrent larger than %1 bytes: %2").arg(kTorrent.size() - 1).arg(url));
    QVERIFY(big.bytes.isEmpty());
    api.setMaxTorrentBytes(kTorrent.size());
    TorrentProbe fits;
    SVD_FETCH(fits, api.fetchTorrent(sourceWith(QString()), fits.callback()));
    QCOMPARE(fits.bytes, kTorrent);
}

void TestProviders::fixtureFileForms()
{
    // Wrapped: file-level id and title; an episode's own id is kept.
    const QString wrapped = writeFile(QStringLiteral("wrapped.json"), R"({"animeId": 10, "fixture": {"title": "Wrapped"},
        "episodes": [{"episode": 3, "sources": [{"id": "x"}]}, {"episode": 1, "title": "Own"},
                     {"animeId": 11, "episode": 2}, 5]})");
    // Bare array: the first episode with an id names the file; later ones without inherit it.
    const QString array = writeFile(QStringLiteral("array.json"),
                                    R"([{"episode": 1}, {"animeId": 20, "episode": 2}, {"episode": 4}])");
    // A single episode object.
    const QString single = writeFile(QStringLiteral("single.json"), R"({"animeId": 30.9, "episode": 7, "title": "S"})");

    FixtureProvider fp({wrapped, array, single, m_tmp->filePath(QStringLiteral("absent.json"))});
    QCOMPARE(fp.describe(), QStringLiteral("fixtures (3 files)"));
    QCOMPARE(fp.firstAnimeId(), qint64(10));
    QCOMPARE(fp.episodes(10), (QList<int>{0, 1, 3}));
    QCOMPARE(fp.episodes(11), (QList<int>{2}));
    QCOMPARE(fp.title(10), QStringLiteral("Wrapped"));
    QCOMPARE(fp.episodes(20), (QList<int>{2, 4}));
    QCOMPARE(fp.episodes(0), (QList<int>{1})); // stored before the file had an id
    QCOMPARE(fp.episodes(30), (QList<int>{7}));
    QCOMPARE(fp.episodes(999), QList<int>());
    QCOMPARE(fp.title(999), QString());

    EpisodeProbe p;
    SVD_FETCH(p, fp.fetchEpisode(10, 3, p.callback()));
    QCOMPARE(p.value.title, QStringLiteral("Wrapped"));
    QCOMPARE(p.value.animeId, qint64(10));
    QCOMPARE(p.value.sources.size(), 1);
    QCOMPARE(p.value.sources[0].baseDir, QFileInfo(wrapped).absolutePath());
    EpisodeProbe own;
    SVD_FETCH(own, fp.fetchEpisode(10, 1, own.callback()));
    QCOMPARE(own.value.title, QStringLiteral("Own"));

    EpisodeProbe none;
    SVD_FETCH(none, fp.fetchEpisode(10, 42, none.callback()));
    QCOMPARE(none.value.animeId, qint64(10));
    QCOMPARE(none.value.episode, 42);
    QVERIFY(none.value.sources.isEmpty());
    QVERIFY(none.value.error.isEmpty());
}

void TestProviders::fixtureLoadErrors()
{
    FixtureProvider fp({});
    QString error;
    const QString absent = m_tmp->filePath(QStringLiteral("absent.json"));
    QCOMPARE(fp.loadFile(absent, &error), qint64(0));
    QCOMPARE(error, QStringLiteral("cannot open ") + absent);

    const QString broken = writeFile(QStringLiteral("broken.json"), "{\"animeId\": ");
    QCOMPARE(fp.loadFile(broken, &error), qint64(0));
    QVERIFY2(error.startsWith(broken + QStringLiteral(": ")) && error.size() > broken.size() + 2, qPrintable(error));

    const QString noId = writeFile(QStringLiteral("noid.json"), R"([{"episode": 1}, {"episode": 2}])");
    QCOMPARE(fp.loadFile(noId, &error), qint64(0));
    QCOMPARE(error, noId + QStringLiteral(": no animeId"));
    QCOMPARE(fp.describe(), QStringLiteral("fixtures (0 files)"));
    QCOMPARE(fp.firstAnimeId(), qint64(0));
    QCOMPARE(fp.loadFile(noId, nullptr), qint64(0)); // a null error pointer is allowed

    const QString ok = writeFile(QStringLiteral("ok.json"), R"({"animeId": 6, "episode": 1})");
    QVERIFY(!fp.loadPath(noId, &error));
    QVERIFY(fp.loadPath(ok, &error));
    QCOMPARE(fp.firstAnimeId(), qint64(6));
    QCOMPARE(fp.loadedFiles(), QStringList{ok});
}

void TestProviders::fixtureLaterFileWinsAndFolders()
{
    writeFile(QStringLiteral("dir/b.json"), R"({"animeId": 1, "episode": 1, "sources": [{"id": "from-b"}]})");
    writeFile(QStringLiteral("dir/a.json"), R"({"animeId": 1, "episode": 1, "sources": [{"id": "from-a"}]})");
    writeFile(QStringLiteral("dir/c.txt"), R"({"animeId": 2, "episode": 1})");
    writeFile(QStringLiteral("dir/d.json"), "not json");
    QDir().mkpath(m_tmp->filePath(QStringLiteral("dir/sub.json")));

    FixtureProvider fp({m_tmp->filePath(QStringLiteral("dir"))});
    QCOMPARE(fp.describe(), QStringLiteral("fixtures (2 files)"));
    QCOMPARE(fp.episodes(2), QList<int>());
    EpisodeProbe p;
    SVD_FETCH(p, fp.fetchEpisode(1, 1, p.callback()));
    QCOMPARE(p.value.sources[0].id, QStringLiteral("from-b")); // name order: b after a

    const QString later = writeFile(QStringLiteral("later.json"), R"({"animeId": 1, "episode": 1, "sources": [{"id": "later"}]})");
    QCOMPARE(fp.loadFile(later, nullptr), qint64(1));
    EpisodeProbe q;
    SVD_FETCH(q, fp.fetchEpisode(1, 1, q.callback()));
    QCOMPARE(q.value.sources[0].id, QStringLiteral("later"));
}

void TestProviders::fixtureTorrentLookup()
{
    const QString fixture = writeFile(QStringLiteral("fx/f.json"), R"({"animeId": 1, "episode": 1})");
    const QString base = QFileInfo(fixture).absolutePath();
    writeFile(QStringLiteral("fx/torrents/") + kHash + QStringLiteral(".torrent"), kTorrent);
    writeFile(QStringLiteral("fx/rel/t.torrent"), "rel-bytes");
    const QString abs = writeFile(QStringLiteral("elsewhere/a b.torrent"), "abs-bytes");
    writeFile(QStringLiteral("fx/empty.torrent"), "");
    FixtureProvider fp({fixture});

    struct Case {
        QString torrentUrl;
        QByteArray bytes;
    };
    const QList<Case> cases{{QString(), kTorrent},
                            {QStringLiteral("rel/t.torrent"), "rel-bytes"},
                            {abs, "abs-bytes"},
                            {QUrl::fromLocalFile(abs).toString(), "abs-bytes"}};
    for (const Case &c : cases) {
        SourceInfo s = sourceWith(c.torrentUrl);
        s.baseDir = base;
        TorrentProbe p;
        SVD_FETCH(p, fp.fetchTorrent(s, p.callback()));
        QVERIFY2(p.error.isEmpty(), qPrintable(p.error));
        QCOMPARE(p.bytes, c.bytes); // content is not examined
    }

    SourceInfo missing = sourceWith(QString(), QStringLiteral("ab"));
    missing.baseDir = base;
    TorrentProbe m;
    SVD_FETCH(m, fp.fetchTorrent(missing, m.callback()));
    QCOMPARE(m.error, QStringLiteral("fixture torrent missing: ") + base + QStringLiteral("/torrents/ab.torrent"));
    QVERIFY(m.bytes.isEmpty());

    // An empty file would otherwise answer with neither bytes nor an error.
    SourceInfo empty = sourceWith(QStringLiteral("empty.torrent"));
    empty.baseDir = base;
    TorrentProbe e;
    SVD_FETCH(e, fp.fetchTorrent(empty, e.callback()));
    QVERIFY(e.bytes.isEmpty());
    QVERIFY(!e.error.isEmpty());
}

void TestProviders::chainFallThrough()
{
    const QString base = m_backend->baseUrl().toString();
    const QString fixture = writeFile(QStringLiteral("f.json"), R"({"animeId": 1, "episode": 1, "sources": [{"id": "fx"}]})");
    QUrl closed = m_backend->baseUrl();
    closed.setPort(closedPort());

    {
        // Fixtures have nothing for the episode, the backend says 404.
        ChainProvider chain({new FixtureProvider({fixture}), new ApiProvider(m_backend->baseUrl())});
        QCOMPARE(chain.describe(), QStringLiteral("fixtures (1 files) -> api ") + base);
        EpisodeProbe p;
        SVD_FETCH(p, chain.fetchEpisode(1, 2, p.callback()));
        QCOMPARE(p.value.error, QStringLiteral("api ") + base + QStringLiteral(": 404"));
        QCOMPARE(p.value.animeId, qint64(1));
        QCOMPARE(p.value.episode, 2);
    }
    {
        // Errors accumulate in order; a later provider with sources wins and
        // the earlier errors are dropped.
        auto *down = new ApiProvider(closed);
        auto *missing = new ApiProvider(m_backend->baseUrl());
        QJsonObject blocked = episodeDoc(QStringLiteral("late"));
        m_backend->setEpisode(7, 1, blocked);
        ChainProvider chain({down, missing, new FixtureProvider({fixture})});
        QCOMPARE(down->parent(), &chain);
        EpisodeProbe p;
        SVD_FETCH(p, chain.fetchEpisode(1, 1, p.callback()));
        QCOMPARE(p.value.sources.size(), 1);
        QCOMPARE(p.value.sources[0].id, QStringLiteral("fx"));
        QVERIFY(p.value.error.isEmpty());

        EpisodeProbe q;
        SVD_FETCH(q, chain.fetchEpisode(2, 1, q.callback()));
        const QStringList parts = q.value.error.split(QStringLiteral("; "));
        QCOMPARE(parts.size(), 2);
        QVERIFY2(parts[0].startsWith(QStringLiteral("api ") + closed.toString() + QStringLiteral(": ") + closed.toString() +
                                     QStringLiteral("/api/anime/2/torrents?episode=1: ")),
                 qPrintable(parts[0]));
        QCOMPARE(parts[1], QStringLiteral("api ") + base + QStringLiteral(": 404"));
    }
    {
        // Empty answers without error (and a blocked empty answer) add nothing.
        QJsonObject blocked{{QStringLiteral("blocked"), true}};
        m_backend->setEpisode(1, 5, blocked);
        ChainProvider chain({new FixtureProvider({fixture}), new ApiProvider(m_backend->baseUrl())});
        EpisodeProbe p;
        SVD_FETCH(p, chain.fetchEpisode(1, 5, p.callback()));
        QVERIFY(p.value.sources.isEmpty());
        QVERIFY(p.value.error.isEmpty());
        QVERIFY(!p.value.blocked);
    }
}

void TestProviders::chainRouting()
{
    const QString fixture = writeFile(QStringLiteral("f.json"),
                                      R"({"animeId": 1, "episode": 1, "sources": [{"id": "fx", "infoHash": ")" +
                                          kHash.toLatin1() + R"("}]})");
    writeFile(QStringLiteral("torrents/") + kHash + QStringLiteral(".torrent"), "fixture-bytes");
    m_backend->setTorrent(kHash, kTorrent);
    m_backend->setEpisode(2, 1, episodeDoc(QStringLiteral("api-src")));

    ChainProvider chain({new FixtureProvider({fixture}), new ApiProvider(m_backend->baseUrl())});
    EpisodeProbe fromFixture;
    SVD_FETCH(fromFixture, chain.fetchEpisode(1, 1, fromFixture.callback()));
    EpisodeProbe fromApi;
    SVD_FETCH(fromApi, chain.fetchEpisode(2, 1, fromApi.callback()));
    m_backend->clearRequests();

    // Same info-hash, different source ids: each goes where it came from.
    TorrentProbe a;
    SVD_FETCH(a, chain.fetchTorrent(fromFixture.value.sources[0], a.callback()));
    QCOMPARE(a.bytes, QByteArray("fixture-bytes"));
    QVERIFY(m_backend->requests().isEmpty());

    TorrentProbe b;
    SVD_FETCH(b, chain.fetchTorrent(fromApi.value.sources[0], b.callback()));
    QCOMPARE(b.bytes, kTorrent);
    QCOMPARE(m_backend->requests().size(), 1);

    // Never seen: the last provider (the backend) is asked.
    SourceInfo stranger = fromFixture.value.sources[0];
    stranger.id = QStringLiteral("other");
    TorrentProbe c;
    SVD_FETCH(c, chain.fetchTorrent(stranger, c.callback()));
    QCOMPARE(c.bytes, kTorrent);
    QCOMPARE(m_backend->requests().size(), 2);
    QCOMPARE(ChainProvider::sourceKey(stranger), QStringLiteral("other|") + kHash);
}

void TestProviders::chainWithoutProviders()
{
    ChainProvider chain({});
    QCOMPARE(chain.describe(), QString());
    EpisodeProbe p;
    SVD_FETCH(p, chain.fetchEpisode(4, 2, p.callback()));
    QCOMPARE(p.value.animeId, qint64(4));
    QCOMPARE(p.value.episode, 2);
    QVERIFY(p.value.error.isEmpty());
    TorrentProbe t;
    SVD_FETCH(t, chain.fetchTorrent(sourceWith(QString()), t.callback()));
    QCOMPARE(t.error, QStringLiteral("no provider"));
    QVERIFY(t.bytes.isEmpty());
}

void TestProviders::startupChain()
{
    const QUrl api = m_backend->baseUrl();
    const QString apiText = QStringLiteral("api ") + api.toString();
    const QString play = writeFile(QStringLiteral("play.json"), R"({"animeId": 3, "episode": 2})");
    writeFile(QStringLiteral("dir/a.json"), R"({"animeId": 4, "episode": 1})");
    writeFile(QStringLiteral("dir/bad.json"), "[");
    const QString dir = m_tmp->filePath(QStringLiteral("dir"));
    const QString absent = m_tmp->filePath(QStringLiteral("absent.json"));

    {
        // Never empty: the backend is asked even with --no-api and no fixtures.
        std::unique_ptr<ChainProvider> chain(buildProviderChain({}, QString(), false, api));
        QCOMPARE(chain->describe(), apiText);
    }
    {
        FixtureProvider *fp = nullptr;
        std::unique_ptr<ChainProvider> chain(buildProviderChain({dir, absent}, QString(), true, api, &fp));
        QVERIFY(fp);
        QCOMPARE(fp->parent(), chain.get());
        QCOMPARE(chain->describe(), QStringLiteral("fixtures (1 files) -> ") + apiText);
        QCOMPARE(fp->firstAnimeId(), qint64(4));
    }
    {
        // --play-fixture comes first and keeps the backend out.
        FixtureProvider *fp = nullptr;
        std::unique_ptr<ChainProvider> chain(buildProviderChain({dir}, play, true, api, &fp));
        QCOMPARE(chain->describe(), QStringLiteral("fixtures (2 files)"));
        QCOMPARE(fp->firstAnimeId(), qint64(3));
    }
    {
        // Only unusable fixtures and --no-api: the fixture provider stays, empty.
        FixtureProvider *fp = nullptr;
        std::unique_ptr<ChainProvider> chain(buildProviderChain({absent}, QString(), false, api, &fp));
        QCOMPARE(chain->describe(), QStringLiteral("fixtures (0 files)"));
    }
}
