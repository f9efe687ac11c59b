// The bridge's page-facing rules, route keys and lite-mode decisions, without a page.
#include "shell/bridgechecks.h"
#include "shell/bridgescript.h"
#include "shell/litemode.h"
#include "shell/shellpage.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace svd;

class TestBridgeRules : public QObject {
    Q_OBJECT
private slots:
    void origins_data();
    void origins();
    void externalUrls();
    void playArguments();
    void videoRect();
    void routeKeys();
    void injectionScript();
    void forcedTweaks();
    void liteDecisions();
    void rendererVerdicts();
};

static const QStringList kHosts{QStringLiteral("sorvanta.tv"), QStringLiteral("127.0.0.1")};

void TestBridgeRules::origins_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("https site") << "https://sorvanta.tv/title/1" << true;
    QTest::newRow("subdomain, any case") << "https://WWW.Sorvanta.TV/" << true;
    QTest::newRow("http loopback") << "http://127.0.0.1:8080/x" << true;
    QTest::newRow("suffix without dot") << "https://evilsorvanta.tv/" << false;
    QTest::newRow("localhost is another host") << "http://localhost:8080/x" << false;
    QTest::newRow("foreign") << "https://example.org/" << false;
    QTest::newRow("data url") << "data:text/html,<p>x" << false;
    QTest::newRow("ftp of allowed host") << "ftp://sorvanta.tv/" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("qrc") << "qrc:/web/test.html" << true;
    QTest::newRow("file") << "file:///tmp/x.html" << true;
}

void TestBridgeRules::origins()
{
    QFETCH(QString, url);
    QFETCH(bool, allowed);
    QCOMPARE(originAllowed(QUrl(url), kHosts), allowed);
}

void TestBridgeRules::externalUrls()
{
    QVERIFY(externalUrlAllowed(QStringLiteral("https://sorvanta.tv/help"), kHosts));
    QVERIFY(externalUrlAllowed(QStringLiteral("https://docs.sorvanta.tv/a?b=c"), kHosts));
    QVERIFY(!externalUrlAllowed(QStringLiteral("http://sorvanta.tv/help"), kHosts));
    QVERIFY(!externalUrlAllowed(QStringLiteral("https://user:pw@sorvanta.tv/"), kHosts));
    QVERIFY(!externalUrlAllowed(QStringLiteral("https://user@sorvanta.tv/"), kHosts));
    QVERIFY(!externalUrlAllowed(QStringLiteral("https://sorvanta.tv.evil.org/"), kHosts));
    QVERIFY(!externalUrlAllowed(QStringLiteral("https://exa mple.org/"), kHosts));
    QVERIFY(!externalUrlAllowed(QStringLiteral("javascript:alert(1)"), kHosts));
    QVERIFY(!externalUrlAllowed(QString(), kHosts));
}

void TestBridgeRules::playArguments()
{
    PlayArgs p = parsePlayArgs({{QStringLiteral("animeId"), QStringLiteral("775318")},
                                {QStringLiteral("episode"), 8.0},
                                {QStringLiteral("dub"), QStringLiteral("AniStudio")}});
    QCOMPARE(p.animeId, qint64(775318));
    QCOMPARE(p.episode, 8);
    QCOMPARE(p.dub, QStringLiteral("AniStudio"));
    QVERIFY(p.title.isEmpty() && p.subtitle.isEmpty());
    QVERIFY(p.valid());

    // Values a page can send that must end as 0 (then "bad-arguments"), never as garbage.
    const QVariantList bad{QStringLiteral("x"), QVariant(), 1e30, -1e30, 4294967296.0 * 4294967296.0, true,
                           QVariantList{1}, QVariantMap{}};
    for (const QVariant &v : bad) {
        QCOMPARE(pageInt64(v), qint64(0));
        QCOMPARE(parsePlayArgs({{QStringLiteral("animeId"), 5}, {QStringLiteral("episode"), v}}).valid(), false);
    }
    QCOMPARE(pageInt(3e9), 0);
    QCOMPARE(pageInt(QStringLiteral("  12 ")), 12);
    QVERIFY(!parsePlayArgs({{QStringLiteral("animeId"), -3}, {QStringLiteral("episode"), 1}}).valid());
}

