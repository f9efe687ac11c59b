#pragma once

#include "tools/swarmlab/labfiles.h"
#include "tools/swarmlab/scenario.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class QProcess;

namespace svd {
class TestBackend;
}

namespace svd::lab {

class LabTracker;
class RelayHub;

// A BitTorrent swarm on 127.0.0.1 built from a scenario: our HTTP tracker and one
// process per seeder (libtorrent's svd-seeder or aria2c), each behind a relay that
// adds its latency and counts the bytes it sends to leechers. Leechers use
// torrentPath(), a copy of the torrent announcing to trackerUrl(). Seeder processes
// die with this process (PR_SET_PDEATHSIG), relays are threads of it. Runs on the
// thread that owns it, which must spin an event loop (the tracker answers there).
// Beyond seeders a scenario may have partial peers, seeders whose one unchoke slot a lab
// leecher holds, silent and closed ports the tracker lists first, or no tracker and a DHT of
// lab nodes; waitStarted() checks each of these is so before it returns.
class SwarmLab : public QObject
{
    Q_OBJECT
public:
    struct Options {
        QString torrentFile;   // the episode's .torrent; its trackers are replaced in the lab's copy
        QString contentDir;    // save path: holds the torrent's content (root folder included)
        QString workDir;       // lab copy of the torrent, corrupt copies, seeder logs
        QString seederProgram; // svd-seeder; empty: $SVD_SEEDER, next to this program, $SVD_BINARY_DIR
        QString aria2Program = QStringLiteral("aria2c");
        bool relays = true;    // a relay in front of every seeder, not only where latency needs one
        // A network outage: every relay passes nothing for dropForSec, dropAtSec after
        // the first leecher connected (< 0: none). Needs the relays.
        double dropAtSec = -1;
        double dropForSec = 0;
        // The outage also ends every connection open when it starts (a router that lost its
        // state, a new address), so the leecher must dial again once it is over.
        bool dropCuts = false;
    };

    struct SeederState {
        SeederSpec spec;
        // A relayed seeder listens on [::1] with the port number of its relay on 127.0.0.1: the
        // port it names in its handshakes is then the relay's, and leechers cannot reach it
        // around the relay. Without a relay it listens on 127.0.0.1 itself.
        int listenPort = 0;
        int advertisedPort = 0; // what leechers are given
        bool relayed = false;
        int corruptPieces = 0;  // of the torrent's pieces, those it sends bad
        bool started = false;
        bool left = false;
        bool failed = false;    // exited by itself
        long long pid = 0;
        long long bytesToLeechers = -1; // through its relay; -1 without one
        long long bytesFromLeechers = -1;
        int connections = 0;
        int openConnections = 0;
        QList<int> pieces;          // a partial peer's pieces
        int optimisticFirstSec = 0; // a seeder with slots: its first optimistic round
        QString status;             // its last status line (seeders with slots, partial peers)
        QString endpoint() const { return QStringLiteral("127.0.0.1:%1").arg(advertisedPort); }
        // Where it listens itself, around its relay (the lab's own probes and leecher go there).
        QString listenEndpoint() const
        {
            return QStringLiteral("%1:%2").arg(relayed ? QStringLiteral("[::1]") : QStringLiteral("127.0.0.1")).arg(listenPort);
        }
    };

    explicit SwarmLab(QObject *parent = nullptr);
    ~SwarmLab() override;

    bool start(const Scenario &scenario, const Options &options, QString *error);
    // Waits (spinning the event loop) until every seeder without a start delay listens, then
    // starts the slow leecher, if any, and checks the scenario's own state (checks()); false
    // with `error` naming each check that failed.
    bool waitStarted(int timeoutMs, QString *error = nullptr);

    QString trackerUrl() const { return m_trackerUrl; }
    QString torrentPath() const { return m_torrentPath; }
    // magnet:?xt=urn:btih:...&dn=...&tr=<the tracker> (no tracker in a DHT scenario).
    QString magnet() const { return m_magnet; }
    // "127.0.0.1:P,..." of the lab's DHT nodes; empty without them.
    QString dhtBootstrap() const { return m_dhtBootstrap; }
    // {"check","ok","detail"} of each check waitStarted() made.
    QJsonArray checks() const { return m_checks; }
    const Scenario &scenario() const { return m_scenario; }
    int seederCount() const { return int(m_seeders.size()); }
    SeederState seeder(int i) const;
    // Seconds since the first leecher announced or connected; negative before.
    double leecherClock() const;

    void leave(int i);
    // Ends every seeder process and relay and closes the tracker; also done by the destructor.
    void stop();

    // {"scenario","tracker","torrent","seeders":[...]} for the command's JSON lines.
    QJsonObject describe() const;

signals:
    void seederStarted(int index);
    void seederLeft(int index);
    void dropStarted(double atSec, double forSec);
    void seederFailed(int index, const QString &why);

private:
    struct Seeder;
    bool prepareSeeder(int i, const QList<int> &pieces, bool dht, QString *error);
    void launch(int i);
    QStringList libtorrentArgs(int i) const;
    void spawn(Seeder *s, const QString &program, const QStringList &args);
    void onOutput(Seeder *s);
    void onFinished(Seeder *s, int code);
    void markStarted(int i);
    bool startDhtNodes(QString *error);
    bool startDecoys(QString *error);
    void startSlowLeecher();
    bool waitHelpers(int timeoutMs, QString *error);
    // labchecks.cpp
    bool verify(int timeoutMs, QString *error);
    void checkPartialPeers(const QList<int> &peers);
    QString partialStatusWrong(int i) const;
    void checkMetadata();
    void checkDecoys();
    bool checkSlotsHeld(bool final);
    bool checkDhtAnnounced(bool final);
    void tick();
    void updateAdvertised();
    QString seederProgram() const;

    Scenario m_scenario;
    Options m_options;
    QString m_trackerUrl;
    QString m_torrentPath;
    std::unique_ptr<TestBackend> m_backend;
    std::unique_ptr<LabTracker> m_tracker;
    std::unique_ptr<RelayHub> m_relays;
    std::vector<std::unique_ptr<Seeder>> m_seeders;
    std::vector<std::unique_ptr<Seeder>> m_helpers; // DHT nodes and the slow leecher
    PieceLayout m_layout;
    QString m_magnet;
    QString m_dhtBootstrap;
    QList<int> m_silentRelays; // relay ids
    QList<int> m_silentPorts;
    QList<int> m_closedPorts;
    int m_probeConnections = 0; // the lab's own, on the silent ports
    int m_silentDials = 0;      // taken at stop(), when the relays go
    qint64 m_silentBytes = 0;
    QJsonArray m_checks;
    QElapsedTimer m_clock;
    QElapsedTimer m_leecherClock;
    QTimer m_tick;
    bool m_running = false;
    bool m_dropped = false;
};

} // namespace svd::lab
