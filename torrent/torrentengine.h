#pragma once

#include "torrent/streamtorrent.h"
#include "torrent/uploadcap.h"
#include "torrent/utpdial.h"

#include <QObject>
#include <QString>

#include <libtorrent/session.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace svd {

// Which libtorrent disk back end stores the downloads.
enum class DiskIoBackend { Posix, Mmap };

inline constexpr char kDefaultListenInterfaces[] = "0.0.0.0:0,[::]:0";
inline constexpr char kDefaultDhtRouters[] =
    "router.bittorrent.com:6881,router.utorrent.com:6881,dht.transmissionbt.com:6881,dht.libtorrent.org:25401";
inline constexpr char kLoopbackListenInterfaces[] = "127.0.0.1:0,[::1]:0";

struct EngineConfig {
    QString stateDir;
    QString cacheDir;
    qint64 cacheCapBytes = 4294967296;
    int uploadRateLimit = 1000000;
    // The cap applies while we upload close to it; a reader that starts waiting lifts it for
    // uploadLiftMs, after which it holds for at least uploadHoldMs before the next lift.
    int uploadLiftMs = 1000;
    int uploadHoldMs = 2000;
    bool outgoingUtp = false;
    int connectionsLimit = 300;
    // Makes the first cache write of every torrent fail as a storage error.
    bool testStorageError = false;
    // When set, nothing fails until it turns true (a failure after playback has started).
    std::shared_ptr<const std::atomic<bool>> testStorageErrorArmed;
    StreamParams streamParams;

    // Where the session may reach. loopbackOnly also allows many peers per address and
    // subjects local peers to the rate limits (libtorrent exempts them by default).
    QString listenInterfaces = QLatin1String(kDefaultListenInterfaces);
    bool enableDht = true;
    QString dhtBootstrapNodes = QLatin1String(kDefaultDhtRouters);
    bool loopbackOnly = false;
    DiskIoBackend diskIo = DiskIoBackend::Posix;
};

// True when the environment holds SVD_LOOPBACK_ONLY=1.
bool loopbackOnlyRequested();
// Restricts `cfg` to 127.0.0.1 and ::1: no DHT, except on the nodes SVD_DHT_BOOTSTRAP names when
// every one of them is on this machine (the swarm lab's); no other bootstrap routers.
void applyLoopbackOnly(EngineConfig *cfg);

// The one BitTorrent session of the process. GUI thread: construction, destruction, open,
// close, purgeCache, cacheBytes, requestStats. find() is safe from any thread.
class TorrentEngine : public QObject
{
    Q_OBJECT
public:
    explicit TorrentEngine(const EngineConfig &config, QObject *parent = nullptr);
    ~TorrentEngine() override;

    static QString libraryVersion();
    // Lower-case hex of the best info-hash, truncated to 20 bytes.
    static QString infoHashKey(const lt::info_hash_t &hashes);

    const EngineConfig &config() const { return m_cfg; }

    // While the same torrent is still leaving the session from an earlier close (at most 15 s
    // after it), open() waits for it; given `busy` it never waits but returns null with *busy
    // set, and the caller tries again later: the GUI thread must not block on a removal.
    // A torrent that is open already (the same info-hash) is not added twice: the caller gets
    // the same StreamTorrent, shared, and each open() is matched by one close(); the torrent
    // leaves the session with the last close.
    // `want`: the file the caller will serve, served as soon as a magnet's metadata comes.
    std::shared_ptr<StreamTorrent> open(const QByteArray &torrentBytes, const QString &magnet, QString *error,
                                        bool *busy = nullptr, const WantedFile &want = {});
    void close(const std::shared_ptr<StreamTorrent> &stream);
    std::shared_ptr<StreamTorrent> find(const QString &id) const;
    // Every torrent open now, in no particular order.
    std::vector<std::shared_ptr<StreamTorrent>> openTorrents() const;
    void requestStats();
    qint64 cacheBytes() const;
    qint64 purgeCache();
    void saveDhtState();
    // Returns once every folder of a closed torrent is deleted or given up on.
    void waitForRemovals();
    // Closed torrents whose folders are not deleted yet.
    int pendingRemovals() const;

    // Port the session listens on (0 before it listens); tests connect peers to it.
    int listenPort() const;

    // A reader is waiting for a piece (any thread); see UploadCap.
    void noteReaderWaiting();
    bool uploadCapLifted() const;
    // The upload limit the session applies now (bytes/s, 0 = none).
    int sessionUploadLimit() const;
    // The session's settings as it runs with them now.
    lt::settings_pack liveSettings() const;
    // New torrents wait before meeting peers (see UtpDial::holdsStarts); any thread.
    bool holdsStarts() const { return m_holdStarts; }

    std::atomic<int> dhtNodes{0};

private:
    void alertLoop();
    void dispatch(lt::alert *a);
    void onPeerAlert(lt::alert *a, StreamTorrent *stream);
    std::shared_ptr<StreamTorrent> shareOpen(const QString &key);
    void markDeleted(const QString &key);
    void removalWorker();
    void restoreUploadCapWhenDue();
    void startHeldTorrents();
    void applyUploadLimit(int bytesPerSec);
    void applyUploadCapLocked();
    qint64 uploadClockMs() const;

    EngineConfig m_cfg;
    std::unique_ptr<lt::session> m_session;
    int m_dhtNodesIndex = -1;
    std::thread m_alertThread;
    std::unique_ptr<UtpDial> m_utpDial; // alert thread only; null when outgoing uTP is on
    int m_ourPort = 0;                  // alert thread only
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_holdStarts{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::map<lt::torrent_handle, std::weak_ptr<StreamTorrent>> m_byHandle;
    std::map<QString, std::shared_ptr<StreamTorrent>> m_byId;
    std::map<QString, QString> m_idByKey; // info-hash key -> id of the open torrent
    std::map<QString, int> m_users;       // by id: open() calls not yet matched by close()
    int m_adding = 0; // open() is adding a torrent to the session
    // By info-hash key: torrents asked to leave the session, and whether they have.
    struct Leaving {
        bool deleted = false;
        std::chrono::steady_clock::time_point since;
    };
    std::map<QString, Leaving> m_removals;
    // Folders of closed torrents, deleted one after another by one worker thread once the
    // session has let go of the files (or 20 s after the close).
    struct FolderRemoval {
        QString key;
        QString folder;
        std::chrono::steady_clock::time_point deadline;
        std::chrono::steady_clock::time_point retryAt;
        int attempts = 0;
    };
    std::deque<FolderRemoval> m_folderRemovals;
    int m_removalsRunning = 0;
    bool m_removalStop = false;
    std::thread m_removalWorker;

    mutable std::mutex m_uploadMutex;
    UploadCap m_uploadCap;
    int m_uploadApplied = 0;
    const std::chrono::steady_clock::time_point m_uploadEpoch = std::chrono::steady_clock::now();
    int m_sentPayloadIndex = -1;
};

} // namespace svd
