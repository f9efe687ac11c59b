#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace svd {

// When the session's upload limit is set. Libtorrent makes every outgoing message of every
// peer (handshakes and block requests included) wait for the next quota tick once any
// upload limit is set, even on an idle link; so the cap is set only while we really upload
// close to it, and lifted for a moment when a reader starts waiting for data, at most once
// per `holdMs` so that a swarm keeping readers waiting still has the cap applied.
class UploadCap
{
public:
    UploadCap(int capBytesPerSec, int liftMs, int holdMs);

    // Cumulative payload bytes sent, at `nowMs` (any monotonic clock).
    void onStats(qint64 nowMs, qint64 sentPayloadBytes);
    void onReaderWaiting(qint64 nowMs);
    void onTimer(qint64 nowMs);

    // The limit the session should have now (0 = none).
    int wanted() const { return m_demand && !m_lifted ? m_cap : 0; }
    bool lifted() const { return m_lifted; }
    // Log lines of what changed since the last call.
    QStringList takeEvents();

private:
    const int m_cap;
    const int m_liftMs;
    const int m_holdMs;
    bool m_demand = false;
    qint64 m_lastSent = -1;
    qint64 m_lastAt = 0;
    qint64 m_lowSince = -1;
    bool m_lifted = false;
    qint64 m_liftUntil = 0;
    qint64 m_capBackAt = -1000000000;
    QStringList m_events;
};

} // namespace svd