void TestBridgeRules::videoRect()
{
    VideoRectReport v = parseVideoRect({{QStringLiteral("x"), 10.5},
                                        {QStringLiteral("y"), -0.5},
                                        {QStringLiteral("width"), 99.5},
                                        {QStringLiteral("height"), 0.4}});
    QCOMPARE(v.cssRect, QRect(11, -1, 100, 0));
    QCOMPARE(v.dpr, 1.0);
    QVERIFY(v.visible);
    QVERIFY(v.holes.isEmpty());

    QVariantList holes;
    holes << QVariantMap{{QStringLiteral("x"), 3}, {QStringLiteral("y"), 3}, {QStringLiteral("width"), 0},
                         {QStringLiteral("height"), 9}};
    for (int i = 0; i < 40; ++i)
        holes << QVariantMap{{QStringLiteral("x"), 10.5 + i}, {QStringLiteral("y"), 1},
                             {QStringLiteral("width"), 5}, {QStringLiteral("height"), 4.2}};
    v = parseVideoRect({{QStringLiteral("holes"), holes},
                        {QStringLiteral("visible"), false},
                        {QStringLiteral("dpr"), 2}});
    QCOMPARE(v.holes.size(), qsizetype(kMaxPageHoles));
    QCOMPARE(v.holes.first(), QRect(10, 1, 6, 5)); // every touched pixel
    QVERIFY(!v.visible);
    QCOMPARE(v.dpr, 2.0);

    // Absurd numbers stay inside int arithmetic.
    v = parseVideoRect({{QStringLiteral("x"), 1e300},
                        {QStringLiteral("width"), -1e300},
                        {QStringLiteral("holes"), QVariantList{QVariantMap{{QStringLiteral("x"), 1e300},
                                                                           {QStringLiteral("width"), 1e300},
                                                                           {QStringLiteral("height"), 1}}}}});
    QVERIFY(v.cssRect.x() > 0 && v.cssRect.width() < 0);
    QCOMPARE(v.holes.size(), qsizetype(1));
    QVERIFY(v.holes.first().width() >= 0);
}

void TestBridgeRules::routeKeys()
{
    const QString t7 = routeKey(QUrl(QStringLiteral("https://Sorvanta.tv/title/7/episode/1?x=1#c")));
    QCOMPARE(t7, QStringLiteral("https://sorvanta.tv/title/7"));
    QCOMPARE(routeKey(QUrl(QStringLiteral("https://sorvanta.tv/title/7/episode/2/"))), t7);
    QCOMPARE(routeKey(QUrl(QStringLiteral("https://sorvanta.tv/title/7"))), t7);
    QVERIFY(routeKey(QUrl(QStringLiteral("https://sorvanta.tv/title/8"))) != t7);
    QCOMPARE(routeKey(QUrl(QStringLiteral("https://sorvanta.tv///"))), QStringLiteral("https://sorvanta.tv/"));
    QCOMPARE(routeKey(QUrl(QStringLiteral("https://sorvanta.tv/a%20b/episode/3"))),
             QStringLiteral("https://sorvanta.tv/a b"));
    QCOMPARE(routeKey(QUrl(QStringLiteral("qrc:/web/test.html/episode/2"))),
             routeKey(QUrl(QStringLiteral("qrc:/web/test.html#autotest"))));
}

void TestBridgeRules::injectionScript()
{
    const QString s = bridgeInjectionScript(QStringLiteral("1.\"2"), {{QStringLiteral("probe"), true}});
    QVERIFY(s.startsWith(QStringLiteral("(function(){\"use strict\";var __SVD_VERSION__=\"1.\\\"2\";"
                                        "var __SVD_CFG__={\"probe\":true};var module=undefined;\n")));
    QVERIFY(s.contains(QStringLiteral("QWebChannel")));       // the client library
    QVERIFY(s.contains(QStringLiteral("sorvantadesktop:")));  // the page-side script
    QVERIFY(s.endsWith(QStringLiteral("\n})();")));
}

