#pragma once

#include "tools/swarmlab/scenario.h"

#include <QList>
#include <QString>

namespace svd::lab {

// What the lab needs to know of a torrent: its pieces, the head of its largest file (what a
// player reads first), its info-hash and the size of its info dictionary (the metadata).
struct PieceLayout {
    int numPieces = 0;
    QList<int> head;
    QByteArray infoHash; // 20 bytes (v1)
    QString name;
    qint64 metadataSize = 0;
};
bool readLayout(const QString &torrentFile, qint64 headBytes, PieceLayout *out, QString *error);

// The pieces each partial seeder holds (empty for the others), sorted: a share drawn within
// its range, with all of the head (head=yes), none of it (head=no) or whatever falls. The
// same `seed` gives the same pieces, so every run of a scenario meets the same swarm.
QList<QList<int>> assignPieces(const QList<SeederSpec> &seeders, const PieceLayout &layout, quint32 seed);

// "0-3,7,9-12" for a sorted list of pieces.
QString pieceRanges(const QList<int> &pieces);

// The lab's copy of a .torrent: same info dictionary (so the same info-hash), one
// tracker, or none when `trackerUrl` is empty. False with `error` when the file cannot be
// read or written.
bool writeTorrentWithTracker(const QString &from, const QString &to, const QString &trackerUrl, QString *error);

// Copies the torrent's content from `contentDir` to `toDir` and flips bytes in the
// given pieces (one byte per 16 KiB block, so every block of them is bad); pieces past
// the torrent's end are left out of `*corrupted`.
bool writeCorruptCopy(const QString &torrentFile, const QString &contentDir, const QString &toDir,
                      const QList<int> &pieces, int *corrupted, QString *error);

// A port number that is free for both TCP and UDP on 127.0.0.1 (and on ::1 with `v6too`) right now.
int freeLoopbackPort(bool v6too = false);

} // namespace svd::lab
