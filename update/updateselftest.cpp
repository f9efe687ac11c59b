#include "update/updateselftest.h"

#include "base/log.h"
#include "update/crypto.h"
#include "update/installerlock.h"
#include "update/manifest.h"
#include "update/selftestdata.h"
#include "update/updater.h"
#include "update/urlpolicy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>

namespace svd {

using namespace update;

namespace {

class Recorder {
public:
    void operator()(const QString &name, bool ok, const QString &detail = QString())
    {
        ok ? ++passed : ++failed;
        logLine(QStringLiteral("selftest-update: %1 %2%3")
                    .arg(ok ? QStringLiteral("PASS") : QStringLiteral("FAIL"), name,
                         detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail)));
    }
    int passed = 0;
    int failed = 0;
};

struct Vector {
    const char *name;
    const char *publicKey;
    const char *message;
    const char *signature;
};

// RFC 8032 section 7.1, TEST 1 to TEST 3 (hex).
const Vector kVectors[] = {
    {"RFC 8032 TEST 1 (empty message)", "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24"
     "655141438e7a100b"},
    {"RFC 8032 TEST 2 (1 byte)", "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aee"
     "b00d291612bb0c00"},
    {"RFC 8032 TEST 3 (2 bytes)", "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28d"
     "c027beceea1ec40a"},
};

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

QByteArray flipped(QByteArray bytes, int index)
{
    if (bytes.isEmpty())
        return QByteArray(1, '\x01');
    bytes[index] = char(bytes[index] ^ 0x01);
    return bytes;
}

// S + L as a 256-bit little-endian sum: the same point, a non-canonical scalar.
QByteArray withScalarPlusOrder(QByteArray signature)
{
    static const unsigned char L[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                        0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                        0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        const unsigned sum = unsigned(quint8(signature[32 + i])) + L[i] + carry;
        signature[32 + i] = char(sum & 0xff);
        carry = sum >> 8;
    }
    return signature;
}

// Verification that must fail; the detail is the error text.
void expectRejected(Recorder &rec, const QString &name, const QByteArray &msg, const QByteArray &sig,
                    const QByteArray &key, const QString &exactError = QString())
{
    QString error;
    const bool ok = ed25519Verify(msg, sig, key, &error);
    rec(name, !ok && (exactError.isEmpty() || error == exactError), error);
}

void cryptoCases(Recorder &rec)
{
    logLine(QStringLiteral("selftest-update: crypto library %1").arg(cryptoLibraryVersion()));
    for (const Vector &v : kVectors) {
        const QString name = QString::fromLatin1(v.name);
        const QByteArray key = hex(v.publicKey), msg = hex(v.message), sig = hex(v.signature);
        QString error;
        rec(name, ed25519Verify(msg, sig, key, &error), error);
        expectRejected(rec, QStringLiteral("%1, R bit flipped -> rejected").arg(name), msg, flipped(sig, 0), key);
        expectRejected(rec, QStringLiteral("%1, S bit flipped -> rejected").arg(name), msg, flipped(sig, 32), key);
        expectRejected(rec, QStringLiteral("%1, message extended -> rejected").arg(name), msg + '\0', sig, key);
        expectRejected(rec, QStringLiteral("%1, message bit flipped -> rejected").arg(name), flipped(msg, 0), sig,
                       key);
        expectRejected(rec, QStringLiteral("%1, key bit flipped -> rejected").arg(name), msg, sig, flipped(key, 0));
        expectRejected(rec, QStringLiteral("%1, S+L (non-canonical) -> rejected").arg(name), msg,
                       withScalarPlusOrder(sig), key, QStringLiteral("signature scalar is not canonical"));
    }
    const Vector &t1 = kVectors[0], &t2 = kVectors[1];
    expectRejected(rec, QStringLiteral("TEST 2 signature under TEST 1 key -> rejected"), hex(t2.message),
                   hex(t2.signature), hex(t1.publicKey), QStringLiteral("signature does not match"));
    const QByteArray sig2 = hex(t2.signature);
    expectRejected(rec, QStringLiteral("63-byte signature -> rejected"), hex(t2.message), sig2.left(63),
                   hex(t2.publicKey));
    expectRejected(rec, QStringLiteral("65-byte signature -> rejected"), hex(t2.message), sig2 + '\0',
                   hex(t2.publicKey));
    expectRejected(rec, QStringLiteral("31-byte key -> rejected"), hex(t2.message), sig2,
                   hex(t2.publicKey).left(31));
    expectRejected(rec, QStringLiteral("all-zero signature -> rejected"), hex(t2.message), QByteArray(64, '\0'),
                   hex(t2.publicKey));
    rec(QStringLiteral("embedded release key is the published one"),
        embeddedPublicKey().size() == 32 && embeddedPublicKey().toBase64() == embeddedPublicKeyText());
    expectRejected(rec, QStringLiteral("embedded key loads; test signature does not verify under it"),
                   QByteArray(selftestdata::kTestManifest), QByteArray::fromBase64(selftestdata::kTestSignature),
                   embeddedPublicKey(), QStringLiteral("signature does not match"));
}

BuildInfo testBuild(const char *version = "0.1.0")
{
    return {QStringLiteral("win"), QStringLiteral("x64"), QStringLiteral("stable"),
            Version::parse(QLatin1String(version)).value_or(Version{})};
}

QJsonObject testManifestObject()
{
    return QJsonDocument::fromJson(QByteArray(selftestdata::kTestManifest)).object();
}

QByteArray jsonBytes(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void responseCases(Recorder &rec)
{
    const QByteArray manifest(selftestdata::kTestManifest);
    const QByteArray key = QByteArray::fromBase64(selftestdata::kTestPublicKey);
    const QByteArray sig = QByteArray::fromBase64(selftestdata::kTestSignature);
    const QByteArray otherKey = QByteArray::fromBase64(selftestdata::kOtherPublicKey);
    const QByteArray otherSig = QByteArray::fromBase64(selftestdata::kOtherSignature);
    const BuildInfo build = testBuild();

    const ManifestVerdict good = evaluateManifest(manifest, sig, key, build);
    rec(QStringLiteral("signed test manifest 0.2.0 for 0.1.0 -> available"), good.kind == ManifestVerdict::Available,
        good.message);
    const Manifest &m = good.manifest;
    rec(QStringLiteral("manifest fields parsed (UTF-8 notes, size, file, mandatory, minVersion)"),
        m.notes == QStringLiteral("Тест") && m.size == 1234567 && m.file == QLatin1String("Sorvanta-Setup-0.2.0.exe") &&
            !m.mandatory && !m.minVersion && m.raw == manifest && m.signature == sig &&
            m.publishedAt == QLatin1String("2026-11-26T12:00:00Z"));
    const ManifestVerdict other = evaluateManifest(manifest, otherSig, key, build);
    rec(QStringLiteral("signature by another key -> rejected"), other.kind == ManifestVerdict::Rejected, other.message);
    QString error;
    rec(QStringLiteral("other key's own signature verifies under its key"),
        ed25519Verify(manifest, otherSig, otherKey, &error), error);
    QByteArray tampered = manifest;
    tampered.replace("1234567", "1234568");
    const ManifestVerdict t = evaluateManifest(tampered, sig, key, build);
    rec(QStringLiteral("tampered manifest (size) -> rejected"), t.kind == ManifestVerdict::Rejected, t.message);
    const QByteArray reserialized = jsonBytes(testManifestObject());
    const ManifestVerdict r = evaluateManifest(reserialized, sig, key, build);
    rec(QStringLiteral("re-serialized manifest -> rejected (signature is over the exact bytes)"),
        reserialized != manifest && r.kind == ManifestVerdict::Rejected, r.message);
    const ManifestVerdict e = evaluateManifest(manifest, QByteArray(), key, build);
    rec(QStringLiteral("empty signature -> rejected"), e.kind == ManifestVerdict::Rejected, e.message);

    QJsonObject env;
    env.insert(QStringLiteral("manifest"), QString::fromUtf8(manifest));
    env.insert(QStringLiteral("signature"), QString::fromLatin1(sig.toBase64()));
    env.insert(QStringLiteral("downloadUrl"), QStringLiteral("https://downloads.example.net/Evil-Setup.exe"));
    QByteArray gotManifest, gotSig;
    const bool parsed = parseUpdateResponse(jsonBytes(env), &gotManifest, &gotSig, &error);
    rec(QStringLiteral("response envelope -> exact manifest bytes + signature"),
        parsed && gotManifest == manifest && gotSig == sig, parsed ? QString() : error);
    const ManifestVerdict ev = evaluateManifest(gotManifest, gotSig, key, build);
    rec(QStringLiteral("response envelope -> available"), ev.kind == ManifestVerdict::Available, ev.message);

    auto refused = [&rec](const QString &name, const QByteArray &body) {
        QString why;
        QByteArray a, b;
        rec(name, !parseUpdateResponse(body, &a, &b, &why), why);
    };
    const QString sigText = QString::fromLatin1(sig.toBase64());
    auto envelope = [&](const QJsonValue &manifestValue, const QJsonValue &signatureValue) {
        QJsonObject o;
        o.insert(QStringLiteral("manifest"), manifestValue);
        if (!signatureValue.isUndefined())
            o.insert(QStringLiteral("signature"), signatureValue);
        return jsonBytes(o);
    };
    refused(QStringLiteral("response: JSON array -> refused"), "[1,2,3]");
    refused(QStringLiteral("response: manifest object -> refused"), envelope(testManifestObject(), sigText));
    refused(QStringLiteral("response: 3-byte signature -> refused"),
            envelope(QString::fromUtf8(manifest), QStringLiteral("AAAA")));
    refused(QStringLiteral("response: non-base64 signature -> refused"),
            envelope(QString::fromUtf8(manifest), QStringLiteral("not base64 at all!")));
    refused(QStringLiteral("response: no signature -> refused"),
            envelope(QString::fromUtf8(manifest), QJsonValue(QJsonValue::Undefined)));
    QJsonObject big;
    big.insert(QStringLiteral("manifest"), QString::fromUtf8(manifest));
    big.insert(QStringLiteral("signature"), sigText);
    big.insert(QStringLiteral("padding"), QString(kMaxResponseBytes, u'x'));
    refused(QStringLiteral("response: oversized -> refused"), jsonBytes(big));
}

void validationCases(Recorder &rec)
{
    using Kind = ManifestVerdict::Kind;
    auto expect = [&rec](const QString &name, const QByteArray &bytes, const BuildInfo &build, Kind kind) {
        const ManifestVerdict v = validateManifest(bytes, build);
        rec(name, v.kind == kind, v.message);
    };
    // One field changed (an undefined value removes it).
    auto with = [](const char *key, const QJsonValue &value) {
        QJsonObject o = testManifestObject();
        if (value.isUndefined())
            o.remove(QLatin1String(key));
        else
            o.insert(QLatin1String(key), value);
        return jsonBytes(o);
    };
    const QJsonValue none(QJsonValue::Undefined);
    const BuildInfo build = testBuild();
    BuildInfo mac = testBuild();
    mac.platform = QStringLiteral("mac");
    mac.arch = QStringLiteral("arm64");
    BuildInfo linuxBuild = testBuild();
    linuxBuild.platform = QStringLiteral("linux");

    expect(QStringLiteral("same version 0.1.0 -> ignored"), with("version", QStringLiteral("0.1.0")), build,
           Kind::Ignored);
    expect(QStringLiteral("lower version 0.0.9 -> ignored"), with("version", QStringLiteral("0.0.9")), build,
           Kind::Ignored);
    expect(QStringLiteral("0.10.0 beats a running 0.9.9 -> available"), with("version", QStringLiteral("0.10.0")),
           testBuild("0.9.9"), Kind::Available);
    for (const char *bad : {"0.2", "0.2.0-beta", "01.2.0"})
        expect(QStringLiteral("version '%1' -> rejected").arg(QLatin1String(bad)),
               with("version", QString::fromLatin1(bad)), build, Kind::Rejected);
    expect(QStringLiteral("version as a JSON number -> rejected"), with("version", 2), build, Kind::Rejected);
    expect(QStringLiteral("missing version -> rejected"), with("version", none), build, Kind::Rejected);
    expect(QStringLiteral("platform mac on a win build -> ignored"), with("platform", QStringLiteral("mac")), build,
           Kind::Ignored);
    expect(QStringLiteral("arch arm64 on an x64 build -> ignored"), with("arch", QStringLiteral("arm64")), build,
           Kind::Ignored);
    expect(QStringLiteral("channel beta on a stable build -> ignored"), with("channel", QStringLiteral("beta")), build,
           Kind::Ignored);
    expect(QStringLiteral("minVersion equal to the running version -> available"),
           with("minVersion", QStringLiteral("0.1.0")), build, Kind::Available);
    expect(QStringLiteral("minVersion above the running version -> manual"),
           with("minVersion", QStringLiteral("0.1.1")), build, Kind::Manual);
    expect(QStringLiteral("minVersion 'x' -> rejected"), with("minVersion", QStringLiteral("x")), build,
           Kind::Rejected);
    expect(QStringLiteral("minVersion as a number -> rejected"), with("minVersion", 1), build, Kind::Rejected);
    for (const char *bad :
         {"../Sorvanta.exe", "a\\b.exe", "x..exe", ".exe", "a b.exe", "Sorvanta.msi", "Sorvanta.EXE", "Sorvanta.dmg"})
        expect(QStringLiteral("file '%1' on a win build -> rejected").arg(QLatin1String(bad)),
               with("file", QString::fromLatin1(bad)), build, Kind::Rejected);
    expect(QStringLiteral("151-character stem + .exe -> available"),
           with("file", QString(151, u'a') + QStringLiteral(".exe")), build, Kind::Available);
    expect(QStringLiteral("152-character stem + .exe -> rejected"),
           with("file", QString(152, u'a') + QStringLiteral(".exe")), build, Kind::Rejected);
    QJsonObject macManifest = testManifestObject();
    macManifest.insert(QStringLiteral("platform"), QStringLiteral("mac"));
    macManifest.insert(QStringLiteral("arch"), QStringLiteral("arm64"));
    macManifest.insert(QStringLiteral("file"), QStringLiteral("Sorvanta-0.2.0.dmg"));
    expect(QStringLiteral("mac build: .dmg -> available"), jsonBytes(macManifest), mac, Kind::Available);
    macManifest.insert(QStringLiteral("file"), QStringLiteral("Sorvanta-Setup-0.2.0.exe"));
    expect(QStringLiteral("mac build: .exe -> rejected"), jsonBytes(macManifest), mac, Kind::Rejected);
    QJsonObject linuxManifest = testManifestObject();
    linuxManifest.insert(QStringLiteral("platform"), QStringLiteral("linux"));
    linuxManifest.insert(QStringLiteral("file"), QStringLiteral("sorvanta-desktop_0.2.0_amd64.deb"));
    expect(QStringLiteral("linux build: .deb -> available"), jsonBytes(linuxManifest), linuxBuild, Kind::Available);
    for (const QJsonValue &bad : {QJsonValue(0), QJsonValue(-1), QJsonValue(1.5), QJsonValue(QStringLiteral("1000")),
                                  QJsonValue(2147483649.0)})
        expect(QStringLiteral("size %1 -> rejected")
                   .arg(bad.isString() ? QStringLiteral("\"1000\"") : QString::number(bad.toDouble(), 'f', 1)),
               with("size", bad), build, Kind::Rejected);
    expect(QStringLiteral("size 2147483648 (2 GiB) -> available"), with("size", 2147483648.0), build,
           Kind::Available);
    expect(QStringLiteral("sha256 with upper-case letters -> rejected"),
           with("sha256", QString(64, u'A')), build, Kind::Rejected);
    expect(QStringLiteral("sha256 of 63 characters -> rejected"), with("sha256", QString(63, u'a')), build,
           Kind::Rejected);
    expect(QStringLiteral("mandatory as a string -> rejected"), with("mandatory", QStringLiteral("true")), build,
           Kind::Rejected);
    expect(QStringLiteral("missing mandatory -> rejected"), with("mandatory", none), build, Kind::Rejected);
    expect(QStringLiteral("mandatory true -> still available"), with("mandatory", true), build, Kind::Available);
    expect(QStringLiteral("notes as a number -> rejected"), with("notes", 5), build, Kind::Rejected);
    expect(QStringLiteral("missing publishedAt -> rejected"), with("publishedAt", none), build, Kind::Rejected);
    expect(QStringLiteral("manifest JSON array -> rejected"), "[{\"version\":\"0.2.0\"}]", build, Kind::Rejected);

    const auto a = Version::parse(QStringLiteral("1.2.3")), b = Version::parse(QStringLiteral("1.10.0"));
    rec(QStringLiteral("version compare 1.2.3 < 1.10.0"), a && b && a->compare(*b) < 0 && b->compare(*a) > 0);
    rec(QStringLiteral("version parse refuses 1.2.3.4 / empty / spaces"),
        !Version::parse(QStringLiteral("1.2.3.4")) && !Version::parse(QString()) &&
            !Version::parse(QStringLiteral(" 1.2.3")) && !Version::parse(QStringLiteral("1.2.3 ")));
}

void urlCases(Recorder &rec)
{
    auto allowed = [&rec](const QString &name, const char *url, bool expected) {
        QString why;
        rec(name, isAllowedBase(QUrl(QLatin1String(url)), &why) == expected, why);
    };
    allowed(QStringLiteral("https base allowed"), "https://api.sorvanta.example/v1", true);
    allowed(QStringLiteral("http://127.0.0.1 base allowed"), "http://127.0.0.1:8080/", true);
    allowed(QStringLiteral("http://localhost base allowed"), "http://localhost:3000/api", true);
    allowed(QStringLiteral("http://[::1] base allowed"), "http://[::1]:8080", true);
    allowed(QStringLiteral("http non-localhost refused"), "http://api.sorvanta.example/", false);
    allowed(QStringLiteral("http://127.0.0.2 refused"), "http://127.0.0.2/", false);
    allowed(QStringLiteral("http://localhost.evil.example refused"), "http://localhost.evil.example/", false);
    allowed(QStringLiteral("ftp refused"), "ftp://api.sorvanta.example/", false);
    allowed(QStringLiteral("file: refused"), "file:///etc/passwd", false);
    allowed(QStringLiteral("user info refused"), "https://user:pw@api.sorvanta.example/", false);
    allowed(QStringLiteral("query refused"), "https://api.sorvanta.example/?x=1", false);

    auto origin = [&rec](const QString &name, const char *a, const char *b, bool expected) {
        rec(name, isSameOrigin(QUrl(QLatin1String(a)), QUrl(QLatin1String(b))) == expected);
    };
    origin(QStringLiteral("same origin: default port"), "https://api.sorvanta.example/",
           "https://api.sorvanta.example:443/x", true);
    origin(QStringLiteral("other host -> not same origin"), "https://api.sorvanta.example/",
           "https://cdn.sorvanta.example/", false);
    origin(QStringLiteral("https -> http -> not same origin"), "https://api.sorvanta.example/",
           "http://api.sorvanta.example/", false);
    origin(QStringLiteral("127.0.0.1 -> localhost -> not same origin"), "http://127.0.0.1:8080/",
           "http://localhost:8080/", false);
    origin(QStringLiteral("other port -> not same origin"), "http://127.0.0.1:8080/", "http://127.0.0.1:8081/",
           false);

    const QUrl base(QStringLiteral("https://api.sorvanta.example/v1/"));
    const BuildInfo build = testBuild();
    const QString update = updateUrlFor(base, build).toString();
    rec(QStringLiteral("update URL"),
        update == QLatin1String(
                      "https://api.sorvanta.example/v1/api/desktop/update?platform=win&arch=x64&channel=stable&version=0.1.0"),
        update);
    const QString download = downloadUrlFor(base, QStringLiteral("Sorvanta-Setup-0.2.0.exe")).toString();
    rec(QStringLiteral("download URL built from the base + manifest.file"),
        download == QLatin1String("https://api.sorvanta.example/v1/api/desktop/download/Sorvanta-Setup-0.2.0.exe"),
        download);
    const QString latest = latestUrlFor(base, build).toString();
    rec(QStringLiteral("latest URL"),
        latest == QLatin1String("https://api.sorvanta.example/v1/api/desktop/latest?platform=win&arch=x64"), latest);

    const QStringList args = Updater::installerArguments(QStringLiteral("C:\\x\\update-install.log"));
    const QStringList wanted{QStringLiteral("/VERYSILENT"), QStringLiteral("/SUPPRESSMSGBOXES"),
                             QStringLiteral("/NORESTART"), QStringLiteral("/CLOSEAPPLICATIONS"),
                             QStringLiteral("/RELAUNCH=1")};
    qsizetype at = 0;
    for (const QString &w : wanted)
        at = at < 0 ? at : args.indexOf(w, at);
    rec(QStringLiteral("installer switches"), at >= 0, args.join(u' '));
}

} // namespace

int runUpdateSelfTest()
{
    Recorder rec;
    cryptoCases(rec);
    responseCases(rec);
    validationCases(rec);
    urlCases(rec);
    if (InstallerLock::supported())
        rec(QStringLiteral("installer lock: supported here but not exercised"), false);
    else
        logLine(QStringLiteral("selftest-update: installer lock: not used on this platform"));
    logLine(QStringLiteral("selftest-update: %1 (%2 passed, %3 failed)")
                .arg(rec.failed == 0 ? QStringLiteral("PASS") : QStringLiteral("FAIL"))
                .arg(rec.passed)
                .arg(rec.failed));
    return rec.failed == 0 ? 0 : 1;
}

} // namespace svd
