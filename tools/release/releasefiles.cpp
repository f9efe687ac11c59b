#include "tools/release/releasefiles.h"

#include "update/crypto.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace svd::release {

namespace {

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool verifyRelease(const QByteArray &answer, const QByteArray &publicKey, const QString &installer,
                   update::Manifest *manifest, QString *error)
{
    QByteArray bytes, signature;
    QString why;
    if (!update::parseUpdateResponse(answer, &bytes, &signature, &why))
        return fail(error, QStringLiteral("bad update answer: %1").arg(why));
    // Parsed once without a build to learn whom the release is for.
    const update::Manifest m = update::validateManifest(bytes, {}).manifest;
    update::BuildInfo build;
    build.platform = m.platform;
    build.arch = m.arch;
    build.channel = m.channel;
    build.version = m.minVersion.value_or(update::Version{});
    const update::ManifestVerdict v = update::evaluateManifest(bytes, signature, publicKey, build);
    if (v.kind != update::ManifestVerdict::Available)
        return fail(error, QStringLiteral("the program would not take this release: %1").arg(v.message));
    qint64 size = 0;
    const QByteArray sha = update::sha256File(installer, &size, &why);
    if (sha.isEmpty())
        return fail(error, why);
    if (size != v.manifest.size || sha != v.manifest.sha256)
        return fail(error, QStringLiteral("%1 is not the file the manifest describes (%2 bytes, sha256 %3)")
                               .arg(installer)
                               .arg(size)
                               .arg(QString::fromLatin1(sha)));
    if (manifest)
        *manifest = v.manifest;
    return true;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
    return true;
}

bool copyFile(const QString &from, const QString &to, QString *error)
{
    if (QFileInfo(from).canonicalFilePath() == QFileInfo(to).canonicalFilePath())
        return true;
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return fail(error, QStringLiteral("cannot copy %1 to %2").arg(from, to));
    return true;
}

} // namespace svd::release
