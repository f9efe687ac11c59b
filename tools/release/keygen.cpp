#include "tools/release/commands.h"
#include "tools/release/keyfile.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace svd::release {

namespace {

// The checkout this tool was built from, or any git work tree around `dir`:
// a private key must never be where a commit could pick it up.
QString workTreeAround(const QString &dir)
{
    const QString source = QFileInfo(QStringLiteral(SVD_SOURCE_DIR)).canonicalFilePath();
    if (!source.isEmpty() && (dir == source || dir.startsWith(source + u'/')))
        return source;
    for (QDir d(dir);; ) {
        if (QFileInfo::exists(d.filePath(QStringLiteral(".git"))))
            return d.path();
        if (!d.cdUp())
            return {};
    }
}

} // namespace

int keygen(const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Makes an Ed25519 release key pair. The private key is written to FILE (a new file, mode 0600, outside "
        "any git checkout) and never printed; the public key is printed as the value of the build setting "
        "SVD_UPDATE_PUBLIC_KEY."));
    p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("where the private key goes"));
    if (const std::optional<int> done = parseCommand(p, "keygen", args))
        return *done;
    if (p.positionalArguments().size() != 1)
        return complain("keygen", QStringLiteral("give the private key file (e.g. ~/.sorvanta-release/release.key)"));
    const QFileInfo target(p.positionalArguments().first());
    if (target.exists())
        return complain("keygen", QStringLiteral("%1 exists; a key is never overwritten").arg(target.filePath()));
    // The nearest existing folder decides where the key would land; missing
    // folders are made owner-only.
    QString existing = target.absolutePath();
    while (!QFileInfo::exists(existing))
        existing = QFileInfo(existing).path();
    const QString tree = workTreeAround(QFileInfo(existing).canonicalFilePath());
    if (!tree.isEmpty())
        return complain("keygen", QStringLiteral("%1 is inside the checkout %2; keep the private key outside it")
                                      .arg(target.filePath(), tree));
    if (!QFileInfo::exists(target.absolutePath())) {
        if (!QDir().mkpath(target.absolutePath()))
            return complain("keygen", QStringLiteral("cannot create %1").arg(target.absolutePath()));
        QFile::setPermissions(target.absolutePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString error;
    const Pkey key = generateKey(&error);
    if (!key || !writePrivateKey(key.get(), target.absoluteFilePath(), &error))
        return complain("keygen", error);
    const QByteArray pub = rawPublicKey(key.get()).toBase64();
    std::fprintf(stderr, "keygen: private key written to %s (mode 0600); back it up, never commit it.\n"
                         "keygen: build with -DSVD_UPDATE_PUBLIC_KEY=%s\n",
                 QFile::encodeName(target.absoluteFilePath()).constData(), pub.constData());
    std::printf("%s\n", pub.constData());
    return 0;
}

} // namespace svd::release
