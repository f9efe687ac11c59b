#include "tst_verification.h"

#include "testkey.h"
#include "update/crypto.h"
#include "update/manifest.h"
#include "update/updateselftest.h"
#include "update/urlpolicy.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace svd::update;

namespace {

BuildInfo winBuild(const char *version = "0.1.0")
{
    return {QStringLiteral("win"), QStringLiteral("x64"), QStringLiteral("stable"),
            *Version::parse(QLatin1String(version))};
}

QJsonObject baseManifest()
{
    QJsonObject o;
    o.insert(QStringLiteral("version"), QStringLiteral("0.2.0"));
    o.insert(QStringLiteral("platform"), QStringLiteral("win"));
    o.insert(QStringLiteral("arch"), QStringLiteral("x64"));
    o.insert(QStringLiteral("channel"), QStringLiteral("stable"));
    o.insert(QStringLiteral("file"), QStringLiteral("Sorvanta-Setup-0.2.0.exe"));
    o.insert(QStringLiteral("size"), 1234567);
    o.insert(QStringLiteral("sha256"), QString(64, u'a'));
    o.insert(QStringLiteral("notes"), QStringLiteral("Тест"));
    o.insert(QStringLiteral("mandatory"), false);
    o.insert(QStringLiteral("minVersion"), QJsonValue::Null);
    o.insert(QStringLiteral("publishedAt"), QStringLiteral("2026-11-26T12:00:00Z"));
    return o;
}

QByteArray manifestWith(const char *key, const QJsonValue &value)
{
    QJsonObject o = baseManifest();
    if (value.isUndefined())
        o.remove(QLatin1String(key));
    else
        o.insert(QLatin1String(key), value);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray envelopeOf(const QJsonValue &manifest, const QJsonValue &signature)
{
    QJsonObject o;
    o.insert(QStringLiteral("manifest"), manifest);
    if (!signature.isUndefined())
        o.insert(QStringLiteral("signature"), signature);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

void TestVerification::selfTestPasses()
{
    QCOMPARE(svd::runUpdateSelfTest(), 0);
}

void TestVerification::signatureLengthsAndScalarBoundary()
{
    TestKey key;
    const QByteArray msg("payload");
    QByteArray sig = key.sign(msg);
    QCOMPARE(sig.size(), 64);
    QString error;
    QVERIFY(!ed25519Verify(msg, sig, key.publicKey().left(31), &error));
    QCOMPARE(error, QStringLiteral("public key is 31 bytes, expected 32"));
    QVERIFY(!ed25519Verify(msg, sig + 'x', key.publicKey(), &error));
    QCOMPARE(error, QStringLiteral("signature is 65 bytes, expected 64"));

    // S exactly L is refused before the library runs; L - 1 passes the scalar
    // rule and fails only as a mismatch.
    const QByteArray L = QByteArray::fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    QVERIFY(!ed25519Verify(msg, sig.left(32) + L, key.publicKey(), &error));
    QCOMPARE(error, QStringLiteral("signature scalar is not canonical"));
    QByteArray belowL = L;
    belowL[0] = char(0xec);
    QVERIFY(!ed25519Verify(msg, sig.left(32) + belowL, key.publicKey(), &error));
    QCOMPARE(error, QStringLiteral("signature does not match"));
    // A high byte above L's decides even when lower bytes are smaller.
    QByteArray high(32, '\0');
    high[31] = char(0x11);
    QVERIFY(!ed25519Verify(msg, sig.left(32) + high, key.publicKey(), &error));
    QCOMPARE(error, QStringLiteral("signature scalar is not canonical"));
}

void TestVerification::signRoundTripWithFreshKey()
{
    TestKey a, b;
    const QByteArray big(300000, 'z');
    QString error;
    QVERIFY2(ed25519Verify(big, a.sign(big), a.publicKey(), &error), qPrintable(error));
    QVERIFY(!ed25519Verify(big, a.sign(big), b.publicKey(), &error));
    QCOMPARE(error, QStringLiteral("signature does not match"));
}

void TestVerification::publicKeyValidity_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("error"); // empty: valid
    QTest::newRow("fresh key") << TestKey().publicKey() << QString();
    QTest::newRow("RFC 8032 TEST 1 key")
        << QByteArray::fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a") << QString();
    // The key this program once shipped: 32 bytes, but no point has its y.
    QTest::newRow("former built-in key") << QByteArray::fromBase64("mZ3pLq8Tn0vR5cWx2YbH7kJd4sFg9eUa1oNi6tPyQ0w=")
                                         << QStringLiteral("no curve point has this y");
    QTest::newRow("identity") << QByteArray::fromHex("01" + QByteArray(62, '0'))
                              << QStringLiteral("the point has small order");
    QTest::newRow("all zero (order 4)") << QByteArray(32, '\0') << QStringLiteral("the point has small order");
    QTest::newRow("order 8") << QByteArray::fromHex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a")
                             << QStringLiteral("the point has small order");
    QTest::newRow("y = p") << QByteArray::fromHex("ed" + QByteArray(60, 'f') + "7f")
                           << QStringLiteral("y is not reduced modulo p");
    QTest::newRow("x = 0 with sign bit") << QByteArray::fromHex("01" + QByteArray(60, '0') + "80")
                                         << QStringLiteral("x is 0 but its sign bit is set");
    QTest::newRow("31 bytes") << TestKey().publicKey().left(31) << QStringLiteral("public key is 31 bytes, expected 32");
}

void TestVerification::publicKeyValidity()
{
    QFETCH(QByteArray, key);
    QFETCH(QString, error);
    QString why;
    QCOMPARE(isValidEd25519PublicKey(key, &why), error.isEmpty());
    QCOMPARE(why, error);
}

void TestVerification::envelope_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    const QString manifest = QString::fromUtf8(manifestWith("notes", QStringLiteral("x")));
    const QString sig64 = QString::fromLatin1(QByteArray(64, '\x07').toBase64());
    QTest::newRow("array") << QByteArray("[]") << QStringLiteral("response is not a JSON object (no error occurred)");
    QTest::newRow("garbage") << QByteArray("{") << QStringLiteral("response is not a JSON object (unterminated object)");
    QTest::newRow("manifest object") << envelopeOf(baseManifest(), sig64)
                                     << QStringLiteral("response has no manifest string");
    QTest::newRow("no signature") << envelopeOf(manifest, QJsonValue(QJsonValue::Undefined))
                                  << QStringLiteral("response has no signature string");
    QTest::newRow("numeric signature") << envelopeOf(manifest, 5) << QStringLiteral("response has no signature string");
    QTest::newRow("3 bytes") << envelopeOf(manifest, QStringLiteral("AAAA"))
                             << QStringLiteral("signature is not base64 of 64 bytes");
    QTest::newRow("not base64") << envelopeOf(manifest, QString(88, u'*'))
                                << QStringLiteral("signature is not base64 of 64 bytes");
    QTest::newRow("too large") << QByteArray(262145, ' ') << QStringLiteral("response too large");
    QTest::newRow("ok") << envelopeOf(manifest, sig64) << QString();
}

void TestVerification::envelope()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    QByteArray manifest, signature;
    QString got;
    const bool ok = parseUpdateResponse(body, &manifest, &signature, &got);
    QCOMPARE(ok, error.isEmpty());
    if (ok) {
        QCOMPARE(manifest, manifestWith("notes", QStringLiteral("x")));
        QCOMPARE(signature, QByteArray(64, '\x07'));
    } else {
        QCOMPARE(got, error);
    }
}

