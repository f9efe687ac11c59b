// Dubs, subtitles and tracks of PlaybackController: maps the source's dubs and
// subtitles onto the player's numbered tracks, switches dubs while playing and
// picks subtitles by policy. GUI thread only.
#include "player/playbackcontroller.h"

#include "base/log.h"
#include "player/mpvplayer.h"
#include "torrent/streamprotocol.h"
#include "torrent/streamtorrent.h"

#include <QPointer>

namespace svd {

namespace {

constexpr double kDubSwitchLimitSec = 180.0;

QString secs2(double s)
{
    return QString::number(s, 'f', 2);
}

QString str(const QVariantMap &m, const char *key)
{
    return m.value(QLatin1String(key)).toString();
}

bool flag(const QVariantMap &m, const char *key)
{
    return m.value(QLatin1String(key)).toBool();
}

long long trackId(const QVariantMap &m)
{
    return m.value(QStringLiteral("id")).toLongLong();
}

// The first two characters of a language, or the whole value when shorter than three.
QString langPrefix(const QString &lang)
{
    const QString l = lang.trimmed();
    return l.size() < 3 ? l : l.left(2);
}

bool isExternal(const QString &origin)
{
    return origin == QLatin1String("external");
}

struct SubCandidate {
    QString label;
    QString lang;
    bool signs = false;
    int index = -1;     // in the source's subtitle list; -1 for a player-only track
    long long sid = -1; // < 1 while the file is not loaded
};

} // namespace

QString PlaybackController::normalizeLang(const QString &lang)
{
    const QString l = lang.trimmed().toLower();
    if (l.isEmpty())
        return l;
    if (l.startsWith(QLatin1String("ru")))
        return QStringLiteral("ru");
    if (l.startsWith(QLatin1String("jp")) || l.startsWith(QLatin1String("ja")))
        return QStringLiteral("ja");
    if (l.startsWith(QLatin1String("en")))
        return QStringLiteral("en");
    return l.size() < 3 ? l : l.left(2);
}

bool PlaybackController::isSignsLabel(const QString &label)
{
    const QString l = label.toLower();
    return l.contains(QStringLiteral("надпис")) || l.contains(QLatin1String("sign")) ||
           l.contains(QLatin1String("forced")) || l.contains(QStringLiteral("форс"));
}

QVariantList PlaybackController::freshTracks(const QString &type) const
{
    QVariantList out;
    if (!m_player)
        return out;
    // The cached track-list lags behind audio-add/sub-add; decisions need the current one.
    const QVariantList all = m_player->getProp(QStringLiteral("track-list")).toList();
    for (const QVariant &t : all)
        if (str(t.toMap(), "type") == type)
            out.append(t);
    return out;
}

QString PlaybackController::fileUri(int fileIndex) const
{
    return m_torrent && fileIndex >= 0 ? torrentUri(m_torrent->id(), fileIndex) : QString();
}

int PlaybackController::resolveDubFile(const DubInfo &dub) const
{
    if (!m_torrent || !isExternal(dub.origin))
        return -1;
    return m_torrent->resolveFile(dub.audioFileIndex, dub.audioFilePath);
}

int PlaybackController::resolveSubFile(const SubtitleInfo &sub) const
{
    if (!m_torrent || !isExternal(sub.origin))
        return -1;
    return m_torrent->resolveFile(sub.fileIndex, sub.filePath);
}

long long PlaybackController::audioTrackIn(const QVariantList &audioTracks, const DubInfo &dub) const
{
    if (isExternal(dub.origin)) {
        const QString uri = fileUri(resolveDubFile(dub));
        if (uri.isEmpty())
            return -1;
        for (const QVariant &v : audioTracks) {
            const QVariantMap t = v.toMap();
            if (flag(t, "external") && str(t, "external-filename") == uri)
                return trackId(t);
        }
        return -1;
    }

    QList<QVariantMap> embedded;
    for (const QVariant &v : audioTracks)
        if (!flag(v.toMap(), "external"))
            embedded.append(v.toMap());
    if (dub.trackNo < 1) {
        for (const QVariantMap &t : std::as_const(embedded))
            if (flag(t, "default"))
                return trackId(t);
        return embedded.isEmpty() ? -1 : trackId(embedded.first());
    }
    if (dub.trackNo <= embedded.size())
        return trackId(embedded.at(dub.trackNo - 1));
    // The listed track number does not exist in this file: fall back to the language.
    const QString prefix = langPrefix(dub.lang);
    if (prefix.isEmpty())
        return -1;
    for (const QVariantMap &t : std::as_const(embedded))
        if (str(t, "lang").startsWith(prefix, Qt::CaseInsensitive))
            return trackId(t);
    return -1;
}

long long PlaybackController::findAudioTrackFor(const DubInfo &dub) const
{
    return audioTrackIn(freshTracks(QStringLiteral("audio")), dub);
}

long long PlaybackController::findSubTrackFor(const SubtitleInfo &sub) const
{
    const QVariantList subs = freshTracks(QStringLiteral("sub"));
    if (isExternal(sub.origin)) {
        const QString uri = fileUri(resolveSubFile(sub));
        if (uri.isEmpty())
            return -1;
        for (const QVariant &v : subs)
            if (str(v.toMap(), "external-filename") == uri)
                return trackId(v.toMap());
        return -1;
    }
    QList<long long> embedded;
    for (const QVariant &v : subs)
        if (!flag(v.toMap(), "external"))
            embedded.append(trackId(v.toMap()));
    if (sub.trackNo >= 1 && sub.trackNo <= embedded.size())
        return embedded.at(sub.trackNo - 1);
    return -1;
}

QList<SubtitleInfo> PlaybackController::subtitles() const
{
    const SourceInfo *src = currentSource();
    return src ? src->subtitles : QList<SubtitleInfo>();
}

QString PlaybackController::externalSubtitleUri(int subtitleIndex) const
{
    const SourceInfo *src = currentSource();
    if (!src || subtitleIndex < 0 || subtitleIndex >= src->subtitles.size())
        return {};
    return fileUri(resolveSubFile(src->subtitles.at(subtitleIndex)));
}

bool PlaybackController::currentDubIsOriginal() const
{
    const SourceInfo *src = currentSource();
    if (!src || m_currentDubId.isEmpty())
        return false;
    for (const DubInfo &d : src->dubs) {
        if (d.id != m_currentDubId)
            continue;
        const QString label = d.label.trimmed().toLower();
        return d.kind == QLatin1String("original") || normalizeLang(d.lang) == QLatin1String("ja") ||
               label == QLatin1String("original") || label == QStringLiteral("оригинал");
    }
    return false;
}

// Runs on the player's file-loaded event, after the file and the external dub
// file were handed over by startOnTorrent().
void PlaybackController::applyDubOnLoad()
{
    applySubtitlePolicy(QStringLiteral("load"));
    const SourceInfo *src = currentSource();
    if (!src || m_currentDubId.isEmpty() || !m_player)
        return;
    for (const DubInfo &d : src->dubs) {
        if (d.id != m_currentDubId)
            continue;
        const long long track = findAudioTrackFor(d);
        if (track < 1) {
            logLine(QStringLiteral("player: dub '%1' has no matching mpv track; keeping mpv's choice")
                        .arg(d.label));
        } else {
            m_player->setProp(QStringLiteral("aid"), track);
            logLine(QStringLiteral("player: dub '%1' -> aid %2").arg(d.label, QString::number(track)));
        }
        return;
    }
}

bool PlaybackController::selectDub(const QString &name)
{
    const SourceInfo *src = currentSource();
    if (!src || !m_torrent || !m_player)
        return false;
    const DubInfo *found = src->findDub(name);
    if (!found)
        return false;
    const DubInfo dub = *found; // the source list may be replaced while we wait

    m_preferredDub = dub.label;
    m_currentDubId = dub.id;
    emit currentDubChanged(m_currentDubId);

    m_pendingDubId = dub.id;
    m_dubSwitchStart = logClock();
    m_dubLastCheck = m_dubSwitchStart;
    m_dubSwitchStartPos = m_player->getProp(QStringLiteral("time-pos")).toDouble();
    m_rate.burstUntilMs = m_playTimer.elapsed() + kDubSwitchBurstMs;
    logLine(QStringLiteral("player: switching dub to '%1' (%2)").arg(dub.label, dub.origin));

    const long long track = findAudioTrackFor(dub);
    const int audioFile = track >= 1 ? -1 : resolveDubFile(dub);
    if (track >= 1) {
        m_player->setProp(QStringLiteral("aid"), track);
    } else if (audioFile >= 0) {
        m_torrent->addFile(audioFile);
        if (!m_extraFiles.contains(audioFile))
            m_extraFiles.append(audioFile);
        const quint64 gen = m_generation;
        const double began = m_dubSwitchStart;
        const QString dubId = dub.id;
        QPointer<PlaybackController> self(this);
        m_player->commandAsync(
            {QStringLiteral("audio-add"), fileUri(audioFile), QStringLiteral("select"), dub.label, dub.lang},
            [self, gen, began, dubId](int rc) {
                if (!self || self->m_generation != gen)
                    return;
                if (rc >= 0) {
                    logLine(
                        QStringLiteral("player: audio-add done after %1 s").arg(secs2(logClock() - began)));
                    return;
                }
                logLine(QStringLiteral("player: audio-add failed: %1").arg(MpvPlayer::errorString(rc)));
                if (self->m_pendingDubId == dubId)
                    self->finishDubSwitch(false, logClock() - began);
            });
    } else {
        clearPendingDubSwitch();
        emit dubSwitched(dub.id, 0.0, false);
        return false;
    }

    m_dubTimer.start();
    if (!m_subPreferenceSet)
        applySubtitlePolicy(QStringLiteral("dub change"));
    return true;
}

void PlaybackController::checkDubSwitch()
{
    if (m_pendingDubId.isEmpty()) {
        m_dubTimer.stop();
        return;
    }
    // Paused, the new audio cannot show, however long the viewer waits: that time does not
    // count against the switch.
    const double now = logClock();
    if (m_player && m_player->cachedProp(QStringLiteral("pause")).toBool())
        m_dubSwitchStart += now - m_dubLastCheck;
    m_dubLastCheck = now;
    const double elapsed = now - m_dubSwitchStart;
    const SourceInfo *src = currentSource();
    const DubInfo *target = nullptr;
    if (src) {
        for (const DubInfo &d : src->dubs)
            if (d.id == m_pendingDubId)
                target = &d;
    }
    if (!target || elapsed > kDubSwitchLimitSec || !m_player) {
        finishDubSwitch(false, elapsed);
        return;
    }
    const long long track = findAudioTrackFor(*target);
    if (track < 1 || m_player->cachedProp(QStringLiteral("aid")).toLongLong() != track)
        return;
    // Kept open on its last frame, the file cannot play on: the selected track is all the proof
    // there is, and the switch is done. The new track's refresh seek there can leave mpv idle
    // on the last frame without saying eof-reached again, hence the position too.
    const double pos = m_player->getProp(QStringLiteral("time-pos")).toDouble();
    const double duration = m_player->cachedProp(QStringLiteral("duration")).toDouble();
    const bool atEnd = m_player->cachedProp(QStringLiteral("eof-reached")).toBool() ||
                       (duration > 0 && pos >= duration - 1.0);
    if (!atEnd) {
        if (m_player->cachedProp(QStringLiteral("paused-for-cache")).toBool() ||
            m_player->cachedProp(QStringLiteral("seeking")).toBool() ||
            m_player->cachedProp(QStringLiteral("core-idle")).toBool())
            return;
        // Only a position that moves on proves the new audio is really being played.
        if (pos <= m_dubSwitchStartPos + 0.5)
            return;
    }
    logLine(QStringLiteral("player: dub '%1' %2 after %3 s (aid %4)")
                .arg(target->label, atEnd ? QStringLiteral("selected at the end of the file") : QStringLiteral("playing"),
                     secs2(elapsed), QString::number(track)));
    finishDubSwitch(true, elapsed);
}

void PlaybackController::finishDubSwitch(bool ok, double elapsed)
{
    const QString id = m_pendingDubId;
    m_pendingDubId.clear();
    m_dubTimer.stop();
    emit dubSwitched(id, elapsed, ok);
}

// The player's aid changed (possibly by the user in mpv's own track menu).
void PlaybackController::syncDubToAid(long long aid)
{
    if (!m_started || aid <= 0 || !m_pendingDubId.isEmpty())
        return;
    const SourceInfo *src = currentSource();
    if (!src)
        return;
    const QVariantList audio = freshTracks(QStringLiteral("audio"));
    for (const DubInfo &d : src->dubs) {
        if (audioTrackIn(audio, d) != aid)
            continue;
        if (d.id == m_currentDubId)
            return;
        logLine(QStringLiteral("player: audio track %1 is dub '%2'").arg(aid).arg(d.label));
        m_currentDubId = d.id;
        m_preferredDub = d.label;
        emit currentDubChanged(m_currentDubId);
        if (!m_subPreferenceSet)
            applySubtitlePolicy(QStringLiteral("audio change"));
        return;
    }
}

QList<long long> PlaybackController::unlistedAudioTracks() const
{
    const QVariantList audio = freshTracks(QStringLiteral("audio"));
    QSet<long long> mapped;
    if (const SourceInfo *src = currentSource())
        for (const DubInfo &d : src->dubs)
            mapped.insert(audioTrackIn(audio, d));
    QList<long long> out;
    for (const QVariant &v : audio) {
        const long long id = trackId(v.toMap());
        if (!mapped.contains(id))
            out.append(id);
    }
    return out;
}

void PlaybackController::applySubtitlePolicy(const QString &why)
{
    const SourceInfo *src = currentSource();
    if (!m_torrent || !m_tracksApplied || !m_player || !src)
        return;

    QList<SubCandidate> candidates;
    QSet<long long> listed;
    for (int i = 0; i < src->subtitles.size(); ++i) {
        const SubtitleInfo &s = src->subtitles.at(i);
        SubCandidate c{s.label, normalizeLang(s.lang), s.isForced || isSignsLabel(s.label), i,
                       findSubTrackFor(s)};
        if (c.sid >= 1)
            listed.insert(c.sid);
        candidates.append(c);
    }
    for (const QVariant &v : freshTracks(QStringLiteral("sub"))) {
        const QVariantMap t = v.toMap();
        if (listed.contains(trackId(t)))
            continue;
        SubCandidate c{str(t, "title"), normalizeLang(str(t, "lang")),
                       flag(t, "forced") || isSignsLabel(str(t, "title")), -1, trackId(t)};
        if (c.label.isEmpty())
            c.label = c.lang;
        candidates.append(c);
    }

    const SubCandidate *chosen = nullptr;
    QString reason;
    const QString pref = m_subPreference.trimmed();
    const bool prefOff = pref.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0 ||
                         pref.compare(QLatin1String("no"), Qt::CaseInsensitive) == 0;
    if (prefOff) {
        reason = QStringLiteral("preference off");
    } else if (!pref.isEmpty()) {
        const QString prefLang = normalizeLang(pref);
        const std::function<bool(const SubCandidate &)> tests[] = {
            [&](const SubCandidate &c) { return c.label.compare(pref, Qt::CaseInsensitive) == 0; },
            [&](const SubCandidate &c) { return c.label.contains(pref, Qt::CaseInsensitive); },
            [&](const SubCandidate &c) { return !c.signs && c.lang == prefLang; },
            [&](const SubCandidate &c) { return c.lang == prefLang; },
        };
        for (const auto &test : tests) {
            for (const SubCandidate &c : std::as_const(candidates))
                if (!chosen && test(c))
                    chosen = &c;
        }
        reason = QStringLiteral("preference '") + pref + QLatin1Char('\'');
    }
    // A preference that matches nothing here falls back to the default policy.
    if (!chosen && !prefOff) {
        const bool original = currentDubIsOriginal();
        reason = original ? QStringLiteral("original audio -> full Russian")
                          : QStringLiteral("dub -> Russian signs only");
        for (const SubCandidate &c : std::as_const(candidates))
            if (!chosen && c.lang == QLatin1String("ru") && c.signs != original)
                chosen = &c;
    }

    if (!chosen) {
        logLine(QStringLiteral("player: subtitles (%1): %2 -> off").arg(why, reason));
        m_chosenSid = 0;
        m_player->setProp(QStringLiteral("sid"), QStringLiteral("no"));
        return;
    }
    logLine(QStringLiteral("player: subtitles (%1): %2 -> '%3' [%4]")
                .arg(why, reason, chosen->label, chosen->lang));
    if (chosen->sid >= 1) {
        m_chosenSid = int(chosen->sid);
        m_player->setProp(QStringLiteral("sid"), chosen->sid);
        m_player->setProp(QStringLiteral("sub-visibility"), true);
    } else if (chosen->index >= 0) {
        selectSubtitle(chosen->index);
    }
}

bool PlaybackController::selectSubtitle(int subtitleIndex)
{
    const SourceInfo *src = currentSource();
    if (!src || !m_torrent || !m_player || subtitleIndex < 0 || subtitleIndex >= src->subtitles.size())
        return false;
    const SubtitleInfo sub = src->subtitles.at(subtitleIndex);
    const long long sid = findSubTrackFor(sub);
    if (sid >= 1) {
        m_player->setProp(QStringLiteral("sid"), sid);
        m_player->setProp(QStringLiteral("sub-visibility"), true);
        m_chosenSid = int(sid);
        return true;
    }
    const int file = resolveSubFile(sub);
    if (file < 0)
        return false;
    m_chosenSid = -1;
    if (m_pendingSubAdds.contains(subtitleIndex))
        return true;
    m_torrent->addFile(file);
    logLine(
        QStringLiteral("player: attaching subtitles '%1' (file #%2)").arg(sub.label, QString::number(file)));
    m_pendingSubAdds.insert(subtitleIndex);
    const quint64 gen = m_generation;
    QPointer<PlaybackController> self(this);
    m_player->commandAsync(
        {QStringLiteral("sub-add"), fileUri(file), QStringLiteral("select"), sub.label, sub.lang},
        [self, gen, subtitleIndex](int rc) {
            if (!self || self->m_generation != gen || !self->m_player)
                return;
            self->m_pendingSubAdds.remove(subtitleIndex);
            if (rc < 0) {
                logLine(QStringLiteral("player: sub-add failed: %1").arg(MpvPlayer::errorString(rc)));
                return;
            }
            self->m_player->setProp(QStringLiteral("sub-visibility"), true);
            self->m_chosenSid = int(self->m_player->getProp(QStringLiteral("sid")).toLongLong());
        });
    return true;
}

// External subtitle files become selectable tracks after the first picture, but not while the
// video has little buffered: on a slow swarm the piece holding a few KiB of subtitles can be a
// whole MiB, and fetching it right after the start is what stalls the video. They go at once
// when their pieces are here already, else once the buffer can carry that piece.
void PlaybackController::maybeAttachExternalSubtitles()
{
    constexpr double kBufferForSubsSec = 5.0;
    constexpr double kLatestSec = 30.0;
    if (m_subsDueSince < 0 || !m_torrent || !m_player)
        return;
    const SourceInfo *src = currentSource();
    bool present = true;
    for (int i = 0; src && present && i < src->subtitles.size(); ++i) {
        const int file = resolveSubFile(src->subtitles.at(i));
        present = file < 0 || fileDownloaded(file);
    }
    const double buffered = m_player->cachedProp(QStringLiteral("demuxer-cache-duration")).toDouble();
    if (!present && buffered < kBufferForSubsSec && logClock() - m_subsDueSince < kLatestSec && !eofCached())
        return;
    m_subsDueSince = -1.0;
    attachExternalSubtitles();
}

void PlaybackController::attachExternalSubtitles()
{
    const SourceInfo *src = currentSource();
    if (!src || !m_torrent || !m_player)
        return;
    QSet<QString> present;
    for (const QVariant &v : freshTracks(QStringLiteral("sub")))
        present.insert(str(v.toMap(), "external-filename"));
    for (int i = 0; i < src->subtitles.size(); ++i) {
        const SubtitleInfo &sub = src->subtitles.at(i);
        if (m_pendingSubAdds.contains(i))
            continue;
        const int file = resolveSubFile(sub);
        const QString uri = fileUri(file);
        if (file < 0 || present.contains(uri))
            continue;
        m_torrent->addFile(file);
        m_pendingSubAdds.insert(i);
        const quint64 gen = m_generation;
        QPointer<PlaybackController> self(this);
        m_player->commandAsync({QStringLiteral("sub-add"), uri, QStringLiteral("auto"), sub.label, sub.lang},
                               [self, gen, i](int rc) {
                                   if (!self || self->m_generation != gen || !self->m_player)
                                       return;
                                   self->m_pendingSubAdds.remove(i);
                                   if (rc < 0) {
                                       logLine(QStringLiteral("player: sub-add (auto) #%1 failed: %2")
                                                   .arg(i)
                                                   .arg(MpvPlayer::errorString(rc)));
                                       return;
                                   }
                                   // "auto" may select the new track; the decision already made stands.
                                   MpvPlayer *p = self->m_player;
                                   const long long current = p->getProp(QStringLiteral("sid")).toLongLong();
                                   if (self->m_chosenSid == 0 && current >= 1)
                                       p->setProp(QStringLiteral("sid"), QStringLiteral("no"));
                                   else if (self->m_chosenSid >= 1 && current != self->m_chosenSid)
                                       p->setProp(QStringLiteral("sid"), self->m_chosenSid);
                               });
    }
    if (!m_pendingSubAdds.isEmpty())
        logLine(QStringLiteral("player: attaching %1 subtitle file(s) as selectable tracks")
                    .arg(m_pendingSubAdds.size()));
}

void PlaybackController::setSubtitlePreference(const QString &preference)
{
    m_subPreference = preference.trimmed();
    m_subPreferenceSet = !m_subPreference.isEmpty();
    if (m_tracksApplied)
        applySubtitlePolicy(QStringLiteral("preference"));
}

bool PlaybackController::setSubtitleTrack(int sid)
{
    if (!m_tracksApplied || !m_player)
        return false;
    m_subPreferenceSet = true;
    if (sid < 1) {
        m_subPreference = QStringLiteral("off");
        m_chosenSid = 0;
        m_player->setProp(QStringLiteral("sid"), QStringLiteral("no"));
        logLine(QStringLiteral("player: subtitles off (user)"));
        return true;
    }
    for (const QVariant &v : freshTracks(QStringLiteral("sub"))) {
        const QVariantMap t = v.toMap();
        if (trackId(t) != sid)
            continue;
        m_subPreference = str(t, "title").isEmpty() ? str(t, "lang") : str(t, "title");
        m_chosenSid = sid;
        m_player->setProp(QStringLiteral("sid"), sid);
        m_player->setProp(QStringLiteral("sub-visibility"), true);
        logLine(QStringLiteral("player: subtitles -> sid %1 '%2' (user)").arg(sid).arg(m_subPreference));
        return true;
    }
    logLine(QStringLiteral("player: subtitles: no track sid %1").arg(sid));
    return false;
}

void PlaybackController::clearPendingDubSwitch()
{
    m_pendingDubId.clear();
    m_dubTimer.stop();
    m_chosenSid = -1;
    m_pendingSubAdds.clear();
    m_subsDueSince = -1.0;
}

} // namespace svd
