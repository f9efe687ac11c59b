#include "player/nextepisodeprep.h"

#include "base/log.h"
#include "disk/cachebudget.h"
#include "player/torrentopen.h"
#include "sources/sourceprovider.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QDir>

#include <utility>

namespace svd {

namespace {

// The largest piece a torrent is expected to have.
constexpr qint64 kLargePieceBytes = 16 * disk::kMiB;

bool sameTorrent(const StreamTorrent &torrent, const SourceInfo &source)
{
    return torrent.infoHashKey().compare(source.infoHash, Qt::CaseInsensitive) == 0;
}

} // namespace

NextEpisodePrep::NextEpisodePrep(TorrentEngine *engine, SourceProvider *provider, QObject *parent)
    : QObject(parent), m_engine(engine), m_provider(provider)
{
}

qint64 NextEpisodePrep::roomNeeded(qint64 headTailBytes)
{
    return 2 * (2 * headTailBytes + 2 * kLargePieceBytes);
}

bool NextEpisodePrep::roomToPrepare(qint64 capBytes, qint64 heldBytes, qint64 leavingBytes, qint64 headTailBytes)
{
    return capBytes - heldBytes - leavingBytes >= roomNeeded(headTailBytes);
}

void NextEpisodePrep::prepare(long long animeId, int episode, bool downloaded, qint64 heldBytes, qint64 capBytes,
                              const std::shared_ptr<StreamTorrent> &playing, int playingFile)
{
    if (m_requested || !m_provider)
        return;
    const qint64 headTail = m_engine ? m_engine->config().streamParams.headTailBytes : 0;
    if (!roomToPrepare(capBytes, heldBytes, m_leavingBytes, headTail)) {
        if (!m_heldBack)
            logLine(QStringLiteral("player: episode %1 not prepared: cache %2 of cap %3 leaves less than %4")
                        .arg(episode + 1)
                        .arg(disk::formatBytes(heldBytes + m_leavingBytes), disk::formatBytes(capBytes),
                             disk::formatBytes(roomNeeded(headTail))));
        m_heldBack = true;
        return;
    }
    m_heldBack = false;
    m_requested = true;
    m_animeId = animeId;
    m_episode = episode + 1;
    m_playing = playing;
    m_playingFile = playingFile;
    logLine(QStringLiteral("player: episode %1 %2 -> preparing episode %3")
                .arg(episode)
                .arg(downloaded ? QStringLiteral("downloaded") : QStringLiteral("buffered to its end"))
                .arg(m_episode));
    const quint64 token = ++m_token;
    QPointer<NextEpisodePrep> self(this);
    m_provider->fetchEpisode(m_animeId, m_episode, [self, token](EpisodeSources sources) {
        if (self)
            self->onSources(token, sources);
    });
}

void NextEpisodePrep::onSources(quint64 token, const EpisodeSources &sources)
{
    const std::shared_ptr<StreamTorrent> playing = m_playing.lock();
    if (token != m_token || !playing)
        return;
    if (sources.sources.isEmpty()) {
        logLine(QStringLiteral("player: episode %1 has no sources to prepare").arg(m_episode));
        return;
    }
    m_sources = sources;
    const SourceInfo &src = sources.sources.first();
    if (sameTorrent(*playing, src)) {
        // The torrent being played holds the next episode: its file is served now.
        const int file = playing->resolveFile(src.fileIndex, src.filePath);
        if (file >= 0 && file != m_playingFile) {
            playing->addFile(file);
            m_fileInPlaying = file;
        }
        return;
    }
    QPointer<NextEpisodePrep> self(this);
    m_provider->fetchTorrent(src, [self, token](QByteArray bytes, QString error) {
        if (self)
            self->onTorrent(token, bytes, error);
    });
}

void NextEpisodePrep::onTorrent(quint64 token, const QByteArray &bytes, const QString &error)
{
    if (token != m_token || m_torrent || !m_engine || m_sources.sources.isEmpty())
        return;
    const SourceInfo &src = m_sources.sources.first();
    QString openError;
    bool later = false;
    if (!bytes.isEmpty() || !src.magnet.isEmpty())
        m_torrent = openTorrentSoon(m_engine, bytes, src, &openError, &later, this,
                                    [=, this] { onTorrent(token, bytes, error); });
    if (later)
        return;
    if (!m_torrent) {
        logLine(QStringLiteral("player: episode %1 not prepared: %2")
                    .arg(m_episode)
                    .arg(openError.isEmpty() ? error : openError));
        return;
    }
    serveHeads();
}

void NextEpisodePrep::serveHeads()
{
    if (!m_sources.sources.isEmpty())
        serveSourceFile(m_torrent.get(), m_sources.sources.first());
}

EpisodeSources NextEpisodePrep::takeSources(long long animeId, int episode)
{
    m_heldBack = false;
    if (animeId != m_animeId || episode != m_episode || m_sources.sources.isEmpty())
        return {};
    ++m_token;
    m_requested = false;
    return std::exchange(m_sources, {});
}

std::shared_ptr<StreamTorrent> NextEpisodePrep::takeTorrent(const SourceInfo &source)
{
    if (!m_torrent || !sameTorrent(*m_torrent, source))
        return nullptr;
    return std::move(m_torrent);
}

void NextEpisodePrep::releaseFile(StreamTorrent *playing, int keep)
{
    if (m_fileInPlaying >= 0 && m_fileInPlaying != keep && playing) {
        logLine(QStringLiteral("player: prepared file #%1 released").arg(m_fileInPlaying));
        playing->removeFile(m_fileInPlaying);
    }
    m_fileInPlaying = -1;
}

void NextEpisodePrep::drop(const QString &why, StreamTorrent *playing)
{
    ++m_token;
    m_requested = false;
    m_sources = {};
    releaseFile(playing, -1);
    if (!m_torrent)
        return;
    logLine(QStringLiteral("player: prepared episode %1 dropped (%2)").arg(m_episode).arg(why));
    m_leavingFolder = m_torrent->downloadFolder();
    m_leavingBytes += m_torrent->lastStats().bytesDone;
    if (m_engine)
        m_engine->close(m_torrent);
    m_torrent.reset();
}

void NextEpisodePrep::fitUnder(qint64 capBytes, qint64 heldBytes, StreamTorrent *playing)
{
    if (!m_torrent)
        return;
    const qint64 total = heldBytes + m_torrent->lastStats().bytesDone;
    if (capBytes < total)
        drop(QStringLiteral("cache %1 > cap %2").arg(disk::formatBytes(total), disk::formatBytes(capBytes)), playing);
}

qint64 NextEpisodePrep::bytes() const
{
    return (m_torrent ? m_torrent->lastStats().bytesDone : 0) + m_leavingBytes;
}

void NextEpisodePrep::sweepLeaving()
{
    if (!m_leavingFolder.isEmpty() && !QDir(m_leavingFolder).exists()) {
        m_leavingFolder.clear();
        m_leavingBytes = 0;
    }
}

void NextEpisodePrep::tick(int dhtNodes)
{
    if (m_torrent)
        m_torrent->tick(dhtNodes);
    serveHeads();
}

} // namespace svd
