#include "player/playbackcontroller.h"

#include "base/log.h"
#include "disk/volumes.h"
#include "player/mpvplayer.h"
#include "sources/sourceprovider.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <algorithm>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace svd {

namespace {

constexpr int kEndFileEof = 0;   // MPV_END_FILE_REASON_EOF
constexpr int kEndFileError = 4; // MPV_END_FILE_REASON_ERROR
constexpr int kOpenRetryMs = 500;

QString secs2(double s)
{
    return QString::number(s, 'f', 2);
}

} // namespace

PlaybackController::PlaybackController(TorrentEngine *engine, SourceProvider *provider, MpvPlayer *player,
                                       PlaybackOptions options, QObject *parent)
    : QObject(parent), m_engine(engine), m_provider(provider), m_player(player), m_opts(options)
{
    qRegisterMetaType<svd::PlayerStats>();
    m_stats.state = stateText(Idle);
    m_tickTimer.setInterval(1000);
    m_dubTimer.setInterval(200);
    connect(&m_tickTimer, &QTimer::timeout, this, &PlaybackController::tick);
    connect(&m_dubTimer, &QTimer::timeout, this, &PlaybackController::checkDubSwitch);
    m_watchTimer.setInterval(250);
    connect(&m_watchTimer, &QTimer::timeout, this, &PlaybackController::watchSources);
    if (player) {
        connect(player, &MpvPlayer::startFile, this, &PlaybackController::onStartFile);
        connect(player, &MpvPlayer::fileLoaded, this, &PlaybackController::onFileLoaded);
        connect(player, &MpvPlayer::preloaded, this, &PlaybackController::onPreloaded);
        connect(player, &MpvPlayer::playbackRestart, this, &PlaybackController::onPlaybackRestart);
        connect(player, &MpvPlayer::endFile, this, &PlaybackController::onEndFile);
        connect(player, &MpvPlayer::propertyChanged, this, &PlaybackController::onPropertyChanged);
        connect(player, &MpvPlayer::clientMessage, this, &PlaybackController::onClientMessage);
    }
}

PlaybackController::~PlaybackController()
{
    stop();
}

QString PlaybackController::stateText(State state)
{
    switch (state) {
    case Idle:
        return QStringLiteral("idle");
    case Resolving:
        return QStringLiteral("resolving");
    case LoadingTorrent:
        return QStringLiteral("loading-torrent");
    case Connecting:
        return QStringLiteral("connecting");
    case Buffering:
        return QStringLiteral("buffering");
    case Playing:
        return QStringLiteral("playing");
    case Failed:
        return QStringLiteral("failed");
    }
    return {};
}

const SourceInfo *PlaybackController::currentSource() const
{
    if (m_sourceIndex < 0 || m_sourceIndex >= m_sources.sources.size())
        return nullptr;
    return &m_sources.sources[m_sourceIndex];
}

QList<DubInfo> PlaybackController::dubs() const
{
    const SourceInfo *s = currentSource();
    return s ? s->dubs : QList<DubInfo>();
}

QString PlaybackController::cacheDir() const
{
    return m_engine ? m_engine->config().cacheDir : QString();
}

double PlaybackController::sourceSeconds() const
{
    return m_sourceIndex >= 0 && m_sourceTimer.isValid() ? m_sourceTimer.elapsed() / 1000.0 : 0.0;
}

void PlaybackController::setState(State state, const QString &message)
{
    if (state == m_state && message.isEmpty())
        return;
    m_state = state;
    m_stats.state = stateText(state);
    m_stats.message = message;
    emit stateChanged(state, message);
}

