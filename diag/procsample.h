#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace svd {

// The fields of /proc/<pid>/stat the performance monitor needs (times in clock ticks).
struct ProcStat {
    qint64 pid = 0;
    qint64 ppid = 0;
    quint64 utime = 0;
    quint64 stime = 0;
    quint64 startTime = 0;
};

// Parses one /proc/<pid>/stat text; the command name in parentheses may itself
// hold blanks and parentheses.
std::optional<ProcStat> parseProcStat(QByteArrayView text);
// Resident pages, the second field of /proc/<pid>/statm.
std::optional<quint64> parseStatmResidentPages(QByteArrayView text);
// Arguments of a NUL-separated /proc/<pid>/cmdline.
QStringList splitCmdline(QByteArrayView raw);

// Kind of a child process from its command line (arguments joined with blanks):
// the "--type=" value ("gpu-process" -> "gpu", "utility" -> "utility:<sub-type
// before the first dot>"), or "child" without one.
QString processKind(const QString &cmdline);

// The tree below `root` in breadth-first order, `root` first: at most
// `perParent` children of each process and `maxTotal` processes in all.
QList<qint64> collectProcessTree(qint64 root, const QHash<qint64, QList<qint64>> &children, int perParent = 512,
                                 int maxTotal = 256);

// One walk over the live process table: every readable /proc/<pid>/stat.
QHash<qint64, ProcStat> readProcTable();
// Resident memory of a process in bytes; nullopt when it has vanished.
std::optional<qint64> readResidentBytes(qint64 pid);
// nullopt when the command line cannot be read.
std::optional<QStringList> readCmdline(qint64 pid);
// Converts clock ticks into 100 ns units.
quint64 ticksTo100ns(quint64 ticks);

} // namespace svd
