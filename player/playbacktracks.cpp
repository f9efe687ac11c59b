// Dubs, subtitles and tracks of PlaybackController.
#include "player/playbackcontroller.h"

#include "torrent/streamtorrent.h"

namespace svd {

int PlaybackController::resolveDubFile(const DubInfo &dub) const
{
    if (!m_torrent || dub.origin != QLatin1String("external"))
        return -1;
    return m_torrent->resolveFile(dub.audioFileIndex, dub.audioFilePath);
}

// Runs on the player's file-loaded event, after the file and the external dub
// file were handed over by startOnTorrent().
void PlaybackController::applyDubOnLoad() {}

// The player's aid changed (possibly by the user in mpv's own track menu).
void PlaybackController::syncDubToAid(long long aid)
{
    Q_UNUSED(aid)
}

// After the first picture: external subtitle files become selectable tracks.
void PlaybackController::attachExternalSubtitles() {}

void PlaybackController::checkDubSwitch()
{
    if (m_pendingDubId.isEmpty())
        m_dubTimer.stop();
}

bool PlaybackController::selectDub(const QString &name)
{
    Q_UNUSED(name)
    return false;
}

QList<SubtitleInfo> PlaybackController::subtitles() const
{
    const SourceInfo *src = currentSource();
    return src ? src->subtitles : QList<SubtitleInfo>();
}

QString PlaybackController::externalSubtitleUri(int subtitleIndex) const
{
    Q_UNUSED(subtitleIndex)
    return {};
}

bool PlaybackController::selectSubtitle(int subtitleIndex)
{
    Q_UNUSED(subtitleIndex)
    return false;
}

bool PlaybackController::setSubtitleTrack(int sid)
{
    Q_UNUSED(sid)
    return false;
}

QList<long long> PlaybackController::unlistedAudioTracks() const
{
    return {};
}

void PlaybackController::clearPendingDubSwitch()
{
    m_pendingDubId.clear();
    m_dubTimer.stop();
}

} // namespace svd
