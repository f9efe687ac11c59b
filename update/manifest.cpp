#include "update/manifest.h"

#include "update/crypto.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <cmath>

namespace svd::update {

namespace {

void fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

ManifestVerdict verdict(ManifestVerdict::Kind kind, const QString &message, const Manifest &m)
{
    ManifestVerdict v;
    v.kind = kind;
    v.message = message;
    v.manifest = m;
    return v;
}

} // namespace

QString CheckResult::name(int kind)
{
    switch (kind) {
    case UpToDate:
        return QStringLiteral("up-to-date");
    case Ignored:
        return QStringLiteral("ignored");
    case Available:
        return QStringLiteral("available");
    case Manual:
        return QStringLiteral("manual");
    case Rejected:
        return QStringLiteral("rejected");
    case Error:
        return QStringLiteral("error");
    default:
        return QStringLiteral("?");
    }
}

CheckResult CheckResult::fromVerdict(const ManifestVerdict &v)
{
    CheckResult r;
    switch (v.kind) {
    case ManifestVerdict::Available:
        r.kind = Available;
        break;
    case ManifestVerdict::Manual:
        r.kind = Manual;
        break;
    case ManifestVerdict::Ignored:
        r.kind = Ignored;
        break;
    case ManifestVerdict::Rejected:
        r.kind = Rejected;
        break;
    }
    r.message = v.message;
    r.manifest = v.manifest;
    return r;
}

bool parseUpdateResponse(const QByteArray &body, QByteArray *manifestBytes, QByteArray *signature,
                         QString *error)
{
    if (body.size() > kMaxResponseBytes) {
        fail(error, QStringLiteral("response too large"));
        return false;
    }
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject()) {
        fail(error, QStringLiteral("response is not a JSON object (%1)").arg(pe.errorString()));
        return false;
    }
    const QJsonObject o = doc.object();
    const QJsonValue m = o.value(QLatin1String("manifest"));
    if (!m.isString()) {
        fail(error, QStringLiteral("response has no manifest string"));
        return false;
    }
    const QJsonValue s = o.value(QLatin1String("signature"));
    if (!s.isString()) {
        fail(error, QStringLiteral("response has no signature string"));
        return false;
    }
    const auto decoded = QByteArray::fromBase64Encoding(s.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 64) {
        fail(error, QStringLiteral("signature is not base64 of 64 bytes"));
        return false;
    }
    if (manifestBytes)
        *manifestBytes = m.toString().toUtf8();
    if (signature)
        *signature = decoded.decoded;
    return true;
}

bool isSafeInstallerName(const QString &name, const QString &extension)
{
    static const QRegularExpression re(
        QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,150}\\.(exe|dmg|deb)\\z"));
    const QRegularExpressionMatch m = re.match(name);
    return m.hasMatch() && m.captured(1) == extension && !name.contains(QLatin1String(".."));
}

