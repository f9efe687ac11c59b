#pragma once

#include "disk/cachebudget.h"
#include "player/failoverpolicy.h"
#include "player/nextepisodeprep.h"
#include "player/playbackoptions.h"
#include "player/playerstats.h"
#include "player/ratepolicy.h"
#include "player/sourcerace.h"
#include "sources/episodesources.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>

namespace svd {

class MpvPlayer;
class SourceProvider;
class StreamTorrent;
struct StreamStats;
class TorrentEngine;

// Turns "play episode E of title A" into a running video: fetches the sources,
// tries them in order as streaming torrents, hands the file to the player and
// fails over on time-outs and player errors. GUI thread only.
// It keeps the states, the torrent being played and its tracks; the sources raced at the
// start, the failover rules and the next episode's preparation are parts of their own.
class PlaybackController : public QObject {
    Q_OBJECT

public:
    enum State { Idle, Resolving, LoadingTorrent, Connecting, Buffering, Playing, Failed };
    Q_ENUM(State)

    PlaybackController(TorrentEngine *engine, SourceProvider *provider, MpvPlayer *player,
                       PlaybackOptions options, QObject *parent = nullptr);
    ~PlaybackController() override;

    static QString stateText(State state);

    void play(long long animeId, int episode, const QString &title, const QString &dub);
    void stop();
    void nextEpisode();
    void prevEpisode();

    State state() const { return m_state; }
    bool isActive() const { return m_state != Idle && m_state != Failed; }
    const PlayerStats &stats() const { return m_stats; }
    long long animeId() const { return m_animeId; }
    int episode() const { return m_episode; }
    QString title() const { return m_title; }
    const PlaybackOptions &options() const { return m_opts; }
    const SourceInfo *currentSource() const;
    QList<DubInfo> dubs() const;
    QString currentDubId() const { return m_currentDubId; }
    std::shared_ptr<StreamTorrent> torrent() const { return m_torrent; }
    int recycleCount() const { return m_recycleCount; }

    // Dubs, subtitles and tracks (track lists are always read fresh from the player).
    bool selectDub(const QString &name);
    QList<SubtitleInfo> subtitles() const;
    QString externalSubtitleUri(int subtitleIndex) const;
    bool selectSubtitle(int subtitleIndex);
    bool setSubtitleTrack(int sid); // the user's choice; 0 = off
    void setSubtitlePreference(const QString &preference);
    QString subtitlePreference() const { return m_subPreference; }
    QList<long long> unlistedAudioTracks() const;
    QVariantList freshTracks(const QString &type) const;
    long long findAudioTrackFor(const DubInfo &dub) const;
    long long findSubTrackFor(const SubtitleInfo &sub) const;
    int resolveDubFile(const DubInfo &dub) const;
    int resolveSubFile(const SubtitleInfo &sub) const;
    bool currentDubIsOriginal() const;
    bool eofCached() const;               // the player has buffered up to the end of the file
    bool fileDownloaded(int file) const;  // every piece of `file` of the current torrent is here
    void applySubtitlePolicy(const QString &why);
    int chosenSid() const { return m_chosenSid; }

    // "rus"/"ru…" -> "ru", "jpn"/"jp"/"ja" -> "ja", "eng"/"en" -> "en", else the first two characters.
    static QString normalizeLang(const QString &lang);
    // True for labels of signs-only subtitles ("надписи", "signs", "forced", "форсированные").
    static bool isSignsLabel(const QString &label);

    // Cache budget for the cache folder while the torrent holds `heldBytes`.
    disk::CacheBudget cacheBudget(long long heldBytes) const;
    disk::CacheBudget currentBudget() const { return m_budget; }
    QVariantMap lowDiskInfo(const disk::CacheBudget &budget) const;
    QString cacheDir() const;

    // Replaces the free-space based budget (tests drive cache recycling with it).
    using BudgetFunction = std::function<disk::CacheBudget(long long heldBytes)>;
    void setBudgetFunction(BudgetFunction fn) { m_budgetFn = std::move(fn); }

signals:
    void stateChanged(svd::PlaybackController::State state, const QString &message);
    void statsChanged(const svd::PlayerStats &stats);
    void episodeChanged(long long animeId, int episode, const QString &title);
    void dubsChanged();
    void currentDubChanged(const QString &dubId);
    void playbackStarted(double secondsSincePlay, double secondsSinceSourceStart);
    void dubSwitched(const QString &dubId, double seconds, bool ok);
    void noTorrentSource(long long animeId, int episode, const QString &reason, const QVariantMap &extra);
    void endReached();

private:
    void setState(State state, const QString &message);
    void onEpisode(quint64 generation, const EpisodeSources &sources);
    void trySource(int index, const QString &reason);
    void onTorrentFile(quint64 generation, int index, const QByteArray &bytes, const QString &error);
    void startOnTorrent();
    // The once-a-second tick, step by step (playbackwatch.cpp).
    void tick();
    int refreshEngineFigures(double sourceSeconds);
    bool tickTorrent(int dhtNodes, double sourceSeconds); // false when the tick ends here
    void copyTorrentFigures(const StreamStats &s);
    bool tickAfterStart(const StreamStats &s, int dhtNodes);
    void checkStartTimeouts(const StreamStats &s, double sourceSeconds);
    void refreshPlayerFigures();
    void fail(const QString &reason, const QVariantMap &extra);
    void closeTorrent();
    void stopAndClose();
    double sourceSeconds() const;

