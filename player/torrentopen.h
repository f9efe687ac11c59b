#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace svd {

class StreamTorrent;
class TorrentEngine;
struct SourceInfo;

// TorrentEngine::open of `source` (its .torrent `bytes`, else its magnet) without blocking the
// GUI thread: while the same torrent is still leaving the session, null is returned with
// *later set, and `again` runs on `context` a little later.
std::shared_ptr<StreamTorrent> openTorrentSoon(TorrentEngine *engine, const QByteArray &bytes, const SourceInfo &source,
                                               QString *error, bool *later, QObject *context,
                                               const std::function<void()> &again);

// A torrent opened beside the one being played: the heads and tails of `source`'s file
// start downloading once its metadata is there (and only once).
void serveSourceFile(StreamTorrent *torrent, const SourceInfo &source);

} // namespace svd
