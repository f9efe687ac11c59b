#include "tests/player/testsupport.h"

#include "base/log.h"
#include "tests/common/timescale.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace svd::test {

namespace {

QTemporaryDir &tempDir()
{
    static QTemporaryDir dir;
    return dir;
}

bool runFfmpeg(const QStringList &args, const QString &out)
{
    if (QFileInfo::exists(out))
        return true;
    QProcess p;
    p.start(QStringLiteral("ffmpeg"),
            QStringList{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y")} + args +
                QStringList{out});
    if (!p.waitForFinished(svd::test::waitMs(60000)) || p.exitCode() != 0) {
        qWarning("ffmpeg failed: %s", p.readAllStandardError().constData());
        return false;
    }
    return true;
}

} // namespace

std::vector<TestFactory> &testRegistry()
{
    static std::vector<TestFactory> registry;
    return registry;
}

QString testLogPath()
{
    return tempDir().filePath(QStringLiteral("test.log"));
}

void startTestLog()
{
    logStart(testLogPath());
}

LogMark::LogMark() : m_offset(QFileInfo(testLogPath()).size()) {}

QString LogMark::text() const
{
    QFile f(testLogPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    f.seek(m_offset);
    return QString::fromUtf8(f.readAll());
}

QString mediaDir()
{
    return tempDir().path();
}

QString makeClip(const QString &name, int seconds, const QString &audioLang)
{
    const QString out = tempDir().filePath(name);
    const QString d = QString::number(seconds);
    const bool ok =
        runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                   QStringLiteral("testsrc=duration=%1:size=160x120:rate=25").arg(d), QStringLiteral("-f"),
                   QStringLiteral("lavfi"), QStringLiteral("-i"),
                   QStringLiteral("sine=frequency=440:duration=%1").arg(d), QStringLiteral("-c:v"),
                   QStringLiteral("mpeg4"), QStringLiteral("-g"), QStringLiteral("25"),
                   QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-metadata:s:a:0"),
                   QStringLiteral("language=%1").arg(audioLang)},
                  out);
    return ok ? out : QString();
}

QString makeAudio(const QString &name, int seconds, int hz, const QString &lang)
{
    const QString out = tempDir().filePath(name);
    const bool ok = runFfmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                               QStringLiteral("sine=frequency=%1:duration=%2").arg(hz).arg(seconds),
                               QStringLiteral("-c:a"), QStringLiteral("aac"),
                               QStringLiteral("-metadata:s:a:0"), QStringLiteral("language=%1").arg(lang)},
                              out);
    return ok ? out : QString();
}

} // namespace svd::test
