#pragma once

#include <QList>
#include <QString>

namespace svd::lab {

// The lab's copy of a .torrent: same info dictionary (so the same info-hash), one
// tracker. False with `error` when the file cannot be read or written.
bool writeTorrentWithTracker(const QString &from, const QString &to, const QString &trackerUrl, QString *error);

// Copies the torrent's content from `contentDir` to `toDir` and flips bytes in the
// given pieces (one byte per 16 KiB block, so every block of them is bad); pieces past
// the torrent's end are left out of `*corrupted`.
bool writeCorruptCopy(const QString &torrentFile, const QString &contentDir, const QString &toDir,
                      const QList<int> &pieces, int *corrupted, QString *error);

// A port number that is free for both TCP and UDP on 127.0.0.1 (and on ::1 with `v6too`) right now.
int freeLoopbackPort(bool v6too = false);

} // namespace svd::lab
