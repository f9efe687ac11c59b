#pragma once

#include "tools/backend/testbackend.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <optional>

namespace svd::demo {

// One announce as a BitTorrent client sends it (HTTP GET /announce?...).
struct Announce {
    QByteArray infoHash; // 20 raw bytes
    QByteArray peerId;   // 20 raw bytes
    int port = 0;
    qint64 left = -1;
    QByteArray event;    // "", "started", "stopped", "completed"
    int numWant = 50;
};

// Reads the announce parameters from the raw (percent-encoded) query. The
// info-hash and peer id are binary, so the query is never decoded as text.
// False with `error` filled when a required parameter is missing or malformed.
bool parseAnnounce(const QByteArray &encodedQuery, Announce *out, QByteArray *error);

// The bencoded success answer to an announce: swarm counts, intervals and the
// given ports as compact peers on 127.0.0.1.
QByteArray announceAnswer(int complete, int incomplete, int intervalSec, const QList<int> &ports);

// A tiny HTTP tracker for the loopback demo swarm. Every peer is taken to be
// on 127.0.0.1 (the only address the demo uses), answers are compact peer
// lists, and peers that stop announcing are forgotten after three intervals.
class Tracker {
public:
    explicit Tracker(int intervalSec = 15) : m_interval(intervalSec) {}

    // The bencoded answer to one announce at time `now` (seconds, any clock).
    QByteArray announce(const Announce &a, double now);
    // Bencoded failure answer.
    static QByteArray failure(const QByteArray &reason);

    struct Counts {
        int seeders = 0;
        int leechers = 0;
    };
    Counts counts(const QByteArray &infoHash, double now) const;
    // {"<hex hash>": {"seeders": n, "leechers": m}, ...}
    QJsonObject stats(double now) const;

    // GET /announce and GET /tracker/stats on a TestBackend.
    std::optional<HttpResponse> handle(const HttpRequest &request, double now);

private:
    struct Peer {
        QByteArray peerId;
        int port = 0;
        bool seeding = false;
        double lastSeen = 0;
    };
    void expire(double now);

    int m_interval;
    QHash<QByteArray, QList<Peer>> m_swarms;
};

} // namespace svd::demo