void PlaybackController::play(long long animeId, int episode, const QString &title, const QString &dub)
{
    ++m_generation;
    if (m_state != Idle && m_player)
        m_player->stop();
    if (animeId != m_animeId || !title.isEmpty())
        m_title = title;
    m_animeId = animeId;
    m_episode = episode;
    if (!dub.isEmpty())
        m_preferredDub = dub;

    m_fileLoaded = false;
    m_started = false;
    // A torrent kept open for re-use must not start loading the previous
    // episode's file while this one resolves.
    m_waitingMetadata = false;
    m_waitingStartFile = false;
    clearPendingDubSwitch();
    m_resumePos = -1.0;
    m_recycleTimes.clear();
    m_recycleCount = 0;
    m_nextHeldBack = false;
    m_rate.burstUntilMs = 0;
    closeAlternate(QStringLiteral("new play"));
    closeKept();
    m_givenUp.clear();
    m_givenUpRetried = false;
    resetWatch();
    m_sourceIndex = -1;
    m_playTimer.restart();

    logLine(QStringLiteral("player: play anime %1 episode %2 via %3")
                .arg(animeId)
                .arg(episode)
                .arg(m_provider ? m_provider->describe() : QStringLiteral("-")));
    setState(Resolving, QStringLiteral("Ищем серию %1…").arg(episode));
    emit episodeChanged(m_animeId, m_episode, m_title);
    m_tickTimer.start();

    if (!m_provider) {
        fail(QStringLiteral("no-torrent-source"), {});
        return;
    }
    const quint64 gen = m_generation;
    QPointer<PlaybackController> self(this);
    if (animeId == m_nextAnime && episode == m_nextEpisode && !m_nextSources.sources.isEmpty()) {
        // Prepared while the previous episode played out; answered on the next turn like a provider.
        const EpisodeSources prepared = std::exchange(m_nextSources, {});
        m_nextRequested = false;
        QTimer::singleShot(0, this, [self, gen, prepared] {
            if (self)
                self->onEpisode(gen, prepared);
        });
        return;
    }
    dropNext(QStringLiteral("episode %1 requested").arg(episode));
    m_provider->fetchEpisode(animeId, episode, [self, gen](EpisodeSources sources) {
        if (self)
            self->onEpisode(gen, sources);
    });
}

void PlaybackController::onEpisode(quint64 generation, const EpisodeSources &sources)
{
    if (generation != m_generation)
        return;
    m_sources = sources;
    if (!sources.title.isEmpty() && m_title.isEmpty()) {
        m_title = sources.title;
        emit episodeChanged(m_animeId, m_episode, m_title);
    }

    if (sources.sources.isEmpty()) {
        const QString error = sources.blocked ? QStringLiteral("blocked") : sources.error;
        logLine(QStringLiteral("player: no torrent sources for anime %1 ep %2 %3")
                    .arg(m_animeId)
                    .arg(m_episode)
                    .arg(error));
        stopAndClose();
        QString reason = QStringLiteral("no-torrent-source");
        if (!error.isEmpty())
            reason += QStringLiteral(": ") + error;
        fail(reason, {});
        return;
    }

    const SourceInfo &best = sources.sources.first();
    logLine(QStringLiteral("player: %1 source(s), best: %2 (%3 seeders, %4 KiB pieces)")
                .arg(QString::number(sources.sources.size()), best.label, QString::number(best.seeders),
                     QString::number(best.pieceLength / 1024)));

    const qint64 held = (m_torrent ? m_torrent->lastStats().bytesDone : 0) + preparedBytes();
    m_budget = cacheBudget(held);
    m_budgetTicks = 0;
    const QString dir = cacheDir();
    logLine(QStringLiteral("cache: play anime %1 ep %2: %3 (volume %4): %5")
                .arg(m_animeId)
                .arg(m_episode)
                .arg(dir, disk::volumeOf(dir, disk::listVolumes()), disk::describe(m_budget)));

    if (m_budget.workable) {
        trySource(0, QString());
    } else {
        stopAndClose();
        failLowDisk(m_budget, QStringLiteral("before start"));
    }
}

