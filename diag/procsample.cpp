#include "diag/procsample.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <unistd.h>

namespace svd {

namespace {

std::optional<quint64> toU64(QByteArrayView v)
{
    bool ok = false;
    const quint64 n = v.toULongLong(&ok);
    return ok ? std::optional<quint64>(n) : std::nullopt;
}

QByteArray readSmallFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(64 * 1024);
}

} // namespace

std::optional<ProcStat> parseProcStat(QByteArrayView text)
{
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open <= 0 || close < open)
        return std::nullopt;
    ProcStat st;
    bool ok = false;
    st.pid = text.first(open).trimmed().toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    // Fields after the command name, starting with field 3 (state).
    QList<QByteArray> fields = text.sliced(close + 1).toByteArray().simplified().split(' ');
    if (fields.size() < 20)
        return std::nullopt;
    const auto ppid = toU64(fields[1]);
    const auto utime = toU64(fields[11]);
    const auto stime = toU64(fields[12]);
    const auto start = toU64(fields[19]);
    if (!ppid || !utime || !stime || !start)
        return std::nullopt;
    st.ppid = qint64(*ppid);
    st.utime = *utime;
    st.stime = *stime;
    st.startTime = *start;
    return st;
}

std::optional<quint64> parseStatmResidentPages(QByteArrayView text)
{
    const QList<QByteArray> fields = text.toByteArray().simplified().split(' ');
    return fields.size() >= 2 ? toU64(fields.at(1)) : std::nullopt;
}

QStringList splitCmdline(QByteArrayView raw)
{
    QStringList args;
    for (const QByteArray &part : raw.toByteArray().split('\0')) {
        if (!part.isEmpty())
            args.append(QString::fromLocal8Bit(part));
    }
    return args;
}

namespace {

// Value of the argument "<name>..." in a command line joined with blanks; null when absent.
QString argumentValue(const QString &cmdline, QLatin1String name)
{
    for (qsizetype at = cmdline.indexOf(name); at >= 0; at = cmdline.indexOf(name, at + 1)) {
        if (at > 0 && cmdline.at(at - 1) != QLatin1Char(' '))
            continue;
        const qsizetype from = at + name.size();
        const qsizetype end = cmdline.indexOf(QLatin1Char(' '), from);
        const QString v = cmdline.mid(from, end < 0 ? -1 : end - from);
        return v.isNull() ? QString(QLatin1String("")) : v;
    }
    return QString();
}

} // namespace

QString processKind(const QString &cmdline)
{
    const QString type = argumentValue(cmdline, QLatin1String("--type="));
    if (type.isNull())
        return QStringLiteral("child");
    if (type == QLatin1String("gpu-process"))
        return QStringLiteral("gpu");
    if (type == QLatin1String("utility")) {
        const QString head = argumentValue(cmdline, QLatin1String("--utility-sub-type=")).section(QLatin1Char('.'), 0, 0);
        return head.isEmpty() ? type : QStringLiteral("utility:") + head;
    }
    return type;
}

QList<qint64> collectProcessTree(qint64 root, const QHash<qint64, QList<qint64>> &children, int perParent,
                                 int maxTotal)
{
    QList<qint64> order{root};
    QSet<qint64> seen{root};
    for (qsizetype i = 0; i < order.size() && order.size() < maxTotal; ++i) {
        const QList<qint64> kids = children.value(order.at(i));
        for (qsizetype k = 0; k < kids.size() && k < perParent && order.size() < maxTotal; ++k) {
            if (!seen.contains(kids.at(k))) {
                seen.insert(kids.at(k));
                order.append(kids.at(k));
            }
        }
    }
    return order;
}

QHash<qint64, ProcStat> readProcTable()
{
    QHash<qint64, ProcStat> table;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        bool ok = false;
        name.toLongLong(&ok);
        if (!ok)
            continue;
        if (const auto st = parseProcStat(readSmallFile(QStringLiteral("/proc/%1/stat").arg(name))))
            table.insert(st->pid, *st);
    }
    return table;
}

std::optional<qint64> readResidentBytes(qint64 pid)
{
    const auto pages = parseStatmResidentPages(readSmallFile(QStringLiteral("/proc/%1/statm").arg(pid)));
    if (!pages)
        return std::nullopt;
    return qint64(*pages) * qint64(sysconf(_SC_PAGESIZE));
}

std::optional<QStringList> readCmdline(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray raw = f.readAll();
    if (raw.isEmpty())
        return std::nullopt;
    return splitCmdline(raw);
}

quint64 ticksTo100ns(quint64 ticks)
{
    static const quint64 hz = [] {
        const long v = sysconf(_SC_CLK_TCK);
        return v > 0 ? quint64(v) : quint64(100);
    }();
    return ticks * 10'000'000ULL / hz;
}

} // namespace svd