void TestVerification::validationMessages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("build");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    const QJsonValue none(QJsonValue::Undefined);
    const int rej = ManifestVerdict::Rejected, ign = ManifestVerdict::Ignored;
    auto row = [](const char *name, const QByteArray &bytes, int kind, const QString &message,
                  const char *version = "0.1.0") {
        QTest::newRow(name) << bytes << QString::fromLatin1(version) << kind << message;
    };
    row("not json", "nope", rej, QStringLiteral("manifest is not a JSON object"));
    row("no version", manifestWith("version", none), rej, QStringLiteral("manifest.version missing"));
    row("long bad version", manifestWith("version", QString(50, u'9')), rej,
        QStringLiteral("manifest.version '%1' is not MAJOR.MINOR.PATCH").arg(QString(40, u'9')));
    row("platform number", manifestWith("platform", 1), rej, QStringLiteral("manifest.platform missing"));
    row("no publishedAt", manifestWith("publishedAt", none), rej, QStringLiteral("manifest.publishedAt missing"));
    row("notes array", manifestWith("notes", QJsonValue(QJsonValue::Array)), rej,
        QStringLiteral("manifest.notes is not a string"));
    row("mandatory string", manifestWith("mandatory", QStringLiteral("true")), rej,
        QStringLiteral("manifest.mandatory is not a boolean"));
    row("minVersion bad", manifestWith("minVersion", QStringLiteral("1.0")), rej,
        QStringLiteral("manifest.minVersion is not MAJOR.MINOR.PATCH"));
    row("minVersion bool", manifestWith("minVersion", true), rej,
        QStringLiteral("manifest.minVersion is neither a string nor null"));
    row("size string", manifestWith("size", QStringLiteral("5")), rej, QStringLiteral("manifest.size is not a number"));
    row("size -1", manifestWith("size", -1), rej, QStringLiteral("manifest.size -1 out of range (1 .. 2 GiB)"));
    row("size 2GiB+1", manifestWith("size", 2147483649.0), rej,
        QStringLiteral("manifest.size 2147483649 out of range (1 .. 2 GiB)"));
    row("sha upper", manifestWith("sha256", QString(64, u'F')), rej,
        QStringLiteral("manifest.sha256 is not 64 lowercase hex chars"));
    row("other platform", manifestWith("platform", QStringLiteral("a-very-long-platform-name")), ign,
        QStringLiteral("for a-very-long-plat/x64/stable, this build is win/x64/stable"));
    row("bad file", manifestWith("file", QStringLiteral("../x.exe")), rej,
        QStringLiteral("manifest.file '../x.exe' is not an allowed .exe name"));
    row("not newer", manifestWith("version", QStringLiteral("0.1.0")), ign,
        QStringLiteral("version 0.1.0 is not newer than the running 0.1.0"));
    row("manual", manifestWith("minVersion", QStringLiteral("0.1.5")), int(ManifestVerdict::Manual),
        QStringLiteral("version 0.2.0 needs at least 0.1.5 to update in place (running 0.1.0)"));
    row("mandatory", manifestWith("mandatory", true), int(ManifestVerdict::Available),
        QStringLiteral("version 0.2.0 (Sorvanta-Setup-0.2.0.exe, 1234567 bytes), mandatory"));
    row("newer minor", manifestWith("version", QStringLiteral("0.10.0")), int(ManifestVerdict::Available),
        QStringLiteral("version 0.10.0 (Sorvanta-Setup-0.2.0.exe, 1234567 bytes)"), "0.9.9");
}

