#include "tools/release/commands.h"
#include "tools/release/keyfile.h"
#include "tools/release/releasefiles.h"

#include "update/crypto.h"
#include "update/urlpolicy.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cstdio>

namespace svd::release {

namespace {

// Version and Architecture from the package's control file; an empty map when
// dpkg-deb is not installed, nullopt when the file is not a package.
std::optional<QMap<QString, QString>> controlFields(const QString &deb)
{
    QProcess p;
    p.start(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb, QStringLiteral("Version"),
                                         QStringLiteral("Architecture")});
    if (!p.waitForStarted())
        return QMap<QString, QString>{};
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return std::nullopt;
    QMap<QString, QString> fields;
    for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split(u'\n')) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0)
            fields.insert(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
    return fields;
}

QString archFor(const QString &debArch)
{
    return debArch == QLatin1String("amd64") ? QStringLiteral("x64") : debArch;
}

void addSignOptions(QCommandLineParser &p)
{
    p.setApplicationDescription(QStringLiteral(
        "Signs a built .deb as an update: writes update.json (the answer the program's update check verifies), "
        "manifest.json, manifest.sig and a copy of the .deb into --out. The private key comes from --key FILE "
        "or, without it, from the PEM text in the environment variable SVD_RELEASE_KEY, and must belong to "
        "--public-key (the key the program is built with)."));
    p.addOptions({
        {QStringLiteral("deb"), QStringLiteral("The package (its Version must equal --version)."), QStringLiteral("file")},
        {QStringLiteral("version"), QStringLiteral("Release version MAJOR.MINOR.PATCH."), QStringLiteral("v")},
        {QStringLiteral("notes"), QStringLiteral("Release notes (plain text)."), QStringLiteral("text")},
        {QStringLiteral("notes-file"), QStringLiteral("Release notes from a UTF-8 file."), QStringLiteral("file")},
        {QStringLiteral("base-url"), QStringLiteral("Where the feed will be served (https, or http on this machine)."),
         QStringLiteral("url")},
        {QStringLiteral("public-key"), QStringLiteral("The release public key (base64, as SVD_UPDATE_PUBLIC_KEY)."),
         QStringLiteral("base64")},
        {QStringLiteral("key"), QStringLiteral("Private key file (else $SVD_RELEASE_KEY)."), QStringLiteral("file")},
        {QStringLiteral("channel"), QStringLiteral("stable (default) or beta."), QStringLiteral("channel"),
         QStringLiteral("stable")},
        {QStringLiteral("mandatory"), QStringLiteral("Mark the update mandatory.")},
        {QStringLiteral("min-version"), QStringLiteral("Oldest version that may update in place."), QStringLiteral("v")},
        {QStringLiteral("published-at"), QStringLiteral("Publication time (default: now, UTC)."), QStringLiteral("iso")},
        {QStringLiteral("out"), QStringLiteral("Output folder (created)."), QStringLiteral("dir")},
    });
}