void TestBridgeRules::forcedTweaks()
{
    QVERIFY(tweaksFromList(QStringLiteral("none")).isEmpty());
    QCOMPARE(tweakNames(tweaksFromList(QStringLiteral("Anim, video"))), QStringLiteral("anim,video"));
    QCOMPARE(tweakNames(tweaksFromList(QStringLiteral("all,foo,,"))),
             QStringLiteral("anim,backdrop,filter,foo,hero,heropan,infinite,video"));

    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
    LiteMode forced;
    forced.init(settings, QStringLiteral("on"), QStringLiteral("none"));
    QVERIFY(forced.currentTweaks(true).isEmpty());
}

void TestBridgeRules::liteDecisions()
{
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
    const QVariantMap hardware{{QStringLiteral("phase"), QStringLiteral("load")},
                               {QStringLiteral("webgl"), true},
                               {QStringLiteral("renderer"), QStringLiteral("ANGLE (Intel, Intel(R) UHD Graphics "
                                                                           "Direct3D11 vs_5_0 ps_5_0)")}};
    const QVariantMap noWebgl{{QStringLiteral("phase"), QStringLiteral("load")}, {QStringLiteral("webgl"), false}};

    LiteMode off;
    off.init(settings, QStringLiteral("off"), QString());
    QVERIFY(off.currentTweaks(false).isEmpty());
    QCOMPARE(settings.value(QStringLiteral("ui/lite")).toString(), QStringLiteral("off"));

    // "auto" replaces a remembered off; a hardware verdict keeps lite off.
    LiteMode aut;
    aut.init(settings, QStringLiteral("auto"), QString());
    QCOMPARE(tweakNames(aut.currentTweaks(false)), QStringLiteral("heropan,infinite"));
    QCOMPARE(tweakNames(aut.currentTweaks(true)), QStringLiteral("anim,backdrop,heropan,infinite,video"));
    QVERIFY(aut.pageConfig(false).value(QStringLiteral("probe")).toBool());
    LiteMode::InfoOutcome o = aut.onClientInfo(hardware, settings);
    QVERIFY(o.probeFinished && !o.liteChanged);
    QVERIFY(!aut.pageConfig(false).value(QStringLiteral("probe")).toBool());
    // A second load report is ignored entirely.
    o = aut.onClientInfo(noWebgl, settings);
    QVERIFY(!o.probeFinished && !o.liteChanged && !aut.lite());

    // Software in auto mode: lite on at once, remembered for the next start.
    LiteMode fresh;
    fresh.init(settings, QString(), QString());
    o = fresh.onClientInfo(noWebgl, settings);
    QVERIFY(o.liteChanged && fresh.lite());
    QCOMPARE(fresh.currentTweaks(false).size(), allPageTweaks().size());
    QVERIFY(settings.value(QStringLiteral("ui/liteDetected")).toBool());
    LiteMode next;
    next.init(settings, QString(), QString());
    QVERIFY(next.lite());
    QCOMPARE(next.reason(), QStringLiteral("auto: the last GPU probe found software rendering"));

    // --lite on: the probe runs but changes neither the setting nor lite.
    settings.setValue(QStringLiteral("ui/liteDetected"), false);
    LiteMode on;
    on.init(settings, QStringLiteral("on"), QString());
    o = on.onClientInfo(noWebgl, settings);
    QVERIFY(o.probeFinished && !o.liteChanged && on.lite());
    QVERIFY(!settings.value(QStringLiteral("ui/liteDetected")).toBool());
}

void TestBridgeRules::rendererVerdicts()
{
    QVERIFY(isSoftwareRenderer(QStringLiteral("ANGLE (Google, Vulkan 1.3.0 (SwiftShader Device (Subzero)), "
                                              "SwiftShader driver)")));
    QVERIFY(isSoftwareRenderer(QStringLiteral("llvmpipe (LLVM 15.0.6, 256 bits)")));
    QVERIFY(isSoftwareRenderer(QStringLiteral("Microsoft Basic Render Driver")));
    QVERIFY(isSoftwareRenderer(QStringLiteral("ANGLE (warp)")));
    QVERIFY(!isSoftwareRenderer(QStringLiteral("WARPED Graphics 9000")));
    QVERIFY(!isSoftwareRenderer(QStringLiteral("ANGLE (Intel, Intel(R) Iris(R) Xe Graphics Direct3D11)")));
}

QObject *createBridgeRulesTest()
{
    return new TestBridgeRules;
}

#include "tst_bridgerules.moc"
