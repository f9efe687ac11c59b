#include "base/log.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSysInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace svd {

namespace {

struct LogState {
    std::mutex mutex;
    QElapsedTimer clock;
    std::unique_ptr<QFile> file;
};

// Never destroyed: threads may still log while static destructors run at exit.
LogState &state()
{
    static LogState *s = new LogState;
    return *s;
}

// Caller holds the mutex.
double clockLocked(LogState &s)
{
    if (!s.clock.isValid())
        s.clock.start();
    return double(s.clock.nsecsElapsed()) / 1e9;
}

const char *levelName(QtMsgType type)
{
    switch (int(type)) {
    case 1:
        return "warning";
    case 2:
        return "critical";
    case 3:
        return "fatal";
    case 4:
        return "info";
    default:
        return "debug";
    }
}

void qtHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg) {
        const char *cat = context.category;
        if (!cat || std::strncmp(cat, "qt.webenginecontext", 19) != 0)
            return;
    }
    logLine(QStringLiteral("qt-%1: %2").arg(QLatin1String(levelName(type)), text));
}

// Line breaks and other control characters in a message come from pages, mpv,
// GPU drivers or the backend; escaped, one event stays one line and no text can
// pass for a line of our own.
QString escapeControls(const QString &message)
{
    const auto isControl = [](char16_t c) {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
    };
    if (std::none_of(message.cbegin(), message.cend(), [&](QChar c) { return isControl(c.unicode()); }))
        return message;
    QString out;
    out.reserve(message.size() + 16);
    for (const QChar ch : message) {
        const char16_t c = ch.unicode();
        if (!isControl(c))
            out += ch;
        else if (c == u'\n')
            out += QLatin1String("\\n");
        else if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else
            out += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace

QString formatLogLine(double seconds, const QString &message)
{
    // Built by concatenation: the message may itself hold "%1".
    return QStringLiteral("[t=") + QStringLiteral("%1").arg(seconds, 7, 'f', 2, QLatin1Char(' ')) +
           QStringLiteral("] ") + escapeControls(message);
}

void logStart(const QString &path)
{
    LogState &s = state();
    std::lock_guard lock(s.mutex);
    clockLocked(s);
    if (path.isEmpty() || s.file)
        return;
    auto f = std::make_unique<QFile>(path);
    if (!f->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    s.file = std::move(f);
}

void logLine(const QString &message)
{
    LogState &s = state();
    double t;
    {
        std::lock_guard lock(s.mutex);
        t = clockLocked(s);
    }
    const QByteArray bytes = formatLogLine(t, message).toUtf8();
    std::lock_guard lock(s.mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (s.file) {
        s.file->write(bytes);
        s.file->write("\n", 1);
        s.file->flush();
    }
}

double logClock()
{
    LogState &s = state();
    std::lock_guard lock(s.mutex);
    return clockLocked(s);
}

void installQtMessageHandler()
{
    qInstallMessageHandler(qtHandler);
}

QString appUaToken()
{
    return QStringLiteral("SorvantaDesktop/") + QLatin1String(kAppVersion);
}

QString nativeUserAgent()
{
    QString arch = QSysInfo::buildCpuArchitecture();
    if (arch == QLatin1String("x86_64"))
        arch = QStringLiteral("x64");
    return QStringLiteral("%1 (%2; %3)").arg(appUaToken(), QStringLiteral("Linux"), arch);
}

} // namespace svd
