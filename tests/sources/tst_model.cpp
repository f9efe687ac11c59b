#include "tests/sources/tst_model.h"

#include "sources/episodesources.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace svd;

namespace {

QJsonObject obj(const char *json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

SourceInfo src(const char *json)
{
    return SourceInfo::fromJson(obj(json), QStringLiteral("/base"));
}

} // namespace

void TestModel::numberAndTextRules_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("fileIndex");
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<int>("seeders");

    QTest::newRow("numeric id") << QByteArray(R"({"id":17})") << "17" << -1 << qint64(0) << 0;
    QTest::newRow("string id") << QByteArray(R"({"id":"17"})") << "17" << -1 << qint64(0) << 0;
    QTest::newRow("fractional id") << QByteArray(R"({"id":1.5})") << "1.5" << -1 << qint64(0) << 0;
    QTest::newRow("large id no exponent") << QByteArray(R"({"id":123456789012})") << "123456789012" << -1 << qint64(0) << 0;
    QTest::newRow("round million id") << QByteArray(R"({"id":1000000})") << "1000000" << -1 << qint64(0) << 0;
    QTest::newRow("tiny id") << QByteArray(R"({"id":1e-7})") << "0.0000001" << -1 << qint64(0) << 0;
    QTest::newRow("bool id") << QByteArray(R"({"id":true})") << "true" << -1 << qint64(0) << 0;
    QTest::newRow("null/object id") << QByteArray(R"({"id":null,"fileIndex":null})") << "" << -1 << qint64(0) << 0;
    QTest::newRow("index string") << QByteArray(R"({"fileIndex":"3"})") << "" << 3 << qint64(0) << 0;
    QTest::newRow("index junk string") << QByteArray(R"({"fileIndex":"x3"})") << "" << 0 << qint64(0) << 0;
    QTest::newRow("index 2.5") << QByteArray(R"({"fileIndex":2.5})") << "" << 0 << qint64(0) << 0;
    QTest::newRow("index beyond int32") << QByteArray(R"({"fileIndex":3000000000})") << "" << 0 << qint64(0) << 0;
    QTest::newRow("index string beyond int32") << QByteArray(R"({"fileIndex":"3000000000"})") << "" << 0 << qint64(0) << 0;
    QTest::newRow("index bool keeps default") << QByteArray(R"({"fileIndex":true})") << "" << -1 << qint64(0) << 0;
    QTest::newRow("size as string") << QByteArray(R"({"fileSize":"5"})") << "" << -1 << qint64(0) << 0;
    QTest::newRow("size 1.9e9") << QByteArray(R"({"fileSize":1.9e9})") << "" << -1 << qint64(1900000000) << 0;
    QTest::newRow("size truncated toward zero") << QByteArray(R"({"fileSize":-2.7})") << "" << -1 << qint64(-2) << 0;
    QTest::newRow("size beyond int64 clamps") << QByteArray(R"({"fileSize":1e30})") << "" << -1
                                              << std::numeric_limits<qint64>::max() << 0;
    QTest::newRow("seeders string") << QByteArray(R"({"seeders":"12"})") << "" << -1 << qint64(0) << 12;
    QTest::newRow("seeders null default 0") << QByteArray(R"({"seeders":null})") << "" << -1 << qint64(0) << 0;
}

void TestModel::numberAndTextRules()
{
    QFETCH(QByteArray, json);
    const SourceInfo s = SourceInfo::fromJson(QJsonDocument::fromJson(json).object(), QString());
    QTEST(s.id, "id");
    QTEST(int(s.fileIndex), "fileIndex");
    QTEST(s.fileSize, "fileSize");
    QTEST(int(s.seeders), "seeders");
}

void TestModel::textFieldsIgnoreOtherTypes()
{
    const SourceInfo s = src(R"({"provider":5,"label":true,"quality":null,"codec":["h264"],
                                 "score":"9","releaseGroup":{"a":1},"infoHash":7})");
    QVERIFY(s.provider.isEmpty());
    QVERIFY(s.label.isEmpty());
    QVERIFY(s.quality.isEmpty());
    QVERIFY(s.codec.isEmpty());
    QCOMPARE(s.score, 0.0);
    QVERIFY(s.releaseGroup.isEmpty());
    QVERIFY(s.infoHash.isEmpty());
    QVERIFY(s.magnet.isEmpty());
    QCOMPARE(s.baseDir, QStringLiteral("/base"));
}

void TestModel::magnetDerivation()
{
    const QString upper = QStringLiteral("ABCDEF0123456789ABCDEF0123456789ABCDEF01");
    SourceInfo s = SourceInfo::fromJson(QJsonObject{{QStringLiteral("infoHash"), upper}}, QString());
    QCOMPARE(s.infoHash, upper.toLower());
    QCOMPARE(s.magnet, QStringLiteral("magnet:?xt=urn:btih:") + upper.toLower());

    s = SourceInfo::fromJson(QJsonObject{{QStringLiteral("infoHash"), upper},
                                         {QStringLiteral("magnet"), QStringLiteral("magnet:?xt=urn:btih:KEEP")}},
                             QString());
    QCOMPARE(s.magnet, QStringLiteral("magnet:?xt=urn:btih:KEEP"));

    // A base32 hash (32 characters) is not turned into a magnet.
    s = src(R"({"infoHash":"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"})");
    QCOMPARE(s.infoHash.size(), 32);
    QVERIFY(s.magnet.isEmpty());
}

