#include "tools/release/commands.h"
#include "tools/release/keyfile.h"

#include <QCommandLineParser>
#include <QFile>

#include <cstdio>

namespace svd::release {

int checkKey(const QStringList &args)
{
    const char *cmd = "check-key";
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Checks, before a long build, that --public-key is a usable release key and (with --key, or "
        "$SVD_RELEASE_KEY when set) that the private key belongs to it. The demo key is refused."));
    p.addOptions({
        {QStringLiteral("public-key"), QStringLiteral("The release public key (base64)."), QStringLiteral("base64")},
        {QStringLiteral("key"), QStringLiteral("Private key file."), QStringLiteral("file")},
        {QStringLiteral("demo-key"), QStringLiteral("The demo public key file, refused as a release key."),
         QStringLiteral("file")},
    });
    if (const std::optional<int> done = parseCommand(p, cmd, args, {"public-key"}))
        return *done;
    QString why;
    QByteArray publicKey;
    if (!decodePublicKey(p.value(QStringLiteral("public-key")), &publicKey, &why))
        return complain(cmd, why);
    if (p.isSet(QStringLiteral("demo-key"))) {
        QFile demo(p.value(QStringLiteral("demo-key")));
        if (demo.open(QIODevice::ReadOnly) && QByteArray::fromBase64(demo.readAll().trimmed()) == publicKey)
            return complain(cmd, QStringLiteral("that is the demo key, whose private half is public"));
    }
    if (p.isSet(QStringLiteral("key")) || !qEnvironmentVariableIsEmpty("SVD_RELEASE_KEY")) {
        const Pkey key = loadPrivateKey(p.value(QStringLiteral("key")), &why);
        if (!key)
            return complain(cmd, why);
        if (rawPublicKey(key.get()) != publicKey)
            return complain(cmd, QStringLiteral("the private key does not belong to this public key"));
    }
    std::printf("check-key: ok\n");
    return 0;
}

} // namespace svd::release
