#pragma once

#include "torrent/announceschedule.h"
#include "torrent/piececache.h"
#include "torrent/streamgeometry.h"
#include "torrent/torrentfiles.h"
#include "torrent/windowplan.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <boost/system/error_code.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace svd {

class TorrentEngine;

// The torrent's peers as libtorrent counts them now; also the first part of every StreamStats.
struct PeerCounts {
    bool valid = false;
    int numPeers = 0;
    int listPeers = 0;
    int numConnections = 0; // including connections still in their handshake
    int droppedPeers = 0;   // distinct peers whose connection has ended
    qint64 payloadDownloaded = 0;
};

struct StreamStats : PeerCounts {
    int numSeeds = 0;
    qint64 downloadRate = 0;
    qint64 uploadRate = 0;
    qint64 payloadUploaded = 0;
    qint64 bytesDone = 0;
    int piecesDone = 0;
    int hashFailures = 0;
    int reannounces = 0;
};

// True for "no space left on device", directly or through the error's category.
bool isDiskFullError(const boost::system::error_code &ec);

// One torrent of the session, readable like a file while it downloads. Shared by the engine,
// the playback controller and every open player stream; all operations are thread-safe.
// Lock order: window mutex, then info mutex.
// How long after a wake a reader's reads of missing pieces fail when no seek reaches the
// stream: the demuxer takes its seek within milliseconds once a read fails.
inline constexpr std::chrono::milliseconds kStaleReadFailFor{2000};
// A piece read from disk comes back in milliseconds; one not back after this is asked again.
inline constexpr std::chrono::seconds kReadPieceRetry{5};

// The file a stream is opened for, as its source names it (index, path); index -1 for none.
struct WantedFile {
    int index = -1;
    QString path;
};

// "address:port", the key of a peer in the stream's peer sets; empty if it cannot be written.
std::string peerKey(const lt::tcp::endpoint &peer);

class StreamTorrent
{
public:
    StreamTorrent(TorrentEngine *engine, const QString &id, const QString &downloadFolder,
                  const StreamParams &params);
    StreamTorrent(const StreamTorrent &) = delete;
    StreamTorrent &operator=(const StreamTorrent &) = delete;

    // pausedUntilWanted: the torrent was added paused and is resumed by the first window that
    // wants a piece.
    void setHandle(const lt::torrent_handle &handle, const QString &infoHashKey, bool pausedUntilWanted = false);

    // Before the metadata: the file to serve as soon as it arrives. A torrent that wants
    // nothing when its metadata comes counts as finished, and libtorrent then hangs up on
    // every seed ("upload to upload connection").
    void expectFile(const WantedFile &file);

    // Identity.
    QString id() const { return m_id; }
    QString infoHashKey() const;
    QString downloadFolder() const { return m_folder; }
    TorrentEngine *engine() const { return m_engine; }
    lt::torrent_handle handle() const;
    double openedAt() const { return m_openedAt; }

    // Queries.
    std::shared_ptr<const lt::torrent_info> info() const;
    QString name() const;
    int numFiles() const;
    QString filePath(int i) const;
    qint64 fileSize(int i) const;
    bool isPadFile(int i) const;
    int pieceOf(int file, qint64 position) const;
    PieceRange filePieces(int file) const;
    int resolveFile(int index, const QString &path) const;
    qint64 servedBytes() const;
    StreamStats lastStats() const;
    PeerCounts peerCounts() const;
    QString storageErrorMessage() const;
    // Log-clock times of the first peer, the first finished piece and the last
    // head/tail piece; -1 for what has not happened yet.
    struct Events {
        double firstPeerAt = -1.0;
        double firstPieceAt = -1.0;
        double headTailDoneAt = -1.0;
        double metadataAt = -1.0; // a magnet's; a .torrent has it from the start
    };
    Events events() const;
    bool hasStorageError() const;
    int pieceLength() const;
    int numPieces() const;

    std::atomic<bool> metadataReady{false};
    std::atomic<bool> shutDown{false};
    std::atomic<bool> storageFailed{false};
    std::atomic<bool> diskFull{false};
    std::atomic<int> hashFailures{0};

    // Control (GUI thread).
    void addFile(int i);
    void removeFile(int i);
    StreamStats tick(int dhtNodes);
    void setDownloadLimit(qint64 bytesPerSecond);

    // Readers (player stream threads).
    int openReader(int file);
    void closeReader(int id);
    void moveReader(int id, qint64 position);
    // The player moved the stream (a seek reached it).
    void seekReader(int id, qint64 position);
    // 0 only at the end of the file; -1 on failure, and for a read woken by interruptStaleReads.
    qint64 read(int id, qint64 position, char *dest, qint64 max, const std::atomic<bool> *cancel);
    PieceBuffer getPiece(int piece, int *size, const std::atomic<bool> *cancel);