void PlaybackController::trySource(int index, const QString &reason)
{
    if (!reason.isEmpty())
        logLine(QStringLiteral("player: source %1 abandoned: %2").arg(m_sourceIndex).arg(reason));
    m_fileLoaded = false;
    m_started = false;
    resetWatch();

    const int n = int(m_sources.sources.size());
    while (index < n && m_givenUp.contains(index))
        ++index;
    if (index >= n && !m_givenUp.isEmpty() && !m_givenUpRetried) {
        // Every other source failed too: the ones left in mid-episode get one more chance.
        m_givenUpRetried = true;
        index = *std::min_element(m_givenUp.begin(), m_givenUp.end());
        m_givenUp.clear();
    }
    if (m_altIndex >= 0 && index == m_altIndex && m_alt) {
        adoptAlternate(reason.isEmpty() ? QStringLiteral("source %1 abandoned").arg(m_sourceIndex) : reason);
        return;
    }
    closeAlternate(QStringLiteral("source %1 is next").arg(index));
    m_altOpened = false;

    if (index >= n) {
        stopAndClose();
        fail(reason.isEmpty() ? QStringLiteral("no-torrent-source")
                              : QStringLiteral("all-sources-failed: ") + reason,
             {});
        return;
    }

    m_sourceIndex = index;
    m_sourceTimer.restart();
    const SourceInfo &src = m_sources.sources[index];
    m_stats.sourceLabel = src.label;
    m_stats.sourceIndex = index;
    m_stats.sourceCount = int(m_sources.sources.size());
    emit dubsChanged();

    const bool sameTorrent = m_torrent && !m_torrent->shutDown &&
                             m_torrent->infoHashKey().compare(src.infoHash, Qt::CaseInsensitive) == 0;
    if (sameTorrent || adoptNext(src) || adoptKept(index)) {
        logLine(QStringLiteral("player: re-using torrent [%1] for episode %2")
                    .arg(m_torrent->id())
                    .arg(m_episode));
        if (m_torrent->metadataReady) {
            startOnTorrent();
        } else {
            setState(Connecting, QStringLiteral("Подключение…"));
            m_waitingMetadata = true;
        }
        return;
    }
    if (m_torrent)
        stopAndClose();

    setState(LoadingTorrent, QStringLiteral("Подготовка видео…"));
    if (!m_provider) {
        trySource(index + 1, QStringLiteral("no .torrent"));
        return;
    }
    const quint64 gen = m_generation;
    QPointer<PlaybackController> self(this);
    m_provider->fetchTorrent(src, [self, gen, index](QByteArray bytes, QString error) {
        if (self)
            self->onTorrentFile(gen, index, bytes, error);
    });
}

void PlaybackController::onTorrentFile(quint64 generation, int index, const QByteArray &bytes,
                                       const QString &error)
{
    if (generation != m_generation || index != m_sourceIndex)
        return;
    const SourceInfo src = m_sources.sources[index];
    if (bytes.isEmpty()) {
        if (src.magnet.isEmpty()) {
            trySource(index + 1, error.isEmpty() ? QStringLiteral("no .torrent") : error);
            return;
        }
        logLine(QStringLiteral("player: .torrent unavailable (%1), using magnet").arg(error));
    }

    QString openError;
    bool later = false;
    std::shared_ptr<StreamTorrent> t = openTorrent(bytes, src.magnet, &openError, &later, [=, this] {
        onTorrentFile(generation, index, bytes, error);
    });
    if (later)
        return;
    if (!t) {
        trySource(index + 1, openError);
        return;
    }
    m_torrent = t;
    m_watchTimer.start();
    setState(Connecting, QStringLiteral("Подключение…"));
    m_waitingMetadata = true;
    if (t->metadataReady)
        startOnTorrent();
}

