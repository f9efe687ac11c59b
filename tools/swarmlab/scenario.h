#pragma once

#include <QList>
#include <QString>

namespace svd::lab {

enum class SeederKind { Libtorrent, Aria2 };
enum class Transport { Tcp, Utp, Both };
// Whether a partial peer holds the head of the torrent's largest file (see SwarmLab).
enum class HeadShare { Any, With, Without };
// What the program under test is given: the .torrent, or only a magnet link.
enum class SourceKind { Torrent, Magnet };

// One seeder of a scenario. Rates are in KB/s (1000 bytes); 0 means unthrottled.
struct SeederSpec {
    SeederKind kind = SeederKind::Libtorrent;
    int rateKBps = 0;
    Transport transport = Transport::Both;
    double startDelaySec = 0;   // after the lab starts
    double leaveAfterSec = -1;  // after the first leecher shows up; negative: stays
    QList<int> corruptPieces;   // pieces it sends with flipped bytes
    int latencyMs = 0;          // each way, added by its relay
    int jitterMs = 0;
    // libtorrent only. unchokeSlots > 0: libtorrent's unchoke_slots_limit (1 leaves a single,
    // optimistic slot). partialMin/Max > 0: it holds that share of the pieces (in percent,
    // drawn per peer) and wants no others, as a peer that selected only part of a torrent.
    int unchokeSlots = 0;
    int partialMinPct = 0;
    int partialMaxPct = 0;
    HeadShare head = HeadShare::Any;
    bool partial() const { return partialMaxPct > 0; }
};

struct Scenario {
    QString name;
    QString about;
    int pieceKiB = 1024;
    // The kind of file the benchmark seeds (a release file it makes, e.g. "avi"); empty: its
    // standard episode. The lab itself seeds whatever torrent it is given.
    QString media;
    QList<SeederSpec> seeders;
    SourceKind source = SourceKind::Torrent;
    // Lab leechers, one for each seeder with `slots`, downloading at this rate, that take its
    // unchoke slot before anyone else arrives; < 0: none.
    int slowLeecherKBps = -1;
    int silentPeers = 0;  // listed by the tracker before the seeders: accept, never answer
    int closedPorts = 0;  // listed likewise: nothing listens there
    int dhtNodes = 0;     // > 0: no tracker; peers are found through this many DHT nodes
};

QString kindName(SeederKind kind);
QString transportName(Transport transport);

// Reads a scenario file:
//   # comment
//   scenario NAME [piece=KIB] [media=KIND] [source=torrent|magnet]
//     about free text
//     seeder lt|aria2 [rate=KBPS|KBPS-KBPS] [transport=tcp|utp|both] [start=S] [leave=S]
//                     [corrupt=LIST] [latency=MS] [jitter=MS] [count=N]
//                     [slots=N] [partial=PCT-PCT] [head=yes|no]
//     slowleecher rate=KBPS
//     silent count=N | closed count=N | dht count=N
// LIST is comma-separated pieces or ranges A-B, a range optionally with a step A-B/S. A rate
// range spreads the `count` seeders evenly over it.
// False with `error` ("file:line: what") on the first problem.
bool parseScenarios(const QString &text, const QString &fileName, QList<Scenario> *out, QString *error);
bool loadScenarios(const QString &path, QList<Scenario> *out, QString *error);

} // namespace svd::lab
