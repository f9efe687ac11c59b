#pragma once

#include "player/playerstats.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>

namespace svd {

class MpvPlayer;
class PlaybackController;
class VideoTuner;

// One look at how the stream is doing, taken on the GUI thread from what the controller,
// the stream torrent, the player and the tuner already hold (the torrent is asked, it
// never reports per piece). Shown by the statistics panel and sent to the page.
struct StreamHealth {
    PlayerStats stats; // the controller's figures of the last second
    int pieceLength = 0;
    double aheadSec = 0;  // seconds the player has buffered ahead of the position
    int windowPieces = 0; // read-ahead window once heads and tails are in
    qint64 windowBytes = 0;
    // Pieces of the served file: 'd' downloaded, 'w' wanted by the window, '.' missing.
    int firstPiece = -1;
    QByteArray pieces;
    int readPiece = -1; // the piece being read, -1 when no stream reads the file
    int level = -1;     // renderer level, -1 without a tuner
    QString levelName;
    qint64 droppedFrames = 0;
    QString pipeline;     // the tuner's video pipeline line
    qint64 cacheHeld = 0; // bytes of the torrent on disk
    qint64 cacheCap = 0;  // the cache budget's effective cap

    int piecesDone() const { return int(pieces.count('d')); }
    QVariantMap toVariantMap() const;
};

StreamHealth collectStreamHealth(const PlaybackController *controller, const MpvPlayer *player,
                                 const VideoTuner *tuner);

} // namespace svd
