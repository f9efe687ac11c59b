#include "tests/video/testsupport.h"

#include "base/log.h"
#include "tests/common/timescale.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace svd::test {

namespace {

QString &logDir()
{
    static QString dir;
    return dir;
}

QString logPath()
{
    return QDir(logDir()).filePath(QStringLiteral("test.log"));
}

bool looksRed(QRgb c)
{
    return qRed(c) > 150 && qBlue(c) < 100 && qGreen(c) < 100;
}

bool looksBlue(QRgb c)
{
    return qBlue(c) > 150 && qRed(c) < 100 && qGreen(c) < 100;
}

} // namespace

void startTestLog(const QString &dir)
{
    logDir() = dir;
    logStart(logPath());
}

LogMark::LogMark() : m_offset(QFileInfo(logPath()).size()) {}

QString LogMark::text() const
{
    QFile f(logPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    f.seek(m_offset);
    return QString::fromUtf8(f.readAll());
}

QString colourClip()
{
    const QString out = QDir(logDir()).filePath(QStringLiteral("red-over-blue.mkv"));
    if (QFileInfo::exists(out))
        return out;
    QProcess p;
    p.start(QStringLiteral("ffmpeg"),
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
             QStringLiteral("lavfi"), QStringLiteral("-i"),
             QStringLiteral("color=c=red:s=320x240:r=25:d=30,drawbox=x=0:y=120:w=320:h=120:color=blue:t=fill"),
             QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
             QStringLiteral("sine=frequency=440:duration=30"), QStringLiteral("-c:a"), QStringLiteral("aac"),
             QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-q:v"), QStringLiteral("3"),
             QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), out});
    if (!p.waitForFinished(svd::test::waitMs(60000)) || p.exitCode() != 0) {
        qWarning("ffmpeg failed: %s", p.readAllStandardError().constData());
        return QString();
    }
    return out;
}

bool isUprightRedOverBlue(const QImage &image, QString *why)
{
    if (image.isNull()) {
        *why = QStringLiteral("null image");
        return false;
    }
    const QImage img = image.convertToFormat(QImage::Format_RGB32);
    const QRgb top = img.pixel(img.width() / 2, img.height() / 4);
    const QRgb bottom = img.pixel(img.width() / 2, img.height() * 3 / 4);
    if (looksRed(top) && looksBlue(bottom))
        return true;
    *why = QStringLiteral("%1x%2, top #%3, bottom #%4")
               .arg(img.width())
               .arg(img.height())
               .arg(top & 0xffffff, 6, 16, QLatin1Char('0'))
               .arg(bottom & 0xffffff, 6, 16, QLatin1Char('0'));
    return false;
}

} // namespace svd::test
