#include "tests/torrent/testsupport.h"

#include "base/log.h"

#include <QFile>

#include <libtorrent/peer_info.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <algorithm>

namespace svd::test {

namespace {
QString g_logPath;
}

void startTorrentTestLog(const QString &path)
{
    g_logPath = path;
    logStart(path);
}

bool logHas(const QString &text)
{
    QFile f(g_logPath);
    return f.open(QIODevice::ReadOnly) && QString::fromUtf8(f.readAll()).contains(text);
}

EngineConfig engineConfig(const QString &root, bool storageError)
{
    EngineConfig cfg;
    cfg.stateDir = root + QStringLiteral("/state");
    cfg.cacheDir = root + QStringLiteral("/cache");
    cfg.testStorageError = storageError;
    return cfg;
}

ReadDeadline::ReadDeadline(std::chrono::seconds limit)
    : m_thread([this, limit] {
          std::unique_lock l(m_mutex);
          if (!m_cond.wait_for(l, limit, [this] { return m_done; }))
              flag = true;
      })
{
}

ReadDeadline::~ReadDeadline()
{
    {
        std::lock_guard l(m_mutex);
        m_done = true;
    }
    m_cond.notify_all();
    m_thread.join();
}

BackgroundRead::BackgroundRead(StreamTorrent &t, int reader, qint64 position, const std::atomic<bool> *cancel)
    : m_thread([this, &t, reader, position, cancel] {
          char buf[16];
          const qint64 n = t.read(reader, position, buf, sizeof buf, cancel);
          std::lock_guard l(m_mutex);
          m_result = n;
          m_done = true;
          m_cond.notify_all();
      })
{
}

bool BackgroundRead::waitFor(std::chrono::milliseconds limit)
{
    std::unique_lock l(m_mutex);
    return m_cond.wait_for(l, limit, [this] { return m_done; });
}

qint64 BackgroundRead::result()
{
    waitFor(std::chrono::hours(1));
    std::lock_guard l(m_mutex);
    return m_result;
}

QByteArray readRange(StreamTorrent &t, int reader, qint64 from, qint64 count, int pieceLength)
{
    ReadDeadline deadline(std::chrono::seconds(45));
    const std::atomic<bool> *cancel = &deadline.flag;
    QByteArray out;
    qint64 pos = from;
    while (out.size() < count) {
        QByteArray chunk(int(std::min<qint64>(count - out.size(), 3 * kMiB)), Qt::Uninitialized);
        const qint64 n = t.read(reader, pos, chunk.data(), chunk.size(), cancel);
        if (n <= 0)
            break;
        if (n > pieceLength)
            return QByteArray("read crossed a piece end");
        out.append(chunk.constData(), n);
        pos += n;
    }
    return out;
}

std::vector<int> piecePriorities(const StreamTorrent &t)
{
    std::vector<int> out;
    for (lt::download_priority_t p : t.handle().get_piece_priorities())
        out.push_back(static_cast<int>(static_cast<std::uint8_t>(p)));
    return out;
}

std::vector<int> filePriorities(const StreamTorrent &t)
{
    std::vector<int> out;
    for (lt::download_priority_t p : t.handle().get_file_priorities())
        out.push_back(static_cast<int>(static_cast<std::uint8_t>(p)));
    return out;
}

std::set<int> topPriorityPieces(const StreamTorrent &t)
{
    std::set<int> out;
    const auto prio = piecePriorities(t);
    for (size_t i = 0; i < prio.size(); ++i) {
        if (prio[i] == 7)
            out.insert(int(i));
    }
    return out;
}

int utpPeers(const StreamTorrent &t)
{
    std::vector<lt::peer_info> peers;
    try {
        t.handle().get_peer_info(peers);
    } catch (const std::exception &) {
        return 0;
    }
    return int(std::count_if(peers.begin(), peers.end(), [](const lt::peer_info &p) {
        return (p.flags & lt::peer_info::utp_socket) && !(p.flags & lt::peer_info::handshake);
    }));
}

} // namespace svd::test