std::shared_ptr<StreamTorrent> PlaybackController::openTorrent(const QByteArray &bytes, const QString &magnet,
                                                               QString *error, bool *later,
                                                               const std::function<void()> &again)
{
    *later = false;
    if (!m_engine) {
        *error = QStringLiteral("no torrent engine");
        return nullptr;
    }
    std::shared_ptr<StreamTorrent> t = m_engine->open(bytes, magnet, error, later);
    if (*later) {
        logLine(QStringLiteral("player: %1: opening again in %2 ms").arg(*error).arg(kOpenRetryMs));
        QTimer::singleShot(kOpenRetryMs, this, again);
    }
    return t;
}

void PlaybackController::startOnTorrent()
{
    m_waitingMetadata = false;
    const SourceInfo *src = currentSource();
    if (!src || !m_torrent || !m_player)
        return;
    const int file = m_torrent->resolveFile(src->fileIndex, src->filePath);
    if (file < 0) {
        trySource(m_sourceIndex + 1,
                  QStringLiteral("file #%1 '%2' not in torrent").arg(src->fileIndex).arg(src->filePath));
        return;
    }

    if (m_fileIndex >= 0 && m_fileIndex != file)
        m_torrent->removeFile(m_fileIndex);
    releaseNextFile(file);
    for (int extra : std::as_const(m_extraFiles))
        m_torrent->removeFile(extra);
    m_extraFiles.clear();
    m_fileIndex = file;
    m_torrent->addFile(file);

    const DubInfo *dub = src->findDub(m_preferredDub);
    if (!dub)
        dub = src->defaultDub();
    m_currentDubId = dub ? dub->id : QString();
    QStringList audioFiles;
    if (dub && dub->origin == QLatin1String("external")) {
        const int audio = resolveDubFile(*dub);
        if (audio >= 0) {
            m_torrent->addFile(audio);
            m_extraFiles.append(audio);
            audioFiles.append(torrentUri(m_torrent->id(), audio));
        } else {
            logLine(QStringLiteral("player: external dub '%1' file not found in torrent").arg(dub->label));
            m_currentDubId.clear();
        }
    }
    emit currentDubChanged(m_currentDubId);

    logLine(QStringLiteral("player: loading %1 (dub %2)")
                .arg(m_torrent->filePath(file), dub ? dub->label : QStringLiteral("-")));

    m_waitingStartFile = true;
    m_fileLoaded = false;
    m_started = false;
    clearPendingDubSwitch();

    m_player->setProp(QStringLiteral("start"), m_resumePos > 0 ? QStringLiteral("+%1").arg(secs2(m_resumePos))
                                                               : QStringLiteral("none"));
    m_resumePos = -1.0;
    applyReadAhead(m_budget);

    setState(Buffering, QStringLiteral("Буферизация…"));
    m_player->loadFile(torrentUri(m_torrent->id(), file), audioFiles);
}

void PlaybackController::onStartFile(long long entryId)
{
    if (!m_waitingStartFile)
        return;
    m_waitingStartFile = false;
    m_entryId = entryId;
}

// The player knows the file's tracks and has not started reading ahead: choosing the dub and
// subtitles now costs nothing, while a choice after the file loaded makes the demuxer read the
// start again, which waits behind a read blocked on a piece further on.
void PlaybackController::onPreloaded()
{
    if (m_waitingStartFile || !m_torrent || m_fileLoaded)
        return;
    m_fileLoaded = true;
    applyDubOnLoad();
}

void PlaybackController::onFileLoaded()
{
    if (m_waitingStartFile || !m_torrent)
        return;
    const bool applied = m_fileLoaded;
    m_fileLoaded = true;
    logLine(QStringLiteral("player: file loaded (%1 s after source start), duration %2 s")
                .arg(secs2(sourceSeconds()),
                     QString::number(m_player->getProp(QStringLiteral("duration")).toDouble(), 'f', 1)));
    if (!applied)
        applyDubOnLoad();
}

