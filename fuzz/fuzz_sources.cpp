// Any bytes as a sources document: parsing must never crash and the derived
// fields must hold their invariants.
#include "sources/episodesources.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    const svd::EpisodeSources e = svd::EpisodeSources::fromJson(doc.object(), QStringLiteral("/base"));
    for (const svd::SourceInfo &s : e.sources) {
        if (s.infoHash != s.infoHash.toLower())
            std::abort();
        for (const svd::DubInfo &d : s.dubs)
            if (d.origin.isEmpty())
                std::abort();
        (void)s.defaultDub();
        (void)s.findDub(s.label);
    }
    // A document that is an array at the top gives defaults, as does garbage.
    if (doc.isArray() && !e.sources.isEmpty())
        std::abort();
    return 0;
}
