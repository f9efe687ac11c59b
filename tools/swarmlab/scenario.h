#pragma once

#include <QList>
#include <QString>

namespace svd::lab {

enum class SeederKind { Libtorrent, Aria2 };
enum class Transport { Tcp, Utp, Both };

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
};

struct Scenario {
    QString name;
    QString about;
    int pieceKiB = 1024;
    // The kind of file the benchmark seeds (a release file it makes, e.g. "avi"); empty: its
    // standard episode. The lab itself seeds whatever torrent it is given.
    QString media;
    QList<SeederSpec> seeders;
};

QString kindName(SeederKind kind);
QString transportName(Transport transport);

// Reads a scenario file:
//   # comment
//   scenario NAME [piece=KIB] [media=KIND]
//     about free text
//     seeder lt|aria2 [rate=KBPS] [transport=tcp|utp|both] [start=S] [leave=S]
//                     [corrupt=LIST] [latency=MS] [jitter=MS] [count=N]
// LIST is comma-separated pieces or ranges A-B, a range optionally with a step A-B/S.
// False with `error` ("file:line: what") on the first problem.
bool parseScenarios(const QString &text, const QString &fileName, QList<Scenario> *out, QString *error);
bool loadScenarios(const QString &path, QList<Scenario> *out, QString *error);

} // namespace svd::lab
