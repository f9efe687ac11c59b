#include "torrent/uploadcap.h"

namespace svd {

namespace {

constexpr qint64 kQuietMs = 5000; // uploads this long below a quarter of the cap: cap off

QString mbps(int bytesPerSec)
{
    return QString::number(bytesPerSec / 1e6, 'f', 1);
}

} // namespace

UploadCap::UploadCap(int capBytesPerSec, int liftMs, int holdMs) : m_cap(capBytesPerSec), m_liftMs(liftMs), m_holdMs(holdMs)
{
}

void UploadCap::onStats(qint64 nowMs, qint64 sentPayloadBytes)
{
    if (m_cap <= 0)
        return;
    if (m_lastSent < 0 || nowMs <= m_lastAt || sentPayloadBytes < m_lastSent) {
        m_lastSent = sentPayloadBytes;
        m_lastAt = nowMs;
        return;
    }
    const double rate = double(sentPayloadBytes - m_lastSent) * 1000.0 / double(nowMs - m_lastAt);
    m_lastSent = sentPayloadBytes;
    m_lastAt = nowMs;
    if (rate >= m_cap / 2.0) {
        m_lowSince = -1;
        if (!m_demand)
            m_events << QStringLiteral("engine: upload cap %1 MB/s on (uploading %2 KB/s)").arg(mbps(m_cap)).arg(int(rate / 1000));
        m_demand = true;
    } else if (m_demand && rate < m_cap / 4.0) {
        if (m_lowSince < 0)
            m_lowSince = nowMs;
        if (nowMs - m_lowSince >= kQuietMs) {
            m_demand = false;
            m_lowSince = -1;
            m_events << QStringLiteral("engine: upload cap off (uploading %1 KB/s)").arg(int(rate / 1000));
        }
    } else {
        m_lowSince = -1;
    }
}

void UploadCap::onReaderWaiting(qint64 nowMs)
{
    if (!m_demand || m_lifted || nowMs < m_capBackAt + m_holdMs)
        return;
    m_lifted = true;
    m_liftUntil = nowMs + m_liftMs;
    m_events << QStringLiteral("engine: upload cap off while a reader waits for data");
}

void UploadCap::onTimer(qint64 nowMs)
{
    if (!m_lifted || nowMs < m_liftUntil)
        return;
    m_lifted = false;
    m_capBackAt = nowMs;
    if (m_demand)
        m_events << QStringLiteral("engine: upload cap %1 MB/s back").arg(mbps(m_cap));
}

QStringList UploadCap::takeEvents()
{
    QStringList out;
    out.swap(m_events);
    return out;
}

} // namespace svd
