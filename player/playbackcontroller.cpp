#include "player/playbackcontroller.h"

#include "base/log.h"
#include "disk/volumes.h"
#include "player/mpvplayer.h"
#include "player/torrentopen.h"
#include "sources/sourceprovider.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace svd {

namespace {

constexpr int kEndFileEof = 0;   // MPV_END_FILE_REASON_EOF
constexpr int kEndFileError = 4; // MPV_END_FILE_REASON_ERROR

QString secs2(double s)
{
    return QString::number(s, 'f', 2);
}

} // namespace

PlaybackController::PlaybackController(TorrentEngine *engine, SourceProvider *provider, MpvPlayer *player,
                                       PlaybackOptions options, QObject *parent)
    : QObject(parent), m_engine(engine), m_provider(provider), m_player(player), m_opts(options),
      m_race(engine, provider), m_failover(engine, options.startTimeoutSec, options.noPeersTimeoutSec),
      m_next(engine, provider)
{
    qRegisterMetaType<svd::PlayerStats>();
    m_stats.state = stateText(Idle);
    m_tickTimer.setInterval(1000);
    m_dubTimer.setInterval(200);
    connect(&m_tickTimer, &QTimer::timeout, this, &PlaybackController::tick);
    connect(&m_dubTimer, &QTimer::timeout, this, &PlaybackController::checkDubSwitch);
    // Before the first frame only: a dead source or a rival's first piece is acted on within
    // 50 ms (each look is one status call to the session).
    m_watchTimer.setInterval(50);
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

    m_tracksApplied = false;
    m_started = false;
    // A torrent kept open for re-use must not start loading the previous
    // episode's file while this one resolves.
    m_waitingMetadata = false;
    m_waitingStartFile = false;
    clearPendingDubSwitch();
    m_resumePos = -1.0;
    m_recycleTimes.clear();
    m_recycleCount = 0;
    m_rate.burstUntilMs = 0;
    m_race.close(QStringLiteral("new play"));
    m_failover.reset(logClock());
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
    const EpisodeSources prepared = m_next.takeSources(animeId, episode);
    if (!prepared.sources.isEmpty()) {
        // Prepared while the previous episode played out; answered on the next turn like a provider.
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

    const qint64 held = (m_torrent ? m_torrent->lastStats().bytesDone : 0) + m_next.bytes();
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
    m_tracksApplied = false;
    m_started = false;
    m_failover.resetWatch(logClock());

    const int n = int(m_sources.sources.size());
    index = m_failover.admit(index, n);
    if (m_race.hasRival(index)) {
        adoptRival(reason.isEmpty() ? QStringLiteral("source %1 abandoned").arg(m_sourceIndex) : reason);
        return;
    }
    m_race.newAttempt(QStringLiteral("source %1 is next").arg(index));

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
                             m_torrent->infoHashKey().compare(src.infoHash, Qt::CaseInsensitive) == 0 &&
                             roomBeside(src);
    if (sameTorrent || adoptPrepared(src) || adoptKept(index)) {
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
    std::shared_ptr<StreamTorrent> t = openTorrentSoon(m_engine, bytes, src, &openError, &later, this, [=, this] {
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
    m_next.releaseFile(m_torrent.get(), file);
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
    m_tracksApplied = false;
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
#ifdef __GLIBC__
    // mpv has closed the previous file by now: give its buffers back before the new file's
    // demuxer fills up, or both sit in memory for the first seconds of every episode.
    malloc_trim(0);
#endif
}

// The player knows the file's tracks and has not started reading ahead: choosing the dub and
// subtitles now costs nothing, while a choice after the file loaded makes the demuxer read the
// start again, which waits behind a read blocked on a piece further on.
void PlaybackController::onPreloaded()
{
    if (m_waitingStartFile || !m_torrent || m_tracksApplied)
        return;
    m_tracksApplied = true;
    applyDubOnLoad();
}

void PlaybackController::onFileLoaded()
{
    if (m_waitingStartFile || !m_torrent)
        return;
    const bool applied = m_tracksApplied;
    m_tracksApplied = true;
    logLine(QStringLiteral("player: file loaded (%1 s after source start), duration %2 s")
                .arg(secs2(sourceSeconds()),
                     QString::number(m_player->getProp(QStringLiteral("duration")).toDouble(), 'f', 1)));
    if (!applied)
        applyDubOnLoad();
}

void PlaybackController::onPlaybackRestart()
{
    if (!m_tracksApplied || m_started || m_waitingStartFile)
        return;
    m_started = true;
    m_race.playbackStarted();
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

void PlaybackController::fail(const QString &reason, const QVariantMap &extra)
{
    m_tickTimer.stop();
    m_watchTimer.stop();
    m_failover.closeKept();
    // The stopped player's last property changes must not bring back a playing state.
    m_started = false;
    m_tracksApplied = false;
    setState(Failed, reason);
    logLine(QStringLiteral("player: FAILED anime %1 ep %2: %3").arg(m_animeId).arg(m_episode).arg(reason));
    emit noTorrentSource(m_animeId, m_episode, reason, extra);
}

void PlaybackController::closeTorrent()
{
    m_race.close(QStringLiteral("closing"));
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
    m_race.close(QStringLiteral("stop"));
    m_failover.closeKept();
    dropNext(QStringLiteral("stop"));
    m_tickTimer.stop();
    m_dubTimer.stop();
    clearPendingDubSwitch();
    stopAndClose();
    m_waitingStartFile = false;
    m_tracksApplied = false;
    m_started = false;
    m_resumePos = -1.0;
    m_sourceIndex = -1;
    setState(Idle, QString());
}

} // namespace svd
