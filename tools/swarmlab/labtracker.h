#pragma once

#include "tools/backend/testbackend.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>

#include <functional>
#include <optional>

namespace svd::lab {

// The lab's HTTP tracker policy (GET /announce on a TestBackend). Seeders,
// recognised by their own listen port, get an empty peer list, so they never dial
// a leecher around the relays. Leechers get the seeders' advertised endpoints
// (relay ports) plus the other leechers, after any decoys (silent peers, closed ports),
// which come first as a public tracker may list dead peers before live ones.
class LabTracker
{
public:
    explicit LabTracker(int intervalSec = 10) : m_interval(intervalSec) {}

    void setSeederPorts(const QSet<int> &ports) { m_seederPorts = ports; }
    void setAdvertised(const QList<int> &ports) { m_advertised = ports; }
    void setDecoys(const QList<int> &ports) { m_decoys = ports; }
    // Called on the first announce from a leecher.
    void onFirstLeecher(std::function<void()> fn) { m_firstLeecher = std::move(fn); }

    std::optional<HttpResponse> handle(const HttpRequest &request, double now);
    int leecherAnnounces() const { return m_leecherAnnounces; }

private:
    struct Leecher {
        int port = 0;
        double lastSeen = 0;
    };
    int m_interval;
    QSet<int> m_seederPorts;
    QList<int> m_advertised;
    QList<int> m_decoys;
    QHash<QByteArray, Leecher> m_leechers; // by peer id
    int m_leecherAnnounces = 0;
    std::function<void()> m_firstLeecher;
};

} // namespace svd::lab
