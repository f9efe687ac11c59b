// svd-release: makes the release key, signs a release, lays out its update feed.
#include "tools/release/commands.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace svd::release {

int complain(const char *command, const QString &text)
{
    std::fprintf(stderr, "%s: %s\n", command, text.toLocal8Bit().constData());
    return 1;
}

std::optional<int> parseCommand(QCommandLineParser &p, const char *command, const QStringList &args,
                                std::initializer_list<const char *> required)
{
    p.addHelpOption();
    if (!p.parse(QStringList{QString::fromLatin1(command)} + args))
        return complain(command, p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        std::printf("%s", p.helpText().toLocal8Bit().constData());
        return 0;
    }
    for (const char *name : required) {
        if (!p.isSet(QString::fromLatin1(name)))
            return complain(command, QStringLiteral("--%1 is required (see --help)").arg(QLatin1String(name)));
    }
    return std::nullopt;
}

} // namespace svd::release

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    if (command == QLatin1String("keygen"))
        return svd::release::keygen(args);
    if (command == QLatin1String("sign-release"))
        return svd::release::signRelease(args);
    if (command == QLatin1String("make-feed"))
        return svd::release::makeFeed(args);
    if (command == QLatin1String("check-key"))
        return svd::release::checkKey(args);
    std::fprintf(stderr,
                 "usage: svd-release keygen|sign-release|make-feed|check-key [--help]\n"
                 "  keygen FILE            new Ed25519 release key pair; the private key goes to FILE (0600),\n"
                 "                         the public key (SVD_UPDATE_PUBLIC_KEY) is printed\n"
                 "  sign-release ...       signed manifest and update answer for a built .deb\n"
                 "  make-feed ...          static update feed folder for a signed release\n"
                 "  check-key ...          a release key (and its private half) is usable\n");
    return 2;
}
