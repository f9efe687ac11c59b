#include "tools/release/commands.h"
#include "tools/release/keyfile.h"
#include "tools/release/releasefiles.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace svd::release {

namespace {

// Marks a folder as made here, so that a second run may replace its contents.
constexpr char kMarker[] = ".svd-update-feed";

QByteArray latestPage(const update::Manifest &m)
{
    const QString notes = m.notes.trimmed().toHtmlEscaped().replace(u'\n', QStringLiteral("<br>"));
    const QString file = m.file.toHtmlEscaped();
    return QStringLiteral(
               "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\">"
               "<title>Sorvanta Desktop %1</title></head><body>"
               "<h1>Sorvanta Desktop %1</h1>%2"
               "<p><a href=\"../download/%3\">Скачать %3</a> (%4 МБ)</p>"
               "<p>Установка: <code>sudo apt install ./%3</code></p>"
               "<p><small>SHA-256 %5; подпись Ed25519: <a href=\"../download/%3.manifest.json\">манифест</a>, "
               "<a href=\"../download/%3.manifest.sig\">подпись</a>.</small></p></body></html>\n")
        .arg(m.version.toString(), notes.isEmpty() ? QString() : QStringLiteral("<p>%1</p>").arg(notes), file,
             QString::number(double(m.size) / 1048576.0, 'f', 1), QString::fromLatin1(m.sha256))
        .toUtf8();
}

} // namespace

int makeFeed(const QStringList &args)
{
    const char *cmd = "make-feed";
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Lays out a folder that any static web server can serve as the update URL's root:\n"
        "  api/desktop/update                     the check answer (signed manifest)\n"
        "  api/desktop/download/<file>            the package, with <file>.manifest.json and .manifest.sig\n"
        "  api/desktop/latest/index.html          the page the program opens for a manual update\n"
        "A static server answers every platform, arch and channel with this one release: builds of another "
        "platform, arch or channel, and builds already at this version or newer, take it as nothing newer."));
    p.addOptions({
        {QStringLiteral("release"), QStringLiteral("Output folder of sign-release."), QStringLiteral("dir")},
        {QStringLiteral("public-key"), QStringLiteral("The release public key (base64) to verify with."),
         QStringLiteral("base64")},
        {QStringLiteral("out"), QStringLiteral("Feed folder (created; replaced if made by make-feed)."),
         QStringLiteral("dir")},
    });
    if (const std::optional<int> done = parseCommand(p, cmd, args, {"release", "public-key", "out"}))
        return *done;
    QString why;
    QByteArray publicKey;
    if (!decodePublicKey(p.value(QStringLiteral("public-key")), &publicKey, &why))
        return complain(cmd, why);
    const QDir release(p.value(QStringLiteral("release")));
    QFile answerFile(release.filePath(QLatin1String(kAnswerFile)));
    if (!answerFile.open(QIODevice::ReadOnly))
        return complain(cmd, QStringLiteral("cannot read %1: %2").arg(answerFile.fileName(), answerFile.errorString()));
    const QByteArray answer = answerFile.readAll();
    // The file name is known only after parsing; verifyRelease checks the
    // answer and then the package it names.
    update::Manifest m;
    QByteArray bytes, signature;
    if (!update::parseUpdateResponse(answer, &bytes, &signature, &why))
        return complain(cmd, QStringLiteral("bad update answer: %1").arg(why));
    const QString file = update::validateManifest(bytes, {}).manifest.file;
    if (file.isEmpty() || file.contains(u'/'))
        return complain(cmd, QStringLiteral("the manifest names no package"));
    const QString package = release.filePath(file);
    if (!verifyRelease(answer, publicKey, package, &m, &why))
        return complain(cmd, why);

    const QDir out(p.value(QStringLiteral("out")));
    if (out.exists() && !out.isEmpty() && !QFileInfo::exists(out.filePath(QLatin1String(kMarker))))
        return complain(cmd, QStringLiteral("%1 is not empty and was not made by make-feed").arg(out.path()));
    const QString api = out.filePath(QStringLiteral("api"));
    if (QFileInfo::exists(api) && !QDir(api).removeRecursively())
        return complain(cmd, QStringLiteral("cannot clear %1").arg(api));
    const QString desktop = api + QStringLiteral("/desktop");
    const QString download = desktop + QStringLiteral("/download/");
    if (!QDir().mkpath(download) || !QDir().mkpath(desktop + QStringLiteral("/latest")))
        return complain(cmd, QStringLiteral("cannot create %1").arg(download));
    if (!writeFile(out.filePath(QLatin1String(kMarker)), QByteArray(), &why) ||
        !writeFile(desktop + QStringLiteral("/update"), answer, &why) || !copyFile(package, download + file, &why) ||
        !writeFile(download + file + QStringLiteral(".manifest.json"), m.raw, &why) ||
        !writeFile(download + file + QStringLiteral(".manifest.sig"), m.signature.toBase64() + '\n', &why) ||
        !writeFile(desktop + QStringLiteral("/latest/index.html"), latestPage(m), &why))
        return complain(cmd, why);
    std::printf("feed: %s %s/%s/%s (%s) in %s\n", m.version.toString().toUtf8().constData(),
                m.platform.toUtf8().constData(), m.arch.toUtf8().constData(), m.channel.toUtf8().constData(),
                m.file.toUtf8().constData(), QFile::encodeName(out.absolutePath()).constData());
    return 0;
}

} // namespace svd::release
