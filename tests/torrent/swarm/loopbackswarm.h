#pragma once

// A BitTorrent swarm that never leaves this machine: generated content, .torrent files made
// with libtorrent, seeders as libtorrent sessions on 127.0.0.1 and an optional opentracker.
// Shared by the torrent tests and the stream benchmark.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <libtorrent/session.hpp>

#include <memory>
#include <utility>
#include <vector>

namespace svd::swarm {

struct GeneratedFile {
    QString path; // inside the torrent, root folder included
    QByteArray data;
};

struct GeneratedTorrent {
    QString saveDir;     // folder holding the torrent's root folder
    QString name;        // root folder name
    QByteArray torrentBytes;
    QString infoHash;    // hex, as the engine keys it
    std::vector<GeneratedFile> files;
    QString magnet(int peerPort = 0) const;
};

// Deterministic pseudo-random bytes.
QByteArray randomBytes(qint64 size, quint32 seed);

// A short test video (H.264 in Matroska; falls back to MPEG-4 Part 2) made by ffmpeg.
bool makeVideoClip(const QString &path, double seconds, QString *error = nullptr);

// Writes `files` (relative to `name`) below `saveDir` and builds a v1 .torrent over them.
GeneratedTorrent makeTorrent(const QString &saveDir, const QString &name,
                             const std::vector<std::pair<QString, QByteArray>> &files, int pieceSize,
                             const QStringList &trackers = {});

// A seeding session on 127.0.0.1 with DHT, LSD, UPnP and NAT-PMP off. With a non-zero
// upload limit the limit applies to loopback peers too.
class Seeder
{
public:
    // With `checkData` the seeder hashes the content first and serves only the pieces that
    // check out (a seeder missing part of the file); otherwise it trusts the content.
    explicit Seeder(const GeneratedTorrent &torrent, int uploadLimitBytesPerSec = 0, bool checkData = false);
    ~Seeder();
    int port() const { return m_port; }
    bool ready() const { return m_ready; }
    void setUploadLimit(int bytesPerSec);
    // As libtorrent's default: hang up on a peer that holds all it wants (so do public seeds).
    void closeRedundantConnections();
    // Turns TCP connections away (accepts and closes them), as a peer set to uTP only does.
    void acceptOnlyUtp();

private:
    std::unique_ptr<lt::session> m_session;
    int m_port = 0;
    bool m_ready = false;
};

// Seeds a torrent whose content already lies below `saveDir` (as gen-episodes leaves it);
// null when the .torrent file cannot be read or the session does not come up.
std::unique_ptr<Seeder> seedExisting(const QString &saveDir, const QString &torrentFile,
                                     int uploadLimitBytesPerSec = 0);

// Connects a torrent handle to the seeders on 127.0.0.1.
void connectToSeeder(const lt::torrent_handle &handle, int port);

// opentracker on 127.0.0.1:`port` serving the whitelisted info-hashes. Absent binary: start() false.
class Tracker
{
public:
    ~Tracker();
    bool start(int port, const QStringList &infoHashes, const QString &workDir);
    QString announceUrl() const;

private:
    QProcess m_proc;
    int m_port = 0;
};

} // namespace svd::swarm
