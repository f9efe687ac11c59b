// TorrentEngine: the folders of closed torrents, deleted off the GUI thread.

#include "torrent/torrentengine.h"

#include "base/log.h"

#include <QDir>

#include <algorithm>

namespace svd {

namespace {

constexpr auto kRemovalRetry = std::chrono::milliseconds(250);
constexpr int kRemovalAttempts = 20;

} // namespace

// The removal worker: deletes each closed torrent's folder once the session reports its files
// deleted, or when it has waited 20 s for that; a folder that resists is tried again every
// 250 ms, 20 times, without holding up the others.
void TorrentEngine::removalWorker()
{
    std::unique_lock l(m_mutex);
    while (!m_removalStop || !m_folderRemovals.empty()) {
        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        auto ready = m_folderRemovals.end();
        for (auto it = m_folderRemovals.begin(); it != m_folderRemovals.end(); ++it) {
            const auto leaving = m_removals.find(it->key);
            const bool deleted = leaving == m_removals.end() || leaving->second.deleted;
            const auto due = deleted ? it->retryAt : std::max(it->retryAt, it->deadline);
            if (due <= now) {
                ready = it;
                break;
            }
            next = std::min(next, due);
        }
        if (ready == m_folderRemovals.end()) {
            if (next == std::chrono::steady_clock::time_point::max())
                m_cond.wait(l);
            else
                m_cond.wait_until(l, next);
            continue;
        }
        FolderRemoval job = *ready;
        m_folderRemovals.erase(ready);
        ++m_removalsRunning;
        l.unlock();
        QDir dir(job.folder);
        const bool gone = !dir.exists() || dir.removeRecursively();
        const bool done = gone || ++job.attempts >= kRemovalAttempts;
        if (done)
            logLine(QStringLiteral("engine: cache folder %1 %2")
                        .arg(job.folder, gone ? QStringLiteral("deleted") : QStringLiteral("STILL EXISTS")));
        l.lock();
        --m_removalsRunning;
        if (!done) {
            job.retryAt = std::chrono::steady_clock::now() + kRemovalRetry;
            m_folderRemovals.push_back(job);
        } else {
            // The entry of a torrent that has left is no longer needed, unless it is back.
            const bool again = std::any_of(m_folderRemovals.begin(), m_folderRemovals.end(),
                                           [&](const FolderRemoval &r) { return r.key == job.key; });
            const auto leaving = m_removals.find(job.key);
            if (!again && leaving != m_removals.end() && leaving->second.deleted)
                m_removals.erase(leaving);
        }
        m_cond.notify_all();
    }
}

void TorrentEngine::waitForRemovals()
{
    std::unique_lock l(m_mutex);
    m_cond.wait(l, [this] { return m_folderRemovals.empty() && m_removalsRunning == 0; });
}

int TorrentEngine::pendingRemovals() const
{
    std::lock_guard l(m_mutex);
    return int(m_folderRemovals.size()) + m_removalsRunning;
}

void TorrentEngine::markDeleted(const QString &key)
{
    {
        std::lock_guard l(m_mutex);
        m_removals[key].deleted = true;
    }
    m_cond.notify_all();
}

} // namespace svd
