#pragma once

#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

namespace svd {

// What the player view shows about the running playback, refreshed every second.
struct PlayerStats {
    QString state;
    QString message;
    QString sourceLabel;
    int sourceIndex = -1;
    int sourceCount = 0;
    int numPeers = 0;
    int numSeeds = 0;
    int listPeers = 0;
    qint64 downloadRate = 0;
    qint64 uploadRate = 0;
    qint64 payloadDownloaded = 0;
    int dhtNodes = 0;
    double cacheBuffering = 0.0;
    double sourceSeconds = 0.0;
    bool buffering = true;
    QList<QPair<double, double>> bufferedRanges; // seconds, start < end
};

} // namespace svd

Q_DECLARE_METATYPE(svd::PlayerStats)