    // GUI thread, when the player seeks to a place it has not buffered: a read of `file` that
    // waits for a missing piece and has not been moved by a seek since `since` keeps the
    // player's demuxer from ever taking the seek (it only takes it between reads), so that read
    // fails at once. Until the seek reaches the stream (seekReader), or `kStaleReadFailFor` has
    // passed, or endStaleReads, the reader's reads of missing pieces fail at once too: a
    // demuxer that meets a failed read first tries to resync on the bytes that follow, and
    // waiting for those would hold the seek, and the wire, on the old place. The reader is not
    // woken again for the same `since`. Returns how many reads were woken.
    int interruptStaleReads(int file, std::chrono::steady_clock::time_point since);
    // GUI thread: no seek waits in the demuxer any longer (it restarted, or went into its
    // cache), so a failed read would be taken for the end of the file.
    void endStaleReads();

    // Engine alert thread.
    void onMetadata();
    void onPieceFinished(int piece);
    void onReadPiece(int piece, const PieceBuffer &buffer, int size, bool ok);
    void onPeerConnected();
    // A seed hung up on us for wanting nothing (the moment the metadata came): dial it again,
    // once, now that the stream wants its file.
    void onUploadOnlyHangUp(const lt::tcp::endpoint &peer);
    // Starts the torrent if it waited for the engine to stop holding starts (alert thread).
    void startIfHeld();
    // We dialled this peer (for the redial once every peer is gone).
    void onPeerDialled(const lt::tcp::endpoint &ep);
    void onPeerDropped(const std::string &endpoint);
    void onStorageError(const QString &message, bool diskFullError);
    void shutdown();

    // The plan last sent to libtorrent, and the served files' head and tail pieces with their
    // deadlines.
    PiecePlan appliedPlan() const;
    std::map<int, int> staticPieces() const;
    // Piece states of one file for display: 'd' downloaded, 'w' wanted by the window,
    // '.' missing and not wanted; readPiece is the first reader's piece of that file (-1 none).
    struct PieceMap {
        int firstPiece = -1;
        QByteArray states;
        int readPiece = -1;
    };
    PieceMap pieceMap(int file) const;
    // Pieces currently held by the read cache, most recently used first.
    std::vector<int> cachedPieces() const;

private:
    PeerCounts peerCountsOf(const lt::torrent_status &st) const;
    struct Reader {
        int file = 0;
        qint64 position = 0;
        bool waiting = false;
        bool wakePending = false; // the read waiting now returns without data
        std::chrono::steady_clock::time_point lastSeek{};
        std::chrono::steady_clock::time_point wokenAt{};
        std::chrono::steady_clock::time_point failMissingUntil{}; // see interruptStaleReads
    };

    void updateWindow(bool force);
    PiecePlan planLocked() const;
    // getPiece waits for no reader: no reader's seek can wake it.
    PieceBuffer waitForPiece(std::optional<int> readerId, int piece, int *size,
                             const std::atomic<bool> *cancel);
    void setWaitingLocked(std::optional<int> readerId, bool waiting);
    // Drops the wake a seek left for the reader's waiting read; true if there was one.
    bool takeWakeLocked(std::optional<int> readerId);
    void rebuildServedFilesLocked();

    TorrentEngine *const m_engine;
    const QString m_id;
    const QString m_folder;
    const StreamParams m_params;
    const double m_openedAt;

    mutable std::mutex m_windowMutex;
    mutable std::mutex m_infoMutex;
    std::condition_variable m_cond;

    lt::torrent_handle m_handle;
    QString m_infoHashKey;

    double m_firstPeerAt = -1.0;
    std::set<std::string> m_droppedPeers; // bounded by the peer list, info mutex
    std::vector<lt::tcp::endpoint> m_dialledPeers; // the first ones, info mutex
    double m_firstPieceAt = -1.0;
    double m_allStaticDoneAt = -1.0;
    double m_metadataAt = -1.0;
    WantedFile m_expected;
    std::set<std::string> m_uploadOnlyRedialled; // endpoints dialled again after such a hang-up

    TorrentFiles m_files;
    int m_pieceLength = 0;
    int m_numPieces = 0;
    std::vector<char> m_have;

    std::set<int> m_served;
    ServedFiles m_servedFiles;
    std::map<int, Reader> m_readers;
    int m_nextReader = 1;
    std::map<int, qint64> m_lastPositions;
    PiecePlan m_applied;
    bool m_pausedUntilWanted = false; // guarded by m_infoMutex
    bool m_startHeld = false;         // wanted, but the engine holds starts; guarded by m_infoMutex
    // The next update replaces every deadline instead of adding and dropping single ones:
    // after a jump, libtorrent then cancels the requests still out for the old window.
    bool m_replaceDeadlines = true;

    PieceCache m_cache;
    std::map<int, std::chrono::steady_clock::time_point> m_readRequests; // piece -> asked at

    QString m_storageError;
    bool m_storageErrorSet = false;
    bool m_storageErrorLogged = false;

    AnnounceSchedule m_announces; // GUI thread's tick only
    StreamStats m_lastStats;
};

} // namespace svd