void TestModel::dubAndSubtitleDerivation()
{
    const SourceInfo s = src(R"({"dubs":[
        {"studio":"X","lang":"ru"},
        {"lang":"ru"},
        {},
        {"audioFileIndex":4},
        {"audioFileIndex":"4"},
        {"origin":"embedded","audioFileIndex":4,"label":"L","studio":"S"},
        {"audioFileIndex":0}
      ],
      "subtitles":[{"lang":"ru"},{"fileIndex":2},{"origin":"weird","fileIndex":2,"label":"Z","lang":"ru"}]})");
    QCOMPARE(s.dubs.size(), 7);
    QCOMPARE(s.dubs[0].label, QStringLiteral("X"));
    QCOMPARE(s.dubs[1].label, QStringLiteral("ru"));
    QCOMPARE(s.dubs[2].label, QString());
    QCOMPARE(s.dubs[0].origin, QStringLiteral("embedded"));
    QCOMPARE(s.dubs[0].trackNo, -1);
    QCOMPARE(s.dubs[3].origin, QStringLiteral("external"));
    QCOMPARE(s.dubs[4].origin, QStringLiteral("external"));
    QCOMPARE(s.dubs[5].origin, QStringLiteral("embedded"));
    QCOMPARE(s.dubs[5].label, QStringLiteral("L"));
    QCOMPARE(s.dubs[6].origin, QStringLiteral("external")); // index 0 is a real file

    QCOMPARE(s.subtitles[0].origin, QStringLiteral("embedded"));
    QCOMPARE(s.subtitles[0].label, QStringLiteral("ru"));
    QCOMPARE(s.subtitles[0].fileIndex, -1);
    QCOMPARE(s.subtitles[1].origin, QStringLiteral("external"));
    QCOMPARE(s.subtitles[2].origin, QStringLiteral("weird"));
    QCOMPARE(s.subtitles[2].label, QStringLiteral("Z"));
}

void TestModel::defaultDub()
{
    QCOMPARE(src("{}").defaultDub(), nullptr);
    const SourceInfo flagged = src(R"({"dubs":[{"id":"A"},{"id":"B","isDefault":true},{"id":"C","isDefault":true}]})");
    QCOMPARE(flagged.defaultDub()->id, QStringLiteral("B"));
    QCOMPARE(flagged.defaultDub(), &flagged.dubs[1]); // points into the source's own list
    const SourceInfo plain = src(R"({"dubs":[{"id":"A"},{"id":"B","isDefault":1}]})");
    QCOMPARE(plain.defaultDub()->id, QStringLiteral("A")); // a number is not a flag
}

void TestModel::findDubPasses()
{
    const SourceInfo s = src(R"({"dubs":[{"id":"a","label":"Foo","studio":"Bar"},{"id":"Bar"}]})");
    QCOMPARE(s.findDub(QStringLiteral("Bar")), &s.dubs[1]); // exact id before studio
    QCOMPARE(s.findDub(QStringLiteral("bar")), &s.dubs[0]); // studio, any case
    QCOMPARE(s.findDub(QStringLiteral("oo")), &s.dubs[0]);  // label substring
    QCOMPARE(s.findDub(QStringLiteral("FOO")), &s.dubs[0]);
    QCOMPARE(s.findDub(QString()), nullptr);
    QCOMPARE(s.findDub(QStringLiteral("zzz")), nullptr);
    QCOMPARE(s.findDub(QStringLiteral("A")), nullptr); // ids are case-sensitive; "a" is no label

    // Label or studio equality of an earlier dub wins over a later dub's.
    const SourceInfo t = src(R"({"dubs":[{"id":"1","label":"One","studio":"Kansai"},{"id":"2","label":"kansai"}]})");
    QCOMPARE(t.findDub(QStringLiteral("KANSAI")), &t.dubs[0]);
    // Substring matches only the label, never the studio.
    QCOMPARE(t.findDub(QStringLiteral("ansa")), &t.dubs[1]);
}

void TestModel::episodeDocument()
{
    const EpisodeSources e = EpisodeSources::fromJson(
        obj(R"({"animeId":"5","episode":"3","title":"T","blocked":true,"error":"x",
                "sources":[7,{"id":1,"fileIndex":2},"s"]})"),
        QStringLiteral("/d"));
    QCOMPARE(e.animeId, qint64(0)); // int64 does not parse strings
    QCOMPARE(e.episode, 3);
    QCOMPARE(e.title, QStringLiteral("T"));
    QVERIFY(e.blocked);
    QVERIFY(e.error.isEmpty());
    QCOMPARE(e.sources.size(), 3);
    QCOMPARE(e.sources[0].fileIndex, -1);
    QVERIFY(e.sources[0].infoHash.isEmpty());
    QVERIFY(e.sources[0].magnet.isEmpty());
    QCOMPARE(e.sources[0].baseDir, QStringLiteral("/d"));
    QCOMPARE(e.sources[1].id, QStringLiteral("1"));
    QCOMPARE(e.sources[1].fileIndex, 2);

    const EpisodeSources notArray = EpisodeSources::fromJson(obj(R"({"sources":{"id":1},"episode":null})"), QString());
    QVERIFY(notArray.sources.isEmpty());
    QCOMPARE(notArray.episode, 0);
}
