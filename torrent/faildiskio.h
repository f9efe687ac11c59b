#pragma once

#include <libtorrent/session_params.hpp>

#include <atomic>
#include <climits>
#include <memory>

namespace svd {

// Wraps a disk back end so that the first write of every torrent to a piece in
// [fromPiece, toPiece] fails with an I/O error, which the session reports like any other storage failure
// (file error, torrent stopped). With `armed`, only writes made once it is true can fail.
lt::disk_io_constructor_type failFirstWriteDiskIo(lt::disk_io_constructor_type inner, int fromPiece = 0,
                                                   int toPiece = INT_MAX,
                                                   std::shared_ptr<const std::atomic<bool>> armed = {});

} // namespace svd
