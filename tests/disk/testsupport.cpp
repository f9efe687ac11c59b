#include "testsupport.h"

#include "disk/cachebudget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace disktest {

namespace {
QString g_logPath;
qint64 g_logPos = 0;
} // namespace

void setLogPath(const QString &path)
{
    g_logPath = path;
    g_logPos = 0;
}

QString takeLog()
{
    QFile f(g_logPath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    f.seek(g_logPos);
    const QByteArray bytes = f.readAll();
    g_logPos += bytes.size();
    return QString::fromUtf8(bytes);
}

QStringList strings(std::initializer_list<const char *> items)
{
    QStringList out;
    for (const char *s : items)
        out << QString::fromUtf8(s);
    return out;
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(content);
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

svd::disk::Volume volume(const QString &root, const char *kind, double freeGiB, const char *fs)
{
    svd::disk::Volume v;
    v.rootPath = svd::disk::normalizedRoot(root);
    v.name = QFileInfo(root).fileName();
    v.fileSystem = QLatin1String(fs);
    v.freeBytes = qint64(freeGiB * double(svd::disk::kGiB));
    v.totalBytes = 1000 * svd::disk::kGiB;
    v.ready = true;
    v.valid = true;
    v.kind = QLatin1String(kind);
    v.usable = v.kind == QLatin1String("fixed") || v.kind == QLatin1String("internal");
    v.ignored = !v.usable;
    return v;
}

} // namespace disktest