void TestVerification::validationMessages()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, build);
    QFETCH(int, kind);
    QFETCH(QString, message);
    const ManifestVerdict v = validateManifest(bytes, winBuild(build.toLatin1().constData()));
    QCOMPARE(v.message, message);
    QCOMPARE(int(v.kind), kind);
}

void TestVerification::evaluateChecksSignatureFirst()
{
    TestKey key;
    // Broken content with a bad signature: the signature decides first.
    const ManifestVerdict bad = evaluateManifest("nope", QByteArray(64, '\0'), key.publicKey(), winBuild());
    QCOMPARE(int(bad.kind), int(ManifestVerdict::Rejected));
    QCOMPARE(bad.message, QStringLiteral("bad signature: signature does not match"));
    QVERIFY(bad.manifest.raw.isEmpty());

    const QByteArray bytes = manifestWith("notes", QJsonValue::Null);
    const QByteArray sig = key.sign(bytes);
    const ManifestVerdict good = evaluateManifest(bytes, sig, key.publicKey(), winBuild());
    QCOMPARE(int(good.kind), int(ManifestVerdict::Available));
    QCOMPARE(good.manifest.signature, sig);
    QCOMPARE(good.manifest.raw, bytes);
    QVERIFY(good.manifest.notes.isEmpty());

    const CheckResult r = CheckResult::fromVerdict(good);
    QCOMPARE(int(r.kind), int(CheckResult::Available));
    QCOMPARE(CheckResult::name(r.kind), QStringLiteral("available"));
    QCOMPARE(CheckResult::name(17), QStringLiteral("?"));
}

