// Stream addresses come from libmpv (and through it from whatever a page or playlist asked for).
#include "torrent/streamprotocol.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString address = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    QString id;
    int file = -1;
    if (svd::parseTorrentUri(address, &id, &file)) {
        // A parsed address rebuilt from its parts parses back to the same parts.
        QString id2;
        int file2 = -1;
        if (!id.contains(QLatin1Char('/')) && !id.contains(QLatin1String("://")) &&
            (!svd::parseTorrentUri(svd::torrentUri(id, file), &id2, &file2) || id2 != id || file2 != file))
            __builtin_trap();
    }
    return 0;
}
