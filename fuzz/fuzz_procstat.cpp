// Any bytes as /proc texts: the stat, statm and cmdline parsers and the kind of a
// command line must never crash, and what they return must be consistent.
#include "diag/procsample.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto st = svd::parseProcStat(bytes)) {
        // A parsed line always had its command name in parentheses after the pid.
        if (!bytes.contains('(') || !bytes.contains(')'))
            std::abort();
    }
    (void)svd::parseStatmResidentPages(bytes);
    const QStringList args = svd::splitCmdline(bytes);
    for (const QString &a : args)
        if (a.isEmpty())
            std::abort();
    const QString kind = svd::processKind(args.join(QLatin1Char(' ')));
    if (kind.contains(QLatin1Char(' ')))
        std::abort();
    return 0;
}