void PlaybackController::onPlaybackRestart()
{
    if (!m_fileLoaded || m_started || m_waitingStartFile)
        return;
    m_started = true;
    const double sincePlay = m_playTimer.elapsed() / 1000.0;
    const double sinceSource = sourceSeconds();
    logLine(QStringLiteral("player: PLAYBACK STARTED %1 s after play(), %2 s after source start")
                .arg(secs2(sincePlay), secs2(sinceSource)));
    setState(Playing, QString());
    emit playbackStarted(sincePlay, sinceSource);
#ifdef __GLIBC__
    // By now the previous file's demuxer buffers (freed on mpv's threads) are back in
    // the allocator; without this, glibc keeps them in its per-thread arenas and an
    // evening of episodes grows by several MiB each. Once an episode, a few ms.
    QTimer::singleShot(2000, this, [] { malloc_trim(0); });
#endif
    m_subsDueSince = logClock();
    maybeAttachExternalSubtitles();
}

void PlaybackController::onEndFile(int reason, int error, long long entryId)
{
    if (m_waitingStartFile || entryId != m_entryId || !m_torrent)
        return;
    if (reason != kEndFileError) {
        if (reason == kEndFileEof && m_torrent->storageFailed)
            failStorage();
        return;
    }
    const QString text = MpvPlayer::errorString(error);
    logLine(QStringLiteral("player: mpv end-file error: %1").arg(text));
    if (m_torrent->storageFailed) {
        failStorage();
    } else if (m_started) {
        stopAndClose();
        fail(QStringLiteral("playback error: ") + text, {});
    } else {
        trySource(m_sourceIndex + 1, QStringLiteral("mpv could not open the file: ") + text);
    }
}

void PlaybackController::onPropertyChanged(const QString &name, const QVariant &value)
{
    if (name == QLatin1String("eof-reached")) {
        // A read that failed on a broken cache ends the stream like its end would.
        if (m_started && value.toBool() && m_torrent && m_torrent->storageFailed)
            failStorage();
        else if (m_started && value.toBool())
            emit endReached();
    } else if (name == QLatin1String("paused-for-cache")) {
        if (m_started)
            setState(value.toBool() ? Buffering : Playing, QString());
    } else if (name == QLatin1String("aid")) {
        syncDubToAid(value.toLongLong());
    }
}

void PlaybackController::onClientMessage(const QStringList &args)
{
    if (args.size() < 2 || args.at(0) != QLatin1String("svd"))
        return;
    if (args.at(1) == QLatin1String("next"))
        nextEpisode();
    else if (args.at(1) == QLatin1String("prev"))
        prevEpisode();
}

void PlaybackController::nextEpisode()
{
    if (m_animeId != 0)
        play(m_animeId, m_episode + 1, QString(), QString());
}

void PlaybackController::prevEpisode()
{
    if (m_animeId != 0 && m_episode > 1)
        play(m_animeId, m_episode - 1, QString(), QString());
}

bool PlaybackController::eofCached() const
{
    return m_player &&
           m_player->getProp(QStringLiteral("demuxer-cache-state")).toMap().value(QStringLiteral("eof-cached")).toBool();
}

bool PlaybackController::fileDownloaded(int file) const
{
    const QByteArray states = m_torrent ? m_torrent->pieceMap(file).states : QByteArray();
    return !states.isEmpty() && states.count('d') == states.size();
}

