#pragma once

#include <libtorrent/session_params.hpp>

#include <atomic>
#include <memory>

namespace svd {

// Wraps a disk back end so that the first write of every torrent fails with an I/O error,
// which the session reports like any other storage failure (file error, torrent stopped).
// With `armed`, only a write made once it is true fails (a failure in mid-episode).
lt::disk_io_constructor_type failFirstWriteDiskIo(lt::disk_io_constructor_type inner,
                                                   std::shared_ptr<const std::atomic<bool>> armed = {});

} // namespace svd
