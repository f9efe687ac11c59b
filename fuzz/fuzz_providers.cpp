// Any bytes as a fixture file (all three forms) and as the request bytes the
// local backend parses: neither may crash, and the results keep their shape.
#include "sources/episodesources.h"
#include "sources/fixturefile.h"
#include "tools/backend/testbackend.h"

#include <QJsonDocument>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    const svd::FixtureDocument fixture = svd::parseFixtureDocument(QJsonDocument::fromJson(bytes));
    for (const QJsonObject &o : fixture.episodes) {
        const svd::EpisodeSources e = svd::EpisodeSources::fromJson(o, QStringLiteral("/base"));
        for (const svd::SourceInfo &s : e.sources) {
            const QString path = svd::fixtureTorrentPath(s.torrentUrl, s.infoHash, s.baseDir);
            if (s.torrentUrl.isEmpty() && !path.endsWith(QStringLiteral(".torrent")))
                std::abort();
        }
    }

    svd::HttpRequest req;
    if (svd::parseHttpRequest(bytes, &req) == svd::HttpParse::Complete) {
        if (req.method.isEmpty() || req.body.size() > bytes.size())
            std::abort();
        for (auto it = req.headers.cbegin(); it != req.headers.cend(); ++it)
            if (it.key() != it.key().toLower())
                std::abort();
    }
    return 0;
}