    void onStartFile(long long entryId);
    void onPreloaded();
    void onFileLoaded();
    void onPlaybackRestart();
    void onEndFile(int reason, int error, long long entryId);
    void onPropertyChanged(const QString &name, const QVariant &value);
    void onClientMessage(const QStringList &args);

    // Read-ahead, download rate and cache budget while streaming.
    void applyReadAhead(const disk::CacheBudget &budget);
    void updateRateLimit();
    // `heldBytes`: what the episode being watched holds (its torrent, a second source, the
    // sources kept for a retry).
    bool checkBudget(qint64 heldBytes); // false when playback was ended
    void recycleCache(qint64 heldBytes);
    bool roomBeside(const SourceInfo &src) const;
    void failLowDisk(const disk::CacheBudget &budget, const QString &context);
    void failStorage();

    // Sources raced at the start, failover in mid-episode, the next episode (playbackwatch.cpp).
    void watchSources();
    void adoptRival(const QString &why);
    bool adoptPrepared(const SourceInfo &src);
    bool adoptKept(int index);
    void watchStall(const StreamStats &current);
    void failOverMidEpisode(int index, const QString &why);
    void prepareNext(qint64 heldBytes);
    void dropNext(const QString &why);
    qint64 alternateBytes() const; // the rival's and the kept sources' bytes

    // Dubs and subtitles.
    void applyDubOnLoad();
    void syncDubToAid(long long aid);
    void attachExternalSubtitles();
    void maybeAttachExternalSubtitles();
    void checkDubSwitch();
    void finishDubSwitch(bool ok, double elapsed);
    // Forgets the pending dub switch and this load's subtitle decision
    // (play(), stop() and each new load).
    void clearPendingDubSwitch();
    long long audioTrackIn(const QVariantList &audioTracks, const DubInfo &dub) const;
    QString fileUri(int fileIndex) const;

    QPointer<TorrentEngine> m_engine;
    QPointer<SourceProvider> m_provider;
    QPointer<MpvPlayer> m_player;
    const PlaybackOptions m_opts;

    State m_state = Idle;
    long long m_animeId = 0;
    int m_episode = 0;
    QString m_title;
    QString m_preferredDub;
    QString m_currentDubId;
    QString m_pendingDubId;
    double m_dubSwitchStart = 0.0;    // log clock, moved on by the time spent paused
    double m_dubLastCheck = 0.0;      // log clock
    double m_dubSwitchStartPos = 0.0; // time-pos when the switch began
    QString m_subPreference;          // survives episodes
    bool m_subPreferenceSet = false;
    int m_chosenSid = -1;             // -1 no decision, 0 off, >= 1 that track
    QSet<int> m_pendingSubAdds;       // source subtitle indices being added
    double m_subsDueSince = -1.0;     // log clock; external subtitles wait for a buffer, -1 = none
    EpisodeSources m_sources;
    int m_sourceIndex = -1;
    quint64 m_generation = 0;

    std::shared_ptr<StreamTorrent> m_torrent;
    int m_fileIndex = -1;
    QList<int> m_extraFiles;
    bool m_waitingMetadata = false;

    bool m_waitingStartFile = false;
    bool m_tracksApplied = false; // dub and subtitles chosen for the loaded file
    bool m_started = false;
    long long m_entryId = 0;

    QElapsedTimer m_playTimer;
    QElapsedTimer m_sourceTimer;
    QTimer m_tickTimer;
    QTimer m_dubTimer;
    QTimer m_watchTimer; // sources before the first frame, more often than the tick

    disk::CacheBudget m_budget;
    BudgetFunction m_budgetFn;
    int m_budgetTicks = 0;
    bool m_readAheadTight = false;
    RateState m_rate;
    QList<qint64> m_recycleTimes;
    int m_recycleCount = 0;
    double m_resumePos = -1.0;

    SourceRace m_race;
    FailoverPolicy m_failover;
    NextEpisodePrep m_next;

    PlayerStats m_stats;
};

} // namespace svd