// The manifest the program validates, as the bytes that are signed.
QByteArray manifestJson(const QCommandLineParser &p, const update::BuildInfo &build, const QString &file,
                        qint64 size, const QByteArray &sha, const QString &notes)
{
    QJsonObject m;
    m.insert(QStringLiteral("version"), p.value(QStringLiteral("version")));
    m.insert(QStringLiteral("platform"), build.platform);
    m.insert(QStringLiteral("arch"), build.arch);
    m.insert(QStringLiteral("channel"), p.value(QStringLiteral("channel")));
    m.insert(QStringLiteral("file"), file);
    m.insert(QStringLiteral("size"), size);
    m.insert(QStringLiteral("sha256"), QString::fromLatin1(sha));
    m.insert(QStringLiteral("notes"), notes);
    m.insert(QStringLiteral("mandatory"), p.isSet(QStringLiteral("mandatory")));
    m.insert(QStringLiteral("minVersion"), p.isSet(QStringLiteral("min-version"))
                                               ? QJsonValue(p.value(QStringLiteral("min-version")))
                                               : QJsonValue(QJsonValue::Null));
    m.insert(QStringLiteral("publishedAt"),
             p.isSet(QStringLiteral("published-at"))
                 ? p.value(QStringLiteral("published-at"))
                 : QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")));
    return QJsonDocument(m).toJson(QJsonDocument::Compact);
}

// The program reads "manifest" and "signature"; "downloadUrl" is for people
// and other clients (the program always builds it from its base and the file).
QByteArray updateAnswer(const QByteArray &manifest, const QByteArray &signature, const QUrl &base,
                        const QString &file)
{
    QJsonObject envelope;
    envelope.insert(QStringLiteral("manifest"), QString::fromUtf8(manifest));
    envelope.insert(QStringLiteral("signature"), QString::fromLatin1(signature.toBase64()));
    envelope.insert(QStringLiteral("downloadUrl"),
                    update::downloadUrlFor(base, file).toString(QUrl::FullyEncoded));
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

} // namespace

int signRelease(const QStringList &args)
{
    const char *cmd = "sign-release";
    QCommandLineParser p;
    addSignOptions(p);
    if (const std::optional<int> done = parseCommand(p, cmd, args, {"deb", "version", "base-url", "public-key", "out"}))
        return *done;

    const QString versionText = p.value(QStringLiteral("version"));
    if (!update::Version::parse(versionText))
        return complain(cmd, QStringLiteral("--version '%1' is not MAJOR.MINOR.PATCH").arg(versionText));
    const QString channel = p.value(QStringLiteral("channel"));
    if (channel != QLatin1String("stable") && channel != QLatin1String("beta"))
        return complain(cmd, QStringLiteral("--channel must be stable or beta"));
    QString why;
    const QUrl base(p.value(QStringLiteral("base-url")));
    if (!update::isAllowedBase(base, &why))
        return complain(cmd, QStringLiteral("--base-url refused: %1").arg(why));
    if (p.isSet(QStringLiteral("min-version")) && !update::Version::parse(p.value(QStringLiteral("min-version"))))
        return complain(cmd, QStringLiteral("--min-version is not MAJOR.MINOR.PATCH"));
    QString notes = p.value(QStringLiteral("notes"));
    if (p.isSet(QStringLiteral("notes-file"))) {
        QFile f(p.value(QStringLiteral("notes-file")));
        if (!f.open(QIODevice::ReadOnly))
            return complain(cmd, QStringLiteral("cannot read %1: %2").arg(f.fileName(), f.errorString()));
        notes = QString::fromUtf8(f.readAll()).trimmed();
    }

    QByteArray publicKey;
    if (!decodePublicKey(p.value(QStringLiteral("public-key")), &publicKey, &why))
        return complain(cmd, why);
    const Pkey key = loadPrivateKey(p.value(QStringLiteral("key")), &why);
    if (!key)
        return complain(cmd, why);
    if (rawPublicKey(key.get()) != publicKey)
        return complain(cmd, QStringLiteral("the private key does not belong to the public key %1; refusing to sign")
                                 .arg(QString::fromLatin1(publicKey.toBase64())));

    const update::BuildInfo build = update::runningBuild(channel);
    const QFileInfo deb(p.value(QStringLiteral("deb")));
    if (!deb.isFile())
        return complain(cmd, QStringLiteral("no package at %1").arg(deb.filePath()));
    if (!update::isSafeInstallerName(deb.fileName(), update::installerExtension(build)))
        return complain(cmd, QStringLiteral("the file name '%1' is not one the program accepts (letters, digits, "
                                            "'.', '_', '-', at most 155 characters, ending in .%2)")
                                 .arg(deb.fileName(), update::installerExtension(build)));
    const auto control = controlFields(deb.absoluteFilePath());
    if (!control)
        return complain(cmd, QStringLiteral("%1 is not a Debian package (dpkg-deb -f failed)").arg(deb.filePath()));
    if (control->isEmpty()) {
        std::fprintf(stderr, "sign-release: dpkg-deb not found; the package's own version is not checked\n");
    } else if (control->value(QStringLiteral("Version")) != versionText ||
               archFor(control->value(QStringLiteral("Architecture"))) != build.arch) {
        return complain(cmd, QStringLiteral("the package is %1 for %2, not %3 for %4")
                                 .arg(control->value(QStringLiteral("Version")),
                                      control->value(QStringLiteral("Architecture")), versionText, build.arch));
    }
    qint64 size = 0;
    const QByteArray sha = update::sha256File(deb.absoluteFilePath(), &size, &why);
    if (sha.isEmpty())
        return complain(cmd, why);

    const QByteArray manifest = manifestJson(p, build, deb.fileName(), size, sha, notes);
    const QByteArray signature = sign(key.get(), manifest, &why);
    if (signature.isEmpty())
        return complain(cmd, why);

    const QByteArray answer = updateAnswer(manifest, signature, base, deb.fileName());

    const QDir out(p.value(QStringLiteral("out")));
    if (!QDir().mkpath(out.path()))
        return complain(cmd, QStringLiteral("cannot create %1").arg(out.path()));
    const QString copy = out.filePath(deb.fileName());
    if (!copyFile(deb.absoluteFilePath(), copy, &why) ||
        !writeFile(out.filePath(QLatin1String(kManifestFile)), manifest, &why) ||
        !writeFile(out.filePath(QLatin1String(kSignatureFile)), signature.toBase64() + '\n', &why) ||
        !writeFile(out.filePath(QLatin1String(kAnswerFile)), answer, &why))
        return complain(cmd, why);
    // What was written must pass the program's own checks, on the copy that ships.
    if (!verifyRelease(answer, publicKey, copy, nullptr, &why))
        return complain(cmd, why);
    std::printf("signed %s %s (%lld bytes, sha256 %s) into %s\n", versionText.toUtf8().constData(),
                deb.fileName().toUtf8().constData(), static_cast<long long>(size), sha.constData(),
                QFile::encodeName(out.absolutePath()).constData());
    return 0;
}

} // namespace svd::release
