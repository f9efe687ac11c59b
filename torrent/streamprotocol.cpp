#include "torrent/streamprotocol.h"

#include "base/log.h"
#include "torrent/torrentengine.h"

#include <mpv/client.h>
#include <mpv/stream_cb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace svd {

namespace {

// One open player stream. Everything but `cancelled` is touched only by the stream's own libmpv
// thread.
struct OpenStream {
    std::shared_ptr<StreamTorrent> torrent;
    int file = 0;
    int reader = 0;
    qint64 position = 0;
    qint64 size = 0;
    std::atomic<bool> cancelled{false};
    qint64 bytesRead = 0;
};

// libmpv calls close_fn before it detaches the stream from its cancel chain, so a stop on
// another thread can still call cancel_fn after close_fn. The cookie libmpv holds is therefore
// the stream's generation, a number never given twice, and not its address, which the next
// stream opened may get: a late cancel finds nothing instead of cancelling that stream.
std::mutex g_liveMutex;
std::unordered_map<std::uintptr_t, std::unique_ptr<OpenStream>> g_live;
std::uintptr_t g_nextGeneration = 1;

auto findLiveLocked(void *cookie)
{
    return g_live.find(reinterpret_cast<std::uintptr_t>(cookie));
}

// Only close_fn removes a stream, and it runs on the stream's own thread, so the pointer stays
// valid there after the lock.
OpenStream *streamOf(void *cookie)
{
    std::lock_guard l(g_liveMutex);
    const auto it = findLiveLocked(cookie);
    return it == g_live.end() ? nullptr : it->second.get();
}

// mpv's demuxer records the end of the file for any read without data unless a seek is pending
// in it, so 0 comes only at the real end. A read woken for a seek fails (-1): that seek is
// pending then and moves the stream next.
int64_t readFn(void *cookie, char *buf, uint64_t nbytes)
{
    OpenStream *s = streamOf(cookie);
    if (!s)
        return -1;
    const qint64 n = s->torrent->read(s->reader, s->position, buf, qint64(std::min<uint64_t>(nbytes, INT64_MAX)),
                                      &s->cancelled);
    if (n > 0) {
        s->position += n;
        s->bytesRead += n;
    }
    return n;
}

int64_t seekFn(void *cookie, int64_t offset)
{
    OpenStream *s = streamOf(cookie);
    if (!s || offset < 0 || offset > s->size)
        return MPV_ERROR_GENERIC;
    s->position = offset;
    s->torrent->seekReader(s->reader, offset);
    return offset;
}

int64_t sizeFn(void *cookie)
{
    const OpenStream *s = streamOf(cookie);
    return s ? s->size : int64_t(MPV_ERROR_UNSUPPORTED);
}

void cancelFn(void *cookie)
{
    std::lock_guard l(g_liveMutex);
    if (const auto it = findLiveLocked(cookie); it != g_live.end())
        it->second->cancelled = true;
}

void closeFn(void *cookie)
{
    std::unique_ptr<OpenStream> s;
    {
        std::lock_guard l(g_liveMutex);
        const auto it = findLiveLocked(cookie);
        if (it == g_live.end())
            return;
        s = std::move(it->second);
        g_live.erase(it);
    }
    logLine(QStringLiteral("[%1] mpv closed stream file #%2 at %3 (%4 MiB read)")
                .arg(s->torrent->id())
                .arg(s->file)
                .arg(s->position)
                .arg(QString::number(double(s->bytesRead) / 1048576.0, 'f', 1)));
    s->torrent->closeReader(s->reader);
}

int openFn(void *userData, char *uri, mpv_stream_cb_info *info)
{
    return openTorrentStream(static_cast<TorrentEngine *>(userData), uri, info);
}

} // namespace

int openTorrentStream(TorrentEngine *engine, const char *uri, mpv_stream_cb_info *info)
{
    const QString address = QString::fromUtf8(uri);
    QString id;
    int file = -1;
    const bool indexOk = parseTorrentUri(address, &id, &file);
    std::shared_ptr<StreamTorrent> torrent = engine ? engine->find(id) : nullptr;
    if (!torrent || !indexOk || !torrent->metadataReady || torrent->shutDown) {
        logLine(QStringLiteral("protocol: cannot open %1").arg(address));
        return MPV_ERROR_LOADING_FAILED;
    }
    const qint64 size = torrent->fileSize(file);
    if (size < 0)
        return MPV_ERROR_LOADING_FAILED;
    auto s = std::make_unique<OpenStream>();
    s->torrent = torrent;
    s->file = file;
    s->size = size;
    s->reader = torrent->openReader(file);
    {
        std::lock_guard l(g_liveMutex);
        const std::uintptr_t generation = g_nextGeneration++;
        g_live.emplace(generation, std::move(s));
        info->cookie = reinterpret_cast<void *>(generation);
    }
    info->read_fn = readFn;
    info->seek_fn = seekFn;
    info->size_fn = sizeFn;
    info->close_fn = closeFn;
    info->cancel_fn = cancelFn;
    logLine(QStringLiteral("[%1] mpv opened stream file #%2 (%3 MiB)")
                .arg(torrent->id())
                .arg(file)
                .arg(QString::number(double(size) / 1048576.0, 'f', 0)));
    return 0;
}

QString torrentUri(const QString &torrentId, int fileIndex)
{
    // Concatenated, not chained arg(): an id holding "%2" must not swallow the index.
    return QLatin1String(kTorrentScheme) + QStringLiteral("://") + torrentId + QLatin1Char('/') +
           QString::number(fileIndex);
}

bool parseTorrentUri(const QString &address, QString *torrentId, int *fileIndex)
{
    QString rest = address;
    const int sep = rest.indexOf(QLatin1String("://"));
    if (sep >= 0)
        rest = rest.mid(sep + 3);
    const int slash = rest.indexOf(QLatin1Char('/'));
    *torrentId = slash < 0 ? rest : rest.left(slash);
    if (slash < 0)
        return false;
    const QString indexText = rest.mid(slash + 1).section(QLatin1Char('/'), 0, 0);
    bool ok = false;
    const int index = indexText.toInt(&ok, 10);
    if (!ok)
        return false;
    *fileIndex = index;
    return true;
}

bool installTorrentProtocol(mpv_handle *mpv, TorrentEngine *engine)
{
    return mpv && mpv_stream_cb_add_ro(mpv, kTorrentScheme, engine, openFn) >= 0;
}

} // namespace svd
