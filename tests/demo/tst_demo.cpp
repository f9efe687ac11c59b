// The demo's own parts: the loopback tracker, the extra backend routes (with the
// program's real updater against the update endpoint) and the site catalogue
// that tools/demo.sh generates episodes from.
#include "base/log.h"
#include "tests/common/timescale.h"
#include "tools/backend/testbackend.h"
#include "tools/demo/demoroutes.h"
#include "tools/demo/tracker.h"
#include "update/crypto.h"
#include "update/updater.h"
#include "update/version.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace svd;
using svd::demo::Announce;
using svd::demo::Tracker;

namespace {

QByteArray peerId(int n)
{
    return QByteArray("-LT2080-") + QByteArray::number(n).rightJustified(12, '0');
}

// Percent-encodes like a BitTorrent client: unreserved characters stay, every other byte is %XX.
QByteArray clientEncode(const QByteArray &raw)
{
    return raw.toPercentEncoding("", "", '%');
}

QByteArray announceQuery(const QByteArray &hash, const QByteArray &id, int port, qint64 left,
                         const QByteArray &event = {})
{
    QByteArray q = "info_hash=" + clientEncode(hash) + "&peer_id=" + clientEncode(id) + "&port=" +
                   QByteArray::number(port) + "&uploaded=0&downloaded=0&left=" + QByteArray::number(left) +
                   "&compact=1&numwant=200";
    if (!event.isEmpty())
        q += "&event=" + event;
    return q;
}

// The request as the backend's parser builds it from the bytes on the wire.
HttpRequest wireRequest(const QByteArray &target)
{
    HttpRequest r;
    const HttpParse state = parseHttpRequest("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", &r);
    return state == HttpParse::Complete ? r : HttpRequest{};
}

// Reads "<key><int>" or "<key><len>:<bytes>" from a flat bencoded dictionary.
qint64 bencodedInt(const QByteArray &dict, const QByteArray &key)
{
    const QByteArray k = QByteArray::number(key.size()) + ':' + key + 'i';
    const qsizetype at = dict.indexOf(k);
    if (at < 0)
        return -1;
    const qsizetype start = at + k.size();
    return dict.mid(start, dict.indexOf('e', start) - start).toLongLong();
}

QByteArray bencodedString(const QByteArray &dict, const QByteArray &key)
{
    const QByteArray k = QByteArray::number(key.size()) + ':' + key;
    const qsizetype at = dict.indexOf(k);
    if (at < 0)
        return {};
    const qsizetype colon = dict.indexOf(':', at + k.size());
    const int len = dict.mid(at + k.size(), colon - at - k.size()).toInt();
    return dict.mid(colon + 1, len);
}

QList<int> compactPorts(const QByteArray &peers)
{
    QList<int> ports;
    for (qsizetype i = 0; i + 6 <= peers.size(); i += 6) {
        const auto *p = reinterpret_cast<const uchar *>(peers.constData() + i);
        if (p[0] == 127 && p[1] == 0 && p[2] == 0 && p[3] == 1)
            ports << qFromBigEndian<quint16>(p + 4);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

Announce announceOf(const QByteArray &hash, int id, int port, qint64 left, const QByteArray &event = {})
{
    Announce a;
    QByteArray error;
    if (!demo::parseAnnounce(announceQuery(hash, peerId(id), port, left, event), &a, &error))
        qFatal("test announce refused: %s", error.constData());
    return a;
}

QString siteDir()
{
    return qEnvironmentVariable("SVD_SOURCE_DIR") + QStringLiteral("/tools/demo/site");
}

} // namespace

class TestDemo : public QObject {
    Q_OBJECT
private slots:
    void trackerReadsBinaryHashesFromTheWire();
    void trackerRefusesMalformedAnnounces();
    void trackerSwarmMembership();
    void routesOverHttp();
    void updaterSeesUpToDate();
    void catalogueMatchesGeneratedEpisodes();
};

void TestDemo::trackerReadsBinaryHashesFromTheWire()
{
    // Every byte value appears in some info-hash, including '&', '=', '%', '+' and NUL,
    // and arrives unchanged through the HTTP parser and the URL.
    Tracker tracker;
    QSet<QString> sent;
    for (int first = 0; first < 256; first += 20) {
        QByteArray hash;
        for (int i = 0; i < 20; ++i)
            hash.append(char((first + i) & 0xff));
        const HttpRequest r = wireRequest("/announce?" + announceQuery(hash, peerId(first), 6881, 0));
        QCOMPARE(r.path(), QStringLiteral("/announce"));
        const std::optional<HttpResponse> answer = tracker.handle(r, 1.0);
        QVERIFY(answer);
        QVERIFY2(!answer->body.contains("failure"), answer->body.constData());
        sent.insert(QString::fromLatin1(hash.toHex()));
    }
    const QJsonObject stats = tracker.stats(1.0);
    const QStringList keys = stats.keys();
    QCOMPARE(QSet<QString>(keys.begin(), keys.end()), sent);
    QCOMPARE(stats.value(*sent.begin()).toObject().value(QLatin1String("seeders")).toInt(), 1);
}

void TestDemo::trackerRefusesMalformedAnnounces()
{
    Tracker tracker;
    const QByteArray hash(20, 'h');
    const QList<QByteArray> bad{
        "peer_id=" + peerId(1) + "&port=1",                                       // no hash
        "info_hash=" + clientEncode(QByteArray(19, 'h')) + "&peer_id=" + peerId(1) + "&port=1", // short hash
        "info_hash=" + clientEncode(hash) + "&peer_id=" + peerId(1),                 // no port
        "info_hash=" + clientEncode(hash) + "&peer_id=" + peerId(1) + "&port=70000", // port out of range
        "info_hash=" + clientEncode(hash) + "&port=1",                              // no peer id
    };
    for (const QByteArray &q : bad) {
        const std::optional<HttpResponse> answer = tracker.handle(wireRequest("/announce?" + q), 1.0);
        QVERIFY(answer);
        QVERIFY2(answer->body.startsWith("d14:failure reason"), q.constData());
    }
    QVERIFY(tracker.stats(1.0).isEmpty());
    QVERIFY(!tracker.handle(wireRequest("/api/anime/1/torrents?episode=1"), 1.0));
}

void TestDemo::trackerSwarmMembership()
{
    Tracker tracker(10);
    const QByteArray hash(20, '\x01');
    tracker.announce(announceOf(hash, 1, 7001, 0, "started"), 0);
    tracker.announce(announceOf(hash, 2, 7002, 0, "started"), 0);

    // A leecher gets both seeders, never itself.
    QByteArray answer = tracker.announce(announceOf(hash, 3, 7003, 1000, "started"), 1);
    QCOMPARE(compactPorts(bencodedString(answer, "peers")), (QList<int>{7001, 7002}));
    QCOMPARE(bencodedInt(answer, "complete"), 2);
    QCOMPARE(bencodedInt(answer, "incomplete"), 1);
    QCOMPARE(bencodedInt(answer, "interval"), 10);

    // A seeder restarted on the same port with a new peer id replaces its old entry.
    tracker.announce(announceOf(hash, 11, 7001, 0, "started"), 2);
    QCOMPARE(tracker.counts(hash, 2).seeders, 2);

    // Finishing the download makes the leecher a seeder.
    tracker.announce(announceOf(hash, 3, 7003, 0, "completed"), 3);
    QCOMPARE(tracker.counts(hash, 3).seeders, 3);
    QCOMPARE(tracker.counts(hash, 3).leechers, 0);

    // "stopped" leaves at once; silence for three intervals leaves later.
    answer = tracker.announce(announceOf(hash, 2, 7002, 0, "stopped"), 4);
    QCOMPARE(tracker.counts(hash, 4).seeders, 2);
    tracker.announce(announceOf(hash, 3, 7003, 0), 25);
    QCOMPARE(tracker.counts(hash, 33).seeders, 1); // 7001 last seen at 2
    answer = tracker.announce(announceOf(hash, 4, 7004, 1000), 33);
    QCOMPARE(compactPorts(bencodedString(answer, "peers")), (QList<int>{7003}));

    // The last peer leaving forgets the torrent.
    for (int id : {3, 4})
        tracker.announce(announceOf(hash, id, 7000 + id, 0, "stopped"), 34);
    QVERIFY(tracker.stats(34).isEmpty());
}

void TestDemo::routesOverHttp()
{
    TestBackend backend;
    Tracker tracker;
    demo::installDemoRoutes(&backend, &tracker, siteDir());
    backend.addStaticDir(QStringLiteral("/"), siteDir());
    QVERIFY(backend.listen());
    const QString base = backend.baseUrl().toString();

    QNetworkAccessManager nam;
    struct Got {
        int status = 0;
        QByteArray type;
        QByteArray body;
    };
    auto get = [&](const QString &path) {
        QNetworkReply *reply = nam.get(QNetworkRequest(QUrl(base + path)));
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!done.wait(svd::test::waitMs(10000)))
            return Got{};
        Got g{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
              reply->header(QNetworkRequest::ContentTypeHeader).toByteArray(), reply->readAll()};
        reply->deleteLater();
        return g;
    };

    QFile index(siteDir() + QStringLiteral("/index.html"));
    QVERIFY(index.open(QIODevice::ReadOnly));
    const QByteArray indexHtml = index.readAll();
    // Site routes of the single-page site all answer with its page; its files come as they are.
    for (const QString &route : {QStringLiteral("/"), QStringLiteral("/title/910001"),
                                 QStringLiteral("/title/910001/episode/2")}) {
        const Got g = get(route);
        QCOMPARE(g.status, 200);
        QCOMPARE(g.body, indexHtml);
        QVERIFY(g.type.startsWith("text/html"));
    }
    QVERIFY(get(QStringLiteral("/app.js")).type.startsWith("text/javascript"));
    QCOMPARE(get(QStringLiteral("/catalogue.json")).status, 200);
    QCOMPARE(get(QStringLiteral("/nothing-here")).status, 404);

    // Update endpoints.
    const Got update = get(QStringLiteral("/api/desktop/update?platform=linux&arch=x64&channel=stable&version=0.1.3"));
    QCOMPARE(update.status, 204);
    QVERIFY(update.body.isEmpty());
    QCOMPARE(get(QStringLiteral("/api/desktop/download/Sorvanta-Setup-9.9.9.exe")).status, 404);
    const Got latest = get(QStringLiteral("/api/desktop/latest?platform=linux&arch=%3Cb%3Ex"));
    QCOMPARE(latest.status, 200);
    const QString html = QString::fromUtf8(latest.body);
    QVERIFY(html.contains(QStringLiteral("последняя версия")));
    QVERIFY(html.contains(QString::fromLatin1(kAppVersion)));
    QVERIFY2(html.contains(QStringLiteral("linux/&lt;b&gt;x")) && !html.contains(QStringLiteral("<b>x")),
             "query text reaches the page unescaped");

    // The tracker is on the same port.
    QByteArray hash(20, '\x7f');
    const Got announced = get(QStringLiteral("/announce?") +
                              QString::fromLatin1(announceQuery(hash, peerId(5), 7005, 0, "started")));
    QCOMPARE(announced.status, 200);
    QCOMPARE(bencodedInt(announced.body, "complete"), 1);
    const QJsonObject stats = QJsonDocument::fromJson(get(QStringLiteral("/tracker/stats")).body).object();
    QCOMPARE(stats.value(QString::fromLatin1(hash.toHex())).toObject().value(QLatin1String("seeders")).toInt(), 1);
}

void TestDemo::updaterSeesUpToDate()
{
    // The program's updater, pointed at the demo backend as tools/demo.sh does with --update-url.
    TestBackend backend;
    Tracker tracker;
    demo::installDemoRoutes(&backend, &tracker, siteDir());
    QVERIFY(backend.listen());
    QTemporaryDir downloads;
    UpdaterConfig cfg;
    cfg.baseUrl = backend.baseUrl();
    cfg.publicKey = update::embeddedPublicKey();
    cfg.build = update::runningBuild(QStringLiteral("stable"));
    cfg.downloadDir = downloads.path();
    cfg.installInPlace = false;
    Updater updater(cfg);
    QSignalSpy checked(&updater, &Updater::checked);
    updater.check();
    QVERIFY(checked.wait(svd::test::waitMs(15000)));
    const auto result = checked.first().first().value<update::CheckResult>();
    QCOMPARE(result.kind, update::CheckResult::UpToDate);
    QCOMPARE(backend.requestsTo(QStringLiteral("/api/desktop/update")).size(), 1);
}

void TestDemo::catalogueMatchesGeneratedEpisodes()
{
    // The site links exactly the episodes tools/demo.sh generates, and ids are unique.
    QFile f(siteDir() + QStringLiteral("/catalogue.json"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QJsonParseError perr;
    const QJsonObject doc = QJsonDocument::fromJson(f.readAll(), &perr).object();
    QCOMPARE(perr.error, QJsonParseError::NoError);
    const QJsonArray titles = doc.value(QLatin1String("titles")).toArray();
    QVERIFY(titles.size() >= 3);
    QSet<qint64> ids;
    bool someFailover = false;
    bool someWithoutSources = false;
    for (const QJsonValue &v : titles) {
        const QJsonObject t = v.toObject();
        const qint64 id = t.value(QLatin1String("id")).toInteger();
        QVERIFY2(id > 0 && !ids.contains(id), qPrintable(QString::number(id)));
        ids.insert(id);
        QVERIFY(!t.value(QLatin1String("title")).toString().isEmpty());
        QList<int> linked;
        for (const QJsonValue &e : t.value(QLatin1String("episodes")).toArray())
            linked << e.toInt();
        QVERIFY(!linked.isEmpty());
        if (!t.contains(QLatin1String("gen"))) {
            someWithoutSources = true;
            continue;
        }
        const QJsonObject gen = t.value(QLatin1String("gen")).toObject();
        QList<int> made;
        for (int i = 0; i < gen.value(QLatin1String("episodes")).toInt(); ++i)
            made << gen.value(QLatin1String("firstEpisode")).toInt() + i;
        QCOMPARE(linked, made);
        const QStringList sources = gen.value(QLatin1String("sources")).toString().split(QLatin1Char(','));
        QVERIFY(!sources.last().endsWith(QLatin1String(":dead"))); // something must be playable
        someFailover = someFailover || sources.first().endsWith(QLatin1String(":dead"));
    }
    QVERIFY2(someFailover, "no title shows a failover from a source nobody seeds");
    QVERIFY2(someWithoutSources, "no title shows the fallback");
}

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
