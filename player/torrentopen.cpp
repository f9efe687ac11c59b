#include "player/torrentopen.h"

#include "base/log.h"
#include "sources/episodesources.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QTimer>

namespace svd {

namespace {

constexpr int kOpenRetryMs = 500;

} // namespace

std::shared_ptr<StreamTorrent> openTorrentSoon(TorrentEngine *engine, const QByteArray &bytes, const SourceInfo &source,
                                               QString *error, bool *later, QObject *context,
                                               const std::function<void()> &again)
{
    *later = false;
    if (!engine) {
        *error = QStringLiteral("no torrent engine");
        return nullptr;
    }
    std::shared_ptr<StreamTorrent> t = engine->open(bytes, source.magnet, error, later, {source.fileIndex, source.filePath});
    if (*later) {
        logLine(QStringLiteral("player: %1: opening again in %2 ms").arg(*error).arg(kOpenRetryMs));
        QTimer::singleShot(kOpenRetryMs, context, again);
    }
    return t;
}

void serveSourceFile(StreamTorrent *torrent, const SourceInfo &source)
{
    if (!torrent || !torrent->metadataReady || torrent->servedBytes() > 0)
        return;
    const int file = torrent->resolveFile(source.fileIndex, source.filePath);
    if (file >= 0)
        torrent->addFile(file);
}

} // namespace svd