void PlaybackController::tick()
{
    int dhtNodes = 0;
    if (m_engine) {
        m_engine->requestStats();
        dhtNodes = m_engine->dhtNodes.load();
    }
    const double srcSecs = sourceSeconds();
    m_stats.dhtNodes = dhtNodes;
    m_stats.sourceSeconds = srcSecs;

    if (m_torrent) {
        const StreamStats s = m_torrent->tick(dhtNodes);
        m_stats.numPeers = s.numPeers;
        m_stats.numSeeds = s.numSeeds;
        m_stats.listPeers = s.listPeers;
        m_stats.downloadRate = s.downloadRate;
        m_stats.uploadRate = s.uploadRate;
        m_stats.payloadDownloaded = s.payloadDownloaded;
        if (m_torrent->storageFailed) {
            failStorage();
            return;
        }
        if (m_waitingMetadata && m_torrent->metadataReady)
            startOnTorrent();
        if (m_torrent) {
            updateRateLimit();
            if (!checkBudget(s.bytesDone + alternateBytes()))
                return;
            if (m_alt)
                m_alt->tick(dhtNodes);
            watchSources();
        }
        if (m_torrent && m_started) {
            watchStall(s);
            if (!m_started)
                return; // switched to another source
            maybeAttachExternalSubtitles();
            prepareNext(s.bytesDone + alternateBytes());
            if (m_next)
                m_next->tick(dhtNodes);
            serveNextHeads();
        }
        if (m_torrent && m_budget.workable && !m_started && m_sourceIndex >= 0) {
            if (srcSecs > m_opts.startTimeoutSec)
                trySource(m_sourceIndex + 1,
                          QStringLiteral("playback did not start within %1 s").arg(m_opts.startTimeoutSec));
            else if (srcSecs > m_opts.noPeersTimeoutSec && s.numPeers == 0)
                trySource(m_sourceIndex + 1,
                          QStringLiteral("no peers after %1 s").arg(m_opts.noPeersTimeoutSec));
        }
        if (m_state == Failed)
            return;
    }

    if (m_player) {
        m_stats.cacheBuffering = m_player->cachedProp(QStringLiteral("cache-buffering-state")).toDouble();
        m_stats.buffering = !m_started || m_player->cachedProp(QStringLiteral("paused-for-cache")).toBool() ||
                            m_player->cachedProp(QStringLiteral("seeking")).toBool();
        m_stats.bufferedRanges.clear();
        const QVariantMap cache = m_player->getProp(QStringLiteral("demuxer-cache-state")).toMap();
        for (const QVariant &r : cache.value(QStringLiteral("seekable-ranges")).toList()) {
            const QVariantMap m = r.toMap();
            const double a = m.value(QStringLiteral("start")).toDouble();
            const double b = m.value(QStringLiteral("end")).toDouble();
            if (a < b)
                m_stats.bufferedRanges.append({a, b});
        }
    }
    emit statsChanged(m_stats);
}

void PlaybackController::fail(const QString &reason, const QVariantMap &extra)
{
    m_tickTimer.stop();
    m_watchTimer.stop();
    closeKept();
    // The stopped player's last property changes must not bring back a playing state.
    m_started = false;
    m_fileLoaded = false;
    setState(Failed, reason);
    logLine(QStringLiteral("player: FAILED anime %1 ep %2: %3").arg(m_animeId).arg(m_episode).arg(reason));
    emit noTorrentSource(m_animeId, m_episode, reason, extra);
}

void PlaybackController::closeTorrent()
{
    closeAlternate(QStringLiteral("closing"));
    dropNext(QStringLiteral("closing"));
    m_rate.appliedLimit = -2;
    m_rate.burst = true;
    if (m_torrent) {
        if (m_engine)
            m_engine->close(m_torrent);
        m_torrent.reset();
    }
    m_fileIndex = -1;
    m_extraFiles.clear();
    m_waitingMetadata = false;
}

void PlaybackController::stopAndClose()
{
    if (m_player)
        m_player->stop();
    closeTorrent();
}

void PlaybackController::stop()
{
    ++m_generation;
    closeAlternate(QStringLiteral("stop"));
    closeKept();
    dropNext(QStringLiteral("stop"));
    m_tickTimer.stop();
    m_dubTimer.stop();
    clearPendingDubSwitch();
    stopAndClose();
    m_waitingStartFile = false;
    m_fileLoaded = false;
    m_started = false;
    m_resumePos = -1.0;
    m_sourceIndex = -1;
    setState(Idle, QString());
}

} // namespace svd
