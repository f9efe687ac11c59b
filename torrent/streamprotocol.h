#pragma once

#include <QString>

struct mpv_handle;
struct mpv_stream_cb_info;

namespace svd {

class TorrentEngine;

inline constexpr char kTorrentScheme[] = "svtorrent";

// "svtorrent://<torrent id>/<file index>".
QString torrentUri(const QString &torrentId, int fileIndex);

// Splits a stream address into the torrent id and the file index. False when the file index
// is missing, not a decimal number or does not fit 32 bits (the id is still filled).
bool parseTorrentUri(const QString &address, QString *torrentId, int *fileIndex);

// The protocol's open callback: fills `info` with the stream callbacks and returns 0, or
// returns the libmpv error -13 (loading failed). Runs on libmpv's stream thread.
int openTorrentStream(TorrentEngine *engine, const char *uri, mpv_stream_cb_info *info);

// Registers the svtorrent:// protocol on `mpv`; reads go through `engine`'s open torrents.
bool installTorrentProtocol(mpv_handle *mpv, TorrentEngine *engine);

} // namespace svd