namespace {

// Reads the manifest's fields into `m`. Returns why the manifest is rejected (the
// first field missing or malformed), empty when every field is well-formed.
QString readManifestFields(const QJsonObject &o, Manifest &m)
{
    const QJsonValue version = o.value(QLatin1String("version"));
    if (!version.isString())
        return QStringLiteral("manifest.version missing");
    const std::optional<Version> parsed = Version::parse(version.toString());
    if (!parsed)
        return QStringLiteral("manifest.version '%1' is not MAJOR.MINOR.PATCH").arg(version.toString().left(40));
    m.version = *parsed;

    static const char *const stringKeys[] = {"platform", "arch", "channel", "file", "sha256", "publishedAt"};
    QString strings[6];
    for (int i = 0; i < 6; ++i) {
        const QJsonValue v = o.value(QLatin1String(stringKeys[i]));
        if (!v.isString())
            return QStringLiteral("manifest.%1 missing").arg(QLatin1String(stringKeys[i]));
        strings[i] = v.toString();
    }
    m.platform = strings[0];
    m.arch = strings[1];
    m.channel = strings[2];
    m.file = strings[3];
    m.sha256 = strings[4].toLatin1();
    m.publishedAt = strings[5];

    const QJsonValue notes = o.value(QLatin1String("notes"));
    if (notes.isString())
        m.notes = notes.toString();
    else if (!notes.isUndefined() && !notes.isNull())
        return QStringLiteral("manifest.notes is not a string");

    const QJsonValue mandatory = o.value(QLatin1String("mandatory"));
    if (!mandatory.isBool())
        return QStringLiteral("manifest.mandatory is not a boolean");
    m.mandatory = mandatory.toBool();

    const QJsonValue minVersion = o.value(QLatin1String("minVersion"));
    if (minVersion.isString()) {
        m.minVersion = Version::parse(minVersion.toString());
        if (!m.minVersion)
            return QStringLiteral("manifest.minVersion is not MAJOR.MINOR.PATCH");
    } else if (!minVersion.isUndefined() && !minVersion.isNull()) {
        return QStringLiteral("manifest.minVersion is neither a string nor null");
    }

    const QJsonValue size = o.value(QLatin1String("size"));
    if (!size.isDouble())
        return QStringLiteral("manifest.size is not a number");
    const double sz = size.toDouble();
    if (!std::isfinite(sz) || std::floor(sz) != sz || sz < 1 || sz > double(kMaxInstallerBytes))
        return QStringLiteral("manifest.size %1 out of range (1 .. 2 GiB)").arg(sz, 0, 'f', 0);
    m.size = qint64(sz);

    static const QRegularExpression hexRe(QStringLiteral("^[0-9a-f]{64}\\z"));
    if (!hexRe.match(strings[4]).hasMatch())
        return QStringLiteral("manifest.sha256 is not 64 lowercase hex chars");
    return {};
}

} // namespace

ManifestVerdict validateManifest(const QByteArray &bytes, const BuildInfo &build)
{
    Manifest m;
    const ManifestVerdict::Kind rejected = ManifestVerdict::Rejected;
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &pe);
    if (pe.error != QJsonParseError::NoError || !doc.isObject())
        return verdict(rejected, QStringLiteral("manifest is not a JSON object"), m);
    m.raw = bytes;
    const QString malformed = readManifestFields(doc.object(), m);
    if (!malformed.isEmpty())
        return verdict(rejected, malformed, m);

    if (m.platform != build.platform || m.arch != build.arch || m.channel != build.channel)
        return verdict(ManifestVerdict::Ignored,
                       QStringLiteral("for %1/%2/%3, this build is %4/%5/%6")
                           .arg(m.platform.left(16), m.arch.left(16), m.channel.left(16), build.platform,
                                build.arch, build.channel),
                       m);

    const QString ext = installerExtension(build);
    if (!isSafeInstallerName(m.file, ext))
        return verdict(rejected,
                       QStringLiteral("manifest.file '%1' is not an allowed .%2 name").arg(m.file.left(160), ext),
                       m);

    if (m.version.compare(build.version) <= 0)
        return verdict(ManifestVerdict::Ignored,
                       QStringLiteral("version %1 is not newer than the running %2")
                           .arg(m.version.toString(), build.version.toString()),
                       m);

    if (m.minVersion && build.version.compare(*m.minVersion) < 0)
        return verdict(ManifestVerdict::Manual,
                       QStringLiteral("version %1 needs at least %2 to update in place (running %3)")
                           .arg(m.version.toString(), m.minVersion->toString(), build.version.toString()),
                       m);

    return verdict(ManifestVerdict::Available,
                   QStringLiteral("version %1 (%2, %3 bytes)%4")
                       .arg(m.version.toString(), m.file, QString::number(m.size),
                            m.mandatory ? QStringLiteral(", mandatory") : QString()),
                   m);
}

ManifestVerdict evaluateManifest(const QByteArray &bytes, const QByteArray &signature,
                                 const QByteArray &publicKey, const BuildInfo &build)
{
    QString error;
    if (!ed25519Verify(bytes, signature, publicKey, &error))
        return verdict(ManifestVerdict::Rejected, QStringLiteral("bad signature: %1").arg(error), Manifest{});
    ManifestVerdict v = validateManifest(bytes, build);
    v.manifest.signature = signature;
    return v;
}

} // namespace svd::update
