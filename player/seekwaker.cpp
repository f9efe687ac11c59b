#include "player/seekwaker.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "torrent/streamprotocol.h"
#include "torrent/torrentengine.h"

#include <algorithm>

namespace svd {

SeekWaker::SeekWaker(MpvPlayer *player, TorrentEngine *engine) : QObject(player), m_player(player), m_engine(engine)
{
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &SeekWaker::check);
    connect(player, &MpvPlayer::startFile, this, [this] {
        m_started = false;
        m_timer.stop();
        endStaleReads();
    });
    connect(player, &MpvPlayer::playbackRestart, this, [this] {
        // The first restart of a file ends its start, later ones end seeks.
        m_started = true;
        m_lastRestart = std::chrono::steady_clock::now();
        m_timer.stop();
        endStaleReads();
    });
    connect(player, &MpvPlayer::propertyChanged, this, [this](const QString &name, const QVariant &value) {
        if (name != QLatin1String("seeking"))
            return;
        if (!value.toBool() || !m_started) {
            m_timer.stop();
            endStaleReads();
            return;
        }
        m_timer.start();
        check();
    });
}

// A seek inside the demuxer's cache never reaches the stream; waking a read then would look
// like the end of the file to the demuxer.
bool SeekWaker::targetBuffered() const
{
    // While a seek is pending, mpv reports its target as the position.
    const QVariant pos = m_player->getProp(QStringLiteral("time-pos"));
    if (!pos.isValid())
        return true;
    const double target = pos.toDouble();
    const QVariantList ranges = m_player->getProp(QStringLiteral("demuxer-cache-state"))
                                    .toMap()
                                    .value(QStringLiteral("seekable-ranges"))
                                    .toList();
    return std::any_of(ranges.begin(), ranges.end(), [&](const QVariant &r) {
        const QVariantMap m = r.toMap();
        return m.value(QStringLiteral("start")).toDouble() <= target && target <= m.value(QStringLiteral("end")).toDouble();
    });
}

std::shared_ptr<StreamTorrent> SeekWaker::currentTorrent(int *file) const
{
    QString id;
    if (!parseTorrentUri(m_player->currentUrl(), &id, file))
        return nullptr;
    return m_engine->find(id);
}

// Reads failing while a seek waited must stop as soon as none waits: the demuxer would take
// the next failed read for the end of the file.
void SeekWaker::endStaleReads()
{
    if (!m_woke)
        return;
    m_woke = false;
    int file = -1;
    if (const std::shared_ptr<StreamTorrent> torrent = currentTorrent(&file))
        torrent->endStaleReads();
}

void SeekWaker::check()
{
    if (!m_player->getProp(QStringLiteral("seeking")).toBool()) {
        m_timer.stop();
        endStaleReads();
        return;
    }
    if (targetBuffered()) {
        endStaleReads();
        return;
    }
    int file = -1;
    const std::shared_ptr<StreamTorrent> torrent = currentTorrent(&file);
    if (!torrent)
        return;
    // Reads moved by a seek since the last restart or seek command already serve this seek.
    const int woken = torrent->interruptStaleReads(file, std::max(m_lastRestart, m_lastSeekCommand));
    if (woken > 0) {
        m_woke = true;
        logLine(QStringLiteral("mpv: seek target not buffered -> woke %1 read(s) waiting ahead").arg(woken));
    }
}

} // namespace svd
