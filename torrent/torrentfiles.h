#pragma once

#include "torrent/streamgeometry.h"

#include <QString>

#include <libtorrent/torrent_info.hpp>

#include <memory>

namespace svd {

// The files of one torrent's metadata, empty until it arrives. Never changes once made, so
// copies may be read from any thread.
class TorrentFiles
{
public:
    TorrentFiles() = default;
    explicit TorrentFiles(std::shared_ptr<const lt::torrent_info> info) : m_info(std::move(info)) {}

    const std::shared_ptr<const lt::torrent_info> &info() const { return m_info; }
    QString name() const;
    int count() const;
    bool valid(int file) const;
    // The path inside the torrent, its root folder included, with "/" between the parts;
    // empty for an invalid index.
    QString path(int file) const;
    // Only for a valid index.
    FileSpan span(int file) const;
    bool isPad(int file) const;
    // Which file the sources mean by an index and a path that may be stale: the index when its
    // path matches (or no path is given), else the first file with that path, else the first
    // whose path ends with the given one without its first folder; -1 when none does.
    int resolve(int index, const QString &path) const;

private:
    std::shared_ptr<const lt::torrent_info> m_info;
};

} // namespace svd