void TestVerification::basePolicy_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("error");
    QTest::newRow("https") << "https://api.example.net/base/" << QString();
    QTest::newRow("HTTPS upper case") << "HTTPS://api.example.net" << QString();
    QTest::newRow("http ::1") << "http://[::1]:9000/" << QString();
    QTest::newRow("relative") << "/api" << "not an absolute URL";
    QTest::newRow("file") << "file:///tmp/x" << "not an absolute URL";
    QTest::newRow("fragment") << "https://api.example.net/#x" << "user info, query or fragment not allowed";
    QTest::newRow("user") << "https://u@api.example.net/" << "user info, query or fragment not allowed";
    QTest::newRow("http remote") << "http://10.0.0.1/" << "plain http is only allowed for localhost";
    QTest::newRow("localhost. prefix") << "http://localhost.example.net/" << "plain http is only allowed for localhost";
    QTest::newRow("ftp") << "ftp://api.example.net/" << "scheme 'ftp' not allowed (https only)";
}

void TestVerification::basePolicy()
{
    QFETCH(QString, url);
    QFETCH(QString, error);
    QString got;
    QCOMPARE(isAllowedBase(QUrl(url), &got), error.isEmpty());
    QCOMPARE(got, error);
}

void TestVerification::endpointUrls()
{
    const BuildInfo b = winBuild();
    // Every trailing slash goes; the base's own query and fragment do not survive.
    const QUrl base(QStringLiteral("http://127.0.0.1:8080/root//?q=1#f"));
    QCOMPARE(updateUrlFor(base, b).toString(),
             QStringLiteral("http://127.0.0.1:8080/root/api/desktop/update?platform=win&arch=x64&channel=stable&version=0.1.0"));
    QCOMPARE(downloadUrlFor(base, QStringLiteral("a.exe")).toString(),
             QStringLiteral("http://127.0.0.1:8080/root/api/desktop/download/a.exe"));
    QCOMPARE(latestUrlFor(QUrl(QStringLiteral("https://h.example")), b).toString(),
             QStringLiteral("https://h.example/api/desktop/latest?platform=win&arch=x64"));
    QVERIFY(isSameOrigin(QUrl(QStringLiteral("http://127.0.0.1/")), QUrl(QStringLiteral("http://127.0.0.1:80/x"))));
    QVERIFY(!isSameOrigin(QUrl(QStringLiteral("https://h.example/")), QUrl(QStringLiteral("https://u@h.example/"))));
}

void TestVerification::sha256()
{
    const QByteArray abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    Sha256 inc;
    inc.add("a", 1);
    inc.add("bc", 2);
    inc.add("ignored", 0);
    QCOMPARE(inc.total, qint64(3));
    QCOMPARE(inc.hexResult(), abc);
    QVERIFY(inc.hexResult().isEmpty()); // finished once

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f.bin"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    const QByteArray data(3 * 1048576 + 17, 'q'); // spans several read chunks
    f.write(data);
    f.close();
    Sha256 whole;
    whole.add(data.constData(), data.size());
    qint64 n = 0;
    QString error;
    QCOMPARE(sha256File(path, &n, &error), whole.hexResult());
    QCOMPARE(n, qint64(data.size()));
    QVERIFY(sha256File(path + QStringLiteral(".missing"), &n, &error).isEmpty());
    QVERIFY(error.startsWith(QStringLiteral("cannot open ") + path + QStringLiteral(".missing: ")));
}

void TestVerification::versions()
{
    QCOMPARE(Version::parse(QStringLiteral("999999999.0.1"))->major, 999999999u);
    QVERIFY(!Version::parse(QStringLiteral("1000000000.0.0")));
    QVERIFY(!Version::parse(QStringLiteral("1.2.3\n")));
    QCOMPARE(Version::parse(QStringLiteral("0.10.0"))->compare(*Version::parse(QStringLiteral("0.9.9"))), 1);
    QCOMPARE(Version::parse(QStringLiteral("2.0.0"))->compare(*Version::parse(QStringLiteral("2.0.0"))), 0);
    QCOMPARE(Version::parse(QStringLiteral("1.2.10"))->toString(), QStringLiteral("1.2.10"));
    const BuildInfo running = runningBuild(QStringLiteral("beta"));
    QCOMPARE(running.platform + u'/' + running.arch + u'/' + running.channel, QStringLiteral("linux/x64/beta"));
    QCOMPARE(running.version.toString(), QStringLiteral("0.1.3"));
    QCOMPARE(installerExtension(running), QStringLiteral("deb"));
    QVERIFY(isSafeInstallerName(QStringLiteral("sorvanta_0.2.0_amd64.deb"), QStringLiteral("deb")));
    QVERIFY(!isSafeInstallerName(QStringLiteral("sorvanta.deb"), QStringLiteral("exe")));
}
