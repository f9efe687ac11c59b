// The updater's download folder: one private subfolder per download, named at random
// and recorded with its signed manifest in state.json, so that a restart resumes it and
// a newer release clears it.
#include "update/updater.h"

#include "base/log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>

namespace svd {

using update::Manifest;

namespace {

constexpr qint64 kStateMaxBytes = 524288;

struct SavedState {
    QString dir;
    QByteArray manifest;
    QByteArray signature;
};

const QRegularExpression &hexDirRe()
{
    static const QRegularExpression re(QStringLiteral("^[0-9a-f]{32}\\z"));
    return re;
}

QString statePath(const QString &downloadDir)
{
    return downloadDir + QStringLiteral("/state.json");
}

std::optional<SavedState> readState(const QString &downloadDir)
{
    QFile f(statePath(downloadDir));
    if (!f.open(QIODevice::ReadOnly) || f.size() > kStateMaxBytes)
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(f.read(kStateMaxBytes + 1)).object();
    SavedState s;
    s.dir = o.value(QLatin1String("dir")).toString();
    s.manifest = QByteArray::fromBase64(o.value(QLatin1String("manifest")).toString().toLatin1());
    s.signature = QByteArray::fromBase64(o.value(QLatin1String("signature")).toString().toLatin1());
    if (!hexDirRe().match(s.dir).hasMatch() || s.manifest.isEmpty())
        return std::nullopt;
    return s;
}

bool writeState(const QString &downloadDir, const QString &dir, const Manifest &m)
{
    QJsonObject o;
    o.insert(QStringLiteral("dir"), dir);
    o.insert(QStringLiteral("manifest"), QString::fromLatin1(m.raw.toBase64()));
    o.insert(QStringLiteral("signature"), QString::fromLatin1(m.signature.toBase64()));
    QSaveFile f(statePath(downloadDir));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QJsonDocument(o).toJson(QJsonDocument::Compact));
    return f.commit();
}

void makeOwnerOnly(const QString &path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The 32-hex download subfolders of `downloadDir`, hidden ones included, never
// following links.
QStringList hexSubfolders(const QString &downloadDir)
{
    QStringList out;
    const QDir d(downloadDir);
    const QFileInfoList entries =
        d.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::System);
    for (const QFileInfo &fi : entries) {
        if (fi.isSymLink() || fi.isJunction() || !hexDirRe().match(fi.fileName()).hasMatch())
            continue;
        out.append(fi.fileName());
    }
    return out;
}

QString randomDirName()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

} // namespace

QString Updater::prepareDir(const Manifest &m)
{
    const QString root = config_.downloadDir;
    QDir().mkpath(root);
    makeOwnerOnly(root);
    if (const auto s = readState(root); s && s->manifest == m.raw && QFileInfo(root + u'/' + s->dir).isDir())
        return root + u'/' + s->dir;
    wipe();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name = randomDirName();
        const QString path = root + u'/' + name;
        if (QFileInfo::exists(path) || !QDir().mkdir(path))
            continue;
        makeOwnerOnly(path);
        if (writeState(root, name, m))
            return path;
        QDir(path).removeRecursively();
        break;
    }
    return {};
}

void Updater::cleanupStale()
{
    if (lockHeld())
        return;
    const QString root = config_.downloadDir;
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return;
    QString keep;
    if (const auto s = readState(root);
        s && update::validateManifest(s->manifest, config_.build).kind == update::ManifestVerdict::Available)
        keep = s->dir;
    bool kept = false;
    for (const QString &name : hexSubfolders(root)) {
        if (name == keep) {
            kept = true;
            continue;
        }
        const QString path = root + u'/' + name;
        if (QDir(path).removeRecursively())
            logLine(QStringLiteral("update: removed old download %1").arg(path));
    }
    if (!kept) {
        QFile::remove(statePath(root));
        if (!preparedPath_.isEmpty() && QFileInfo(preparedPath_).absoluteFilePath().startsWith(
                                            QFileInfo(root).absoluteFilePath() + u'/'))
            forgetPrepared();
    }
}

void Updater::wipe()
{
    const QString root = config_.downloadDir;
    if (root.isEmpty())
        return;
    for (const QString &name : hexSubfolders(root)) {
        const QString path = root + u'/' + name;
        if (!QDir(path).removeRecursively())
            logLine(QStringLiteral("update: could not delete %1 (in use?)").arg(path));
    }
    QFile::remove(statePath(root));
}

void Updater::forgetPrepared()
{
    preparedManifest_ = Manifest{};
    preparedPath_.clear();
}

} // namespace svd
