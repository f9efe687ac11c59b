#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>

namespace svd {

class MpvPlayer;
class StreamTorrent;
class TorrentEngine;

// mpv's demuxer takes a seek only between two reads, and a read of a torrent stream blocks
// until its piece arrives. When the player seeks to a place it has not buffered while its
// demuxer waits for a piece ahead of the old position, the seek would wait for that piece
// (forever, when nobody has it). This watches seeks and wakes such reads (GUI thread).
class SeekWaker : public QObject {
    Q_OBJECT

public:
    SeekWaker(MpvPlayer *player, TorrentEngine *engine);

    // A seek command went to the player now.
    void noteSeekCommand() { m_lastSeekCommand = std::chrono::steady_clock::now(); }

private:
    void check();
    bool targetBuffered() const;
    std::shared_ptr<StreamTorrent> currentTorrent(int *file) const;
    void endStaleReads();

    MpvPlayer *const m_player;
    TorrentEngine *const m_engine;
    QTimer m_timer;
    bool m_started = false;
    bool m_woke = false; // reads may be failing for a seek that waits
    std::chrono::steady_clock::time_point m_lastRestart{};
    std::chrono::steady_clock::time_point m_lastSeekCommand{};
};

} // namespace svd
