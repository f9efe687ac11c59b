#pragma once

#include <libtorrent/session_params.hpp>

namespace svd {

// Wraps a disk back end so that the first write of every torrent fails with an I/O error,
// which the session reports like any other storage failure (file error, torrent stopped).
lt::disk_io_constructor_type failFirstWriteDiskIo(lt::disk_io_constructor_type inner);

} // namespace svd
