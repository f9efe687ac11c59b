#pragma once

#include "torrent/torrentengine.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace svd::test {

inline constexpr int kKiB = 1024;
inline constexpr int kMiB = 1024 * 1024;

void startTorrentTestLog(const QString &path);
bool logHas(const QString &text);

EngineConfig engineConfig(const QString &root, bool storageError = false);

// Cancels a blocked read after a while, so a broken swarm fails a test instead of hanging it.
class ReadDeadline
{
public:
    explicit ReadDeadline(std::chrono::seconds limit);
    ~ReadDeadline();
    std::atomic<bool> flag{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    std::thread m_thread;
};

// A read on its own thread. Joined with pthread primitives rather than std::future, whose
// futex wait ThreadSanitizer cannot see through.
class BackgroundRead
{
public:
    BackgroundRead(StreamTorrent &t, int reader, qint64 position, const std::atomic<bool> *cancel);
    ~BackgroundRead() { m_thread.join(); }
    bool waitFor(std::chrono::milliseconds limit);
    qint64 result();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    qint64 m_result = 0;
    std::thread m_thread;
};

// Reads [from, from + count) through one reader, one piece at most per call as the player does.
QByteArray readRange(StreamTorrent &t, int reader, qint64 from, qint64 count, int pieceLength);

// What libtorrent itself holds.
std::vector<int> piecePriorities(const StreamTorrent &t);
std::vector<int> filePriorities(const StreamTorrent &t);
std::set<int> topPriorityPieces(const StreamTorrent &t);
// Connections with their handshake done, over uTP.
int utpPeers(const StreamTorrent &t);

} // namespace svd::test
