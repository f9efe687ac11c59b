#include "torrent/faildiskio.h"

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/storage_defs.hpp>

#include <map>
#include <mutex>

namespace svd {

namespace {

class FailFirstWriteDiskIo final : public lt::disk_interface
{
public:
    FailFirstWriteDiskIo(std::unique_ptr<lt::disk_interface> inner, std::shared_ptr<const std::atomic<bool>> armed)
        : m_inner(std::move(inner)), m_armed(std::move(armed))
    {
    }

    lt::storage_holder new_torrent(lt::storage_params const &p, std::shared_ptr<void> const &torrent) override
    {
        lt::storage_holder h = m_inner->new_torrent(p, torrent);
        const lt::storage_index_t idx = h;
        std::lock_guard l(m_mutex);
        // The inner holder stays here so that removing through our holder reaches the inner back end.
        m_storages[idx] = Storage{std::move(h), &p.files, false};
        return lt::storage_holder(idx, *this);
    }

    void remove_torrent(lt::storage_index_t idx) override
    {
        lt::storage_holder inner;
        {
            std::lock_guard l(m_mutex);
            auto it = m_storages.find(idx);
            if (it == m_storages.end())
                return;
            inner = std::move(it->second.holder);
            m_storages.erase(it);
        }
        // `inner` goes out of scope here and removes the storage from the wrapped back end.
    }

    bool async_write(lt::storage_index_t storage, lt::peer_request const &r, char const *buf,
                     std::shared_ptr<lt::disk_observer> o, std::function<void(lt::storage_error const &)> handler,
                     lt::disk_job_flags_t flags) override
    {
        lt::file_index_t file{0};
        bool fail = false;
        {
            std::lock_guard l(m_mutex);
            auto it = m_storages.find(storage);
            if (it != m_storages.end() && !it->second.failed && (!m_armed || m_armed->load())) {
                it->second.failed = true;
                fail = true;
                const auto slices = it->second.files->map_block(r.piece, r.start, std::max(r.length, 1));
                if (!slices.empty())
                    file = slices.front().file_index;
            }
        }
        if (!fail)
            return m_inner->async_write(storage, r, buf, std::move(o), std::move(handler), flags);
        // The block still goes through the wrapped back end, so the failure is reported on the thread
        // and at the time a real write failure would be.
        const lt::storage_error err(boost::system::errc::make_error_code(boost::system::errc::io_error), file,
                                    lt::operation_t::file_write);
        return m_inner->async_write(
            storage, r, buf, std::move(o),
            [handler = std::move(handler), err](lt::storage_error const &) { handler(err); }, flags);
    }

    void async_read(lt::storage_index_t storage, lt::peer_request const &r,
                    std::function<void(lt::disk_buffer_holder, lt::storage_error const &)> handler,
                    lt::disk_job_flags_t flags) override
    {
        m_inner->async_read(storage, r, std::move(handler), flags);
    }
    void async_hash(lt::storage_index_t storage, lt::piece_index_t piece, lt::span<lt::sha256_hash> v2,
                    lt::disk_job_flags_t flags,
                    std::function<void(lt::piece_index_t, lt::sha1_hash const &, lt::storage_error const &)> handler)
        override
    {
        m_inner->async_hash(storage, piece, v2, flags, std::move(handler));
    }
    void async_hash2(lt::storage_index_t storage, lt::piece_index_t piece, int offset, lt::disk_job_flags_t flags,
                     std::function<void(lt::piece_index_t, lt::sha256_hash const &, lt::storage_error const &)> handler)
        override
    {
        m_inner->async_hash2(storage, piece, offset, flags, std::move(handler));
    }
    void async_move_storage(lt::storage_index_t storage, std::string p, lt::move_flags_t flags,
                            std::function<void(lt::status_t, std::string const &, lt::storage_error const &)> handler)
        override
    {
        m_inner->async_move_storage(storage, std::move(p), flags, std::move(handler));
    }
    void async_release_files(lt::storage_index_t storage, std::function<void()> handler) override
    {
        m_inner->async_release_files(storage, std::move(handler));
    }
    void async_check_files(lt::storage_index_t storage, lt::add_torrent_params const *resume_data,
                           lt::aux::vector<std::string, lt::file_index_t> links,
                           std::function<void(lt::status_t, lt::storage_error const &)> handler) override
    {
        m_inner->async_check_files(storage, resume_data, std::move(links), std::move(handler));
    }
    void async_stop_torrent(lt::storage_index_t storage, std::function<void()> handler) override
    {
        m_inner->async_stop_torrent(storage, std::move(handler));
    }
    void async_rename_file(lt::storage_index_t storage, lt::file_index_t index, std::string name,
                           std::function<void(std::string const &, lt::file_index_t, lt::storage_error const &)>
                               handler) override
    {
        m_inner->async_rename_file(storage, index, std::move(name), std::move(handler));
    }
    void async_delete_files(lt::storage_index_t storage, lt::remove_flags_t options,
                            std::function<void(lt::storage_error const &)> handler) override
    {
        m_inner->async_delete_files(storage, options, std::move(handler));
    }
    void async_set_file_priority(
        lt::storage_index_t storage, lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio,
        std::function<void(lt::storage_error const &, lt::aux::vector<lt::download_priority_t, lt::file_index_t>)>
            handler) override
    {
        m_inner->async_set_file_priority(storage, std::move(prio), std::move(handler));
    }
    void async_clear_piece(lt::storage_index_t storage, lt::piece_index_t index,
                           std::function<void(lt::piece_index_t)> handler) override
    {
        m_inner->async_clear_piece(storage, index, std::move(handler));
    }
    void update_stats_counters(lt::counters &c) const override { m_inner->update_stats_counters(c); }
    std::vector<lt::open_file_state> get_status(lt::storage_index_t idx) const override
    {
        return m_inner->get_status(idx);
    }
    void abort(bool wait) override { m_inner->abort(wait); }
    void submit_jobs() override { m_inner->submit_jobs(); }
    void settings_updated() override { m_inner->settings_updated(); }

private:
    struct Storage {
        lt::storage_holder holder;
        lt::file_storage const *files = nullptr;
        bool failed = false;
    };

    std::unique_ptr<lt::disk_interface> m_inner;
    const std::shared_ptr<const std::atomic<bool>> m_armed;
    mutable std::mutex m_mutex;
    std::map<lt::storage_index_t, Storage> m_storages;
};

} // namespace

lt::disk_io_constructor_type failFirstWriteDiskIo(lt::disk_io_constructor_type inner,
                                                   std::shared_ptr<const std::atomic<bool>> armed)
{
    return [inner = std::move(inner), armed = std::move(armed)](lt::io_context &ios, lt::settings_interface const &sett,
                                                                lt::counters &cnt) {
        return std::unique_ptr<lt::disk_interface>(new FailFirstWriteDiskIo(inner(ios, sett, cnt), armed));
    };
}

} // namespace svd
