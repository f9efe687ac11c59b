#include "ui/streamhealth.h"

#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "torrent/streamgeometry.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"
#include "video/videotuner.h"

namespace svd {

StreamHealth collectStreamHealth(const PlaybackController *controller, const MpvPlayer *player,
                                 const VideoTuner *tuner)
{
    StreamHealth h;
    h.stats.state = PlaybackController::stateText(PlaybackController::Idle);
    if (controller) {
        h.stats = controller->stats();
        h.cacheCap = controller->currentBudget().capBytes;
        if (const auto t = controller->torrent()) {
            h.pieceLength = t->pieceLength();
            h.cacheHeld = t->lastStats().bytesDone;
            if (h.pieceLength > 0 && t->engine()) {
                const StreamParams &p = t->engine()->config().streamParams;
                h.windowPieces = windowPieces(p.readAheadBytes, p.minWindowPieces, h.pieceLength);
                h.windowBytes = qint64(h.windowPieces) * h.pieceLength;
            }
            QString id;
            int file = -1;
            // The address the player was given names the served file.
            if (player && parseTorrentUri(player->currentUrl(), &id, &file) && id == t->id()) {
                const StreamTorrent::PieceMap map = t->pieceMap(file);
                h.firstPiece = map.firstPiece;
                h.pieces = map.states;
                h.readPiece = map.readPiece;
            }
        }
    }
    if (player)
        h.aheadSec = qMax(0.0, player->cachedProp(QStringLiteral("demuxer-cache-duration")).toDouble());
    if (tuner) {
        h.level = tuner->level();
        h.levelName = VideoTuner::levelName(h.level);
        if (player && player->isInitialized()) {
            h.droppedFrames = tuner->readMpv().total();
            h.pipeline = tuner->pipelineText();
        }
    }
    return h;
}

QVariantMap StreamHealth::toVariantMap() const
{
    return {
        {QStringLiteral("state"), stats.state},
        {QStringLiteral("source"), QVariantMap{{QStringLiteral("label"), stats.sourceLabel},
                                               {QStringLiteral("index"), stats.sourceIndex},
                                               {QStringLiteral("count"), stats.sourceCount}}},
        {QStringLiteral("pieceLength"), pieceLength},
        {QStringLiteral("peers"), stats.numPeers},
        {QStringLiteral("seeds"), stats.numSeeds},
        {QStringLiteral("knownPeers"), stats.listPeers},
        {QStringLiteral("downloadRate"), stats.downloadRate},
        {QStringLiteral("uploadRate"), stats.uploadRate},
        {QStringLiteral("aheadSeconds"), aheadSec},
        {QStringLiteral("window"),
         QVariantMap{{QStringLiteral("pieces"), windowPieces}, {QStringLiteral("bytes"), windowBytes}}},
        {QStringLiteral("pieces"), QVariantMap{{QStringLiteral("first"), firstPiece},
                                               {QStringLiteral("states"), QString::fromLatin1(pieces)},
                                               {QStringLiteral("read"), readPiece},
                                               {QStringLiteral("done"), piecesDone()}}},
        {QStringLiteral("renderer"), QVariantMap{{QStringLiteral("level"), level},
                                                 {QStringLiteral("name"), levelName},
                                                 {QStringLiteral("droppedFrames"), droppedFrames},
                                                 {QStringLiteral("pipeline"), pipeline}}},
        {QStringLiteral("cache"),
         QVariantMap{{QStringLiteral("heldBytes"), cacheHeld}, {QStringLiteral("capBytes"), cacheCap}}},
    };
}

} // namespace svd
