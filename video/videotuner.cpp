#include "video/videotuner.h"

#include "base/log.h"
#include "player/mpvplayer.h"

#include <QSettings>

#include <cmath>

namespace svd {

namespace {

const QString kLevelKey = QStringLiteral("video/level");

QString fixed(double v, int decimals)
{
    return QString::number(v, 'f', decimals);
}

} // namespace

DropWindow::Second DropWindow::position(bool interrupted, double pos)
{
    if (interrupted || m_lastPos < 0 || pos < 0) {
        m_lastPos = pos;
        m_settle = qMax(m_settle, 3);
        m_baseline = -1;
        m_window = 0;
        return Second::Interrupted;
    }
    const double last = m_lastPos;
    m_lastPos = pos;
    return pos - last > 0.3 ? Second::Advanced : Second::Still;
}

std::optional<double> DropWindow::measure(qint64 drops, double fps)
{
    if (m_settle > 0) {
        --m_settle;
        return std::nullopt;
    }
    if (m_baseline < 0) {
        m_baseline = drops;
        m_window = 0;
        return std::nullopt;
    }
    if (++m_window < 10)
        return std::nullopt;
    std::optional<double> percent;
    const double expected = fps * 10;
    if (expected > 0)
        percent = double(drops - m_baseline) * 100.0 / expected;
    m_baseline = drops;
    m_window = 0;
    return percent;
}

double pickFramesPerSecond(double containerFps, double estimatedVfFps)
{
    if (containerFps >= 5 && containerFps <= 300)
        return containerFps;
    if (estimatedVfFps >= 5 && estimatedVfFps <= 300)
        return estimatedVfFps;
    return 24.0;
}

QString displayHzText(double displayFps, double screenHz)
{
    if (displayFps > 0)
        return QStringLiteral("%1 Hz").arg(fixed(displayFps, 1));
    if (screenHz > 0)
        return QStringLiteral("%1 Hz (screen)").arg(screenHz);
    return QStringLiteral("? Hz");
}

int nextLevelAfterDrops(int level, const QString &hwdecCurrent)
{
    if (level == 1 && hwdecCurrent == QLatin1String("no"))
        return 3;
    return qMin(level + 1, VideoTuner::kLowestLevel);
}

QString VideoTuner::levelName(int level)
{
    switch (level) {
    case 0:
        return QStringLiteral("default");
    case 1:
        return QStringLiteral("fast");
    case 2:
        return QStringLiteral("fast+hwdec-copy");
    case 3:
        return QStringLiteral("fast+software-decode");
    default:
        return QString();
    }
}

VideoTuner::VideoTuner(MpvPlayer *player, int forcedLevel, QObject *parent)
    : QObject(parent), m_player(player), m_forced(forcedLevel)
{
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &VideoTuner::sampleSecond);
}

void VideoTuner::init()
{
    QSettings settings;
    const bool remembered = settings.contains(kLevelKey);
    if (m_forced < 0)
        m_level = qBound(0, remembered ? settings.value(kLevelKey).toInt() : 1, kLowestLevel);
    else
        m_level = qMin(m_forced, kLowestLevel);
    applyLevel(m_level, false);
    const QString why = m_forced >= 0 ? QStringLiteral(", forced by --video-level")
                        : remembered  ? QStringLiteral(", remembered from an earlier run")
                                      : QStringLiteral(", default");
    logLine(QStringLiteral("video: renderer level %1 (%2)%3").arg(QString::number(m_level), levelName(m_level), why));
}

void VideoTuner::applyLevel(int level, bool reinit)
{
    if (level <= 0 || !m_player)
        return;
    // mpv before 0.36 has no built-in "fast" profile: set what it stands for.
    bool haveFast = false;
    for (const QVariant &p : m_player->getProp(QStringLiteral("profile-list")).toList())
        haveFast = haveFast || p.toMap().value(QStringLiteral("name")).toString() == QLatin1String("fast");
    if (haveFast) {
        m_player->command({QStringLiteral("apply-profile"), QStringLiteral("fast")});
    } else {
        m_player->setProp(QStringLiteral("scale"), QStringLiteral("bilinear"));
        m_player->setProp(QStringLiteral("dscale"), QStringLiteral("bilinear"));
        m_player->setProp(QStringLiteral("dither"), QStringLiteral("no"));
        m_player->setProp(QStringLiteral("correct-downscaling"), false);
        m_player->setProp(QStringLiteral("linear-downscaling"), false);
        m_player->setProp(QStringLiteral("sigmoid-upscaling"), false);
        m_player->setProp(QStringLiteral("hdr-compute-peak"), false);
    }
    m_player->setProp(QStringLiteral("interpolation"), false);
    m_player->setProp(QStringLiteral("deband"), false);
    if (level >= 2)
        m_player->setProp(QStringLiteral("hwdec"), QStringLiteral("auto-copy-safe"));
    if (level >= 3) {
        m_player->setProp(QStringLiteral("hwdec"), QStringLiteral("no"));
        m_player->setProp(QStringLiteral("vd-lavc-fast"), true);
        m_player->setProp(QStringLiteral("vd-lavc-skiploopfilter"), QStringLiteral("all"));
        m_player->setProp(QStringLiteral("framedrop"), QStringLiteral("decoder+vo"));
        if (reinit)
            m_player->reinitVideo();
    }
}

double VideoTuner::number(const char *name) const
{
    return m_player ? m_player->getProp(QLatin1String(name)).toDouble() : 0.0;
}

QString VideoTuner::text(const char *name) const
{
    return m_player ? m_player->getProp(QLatin1String(name)).toString() : QString();
}

double VideoTuner::framesPerSecond() const
{
    return pickFramesPerSecond(number("container-fps"), number("estimated-vf-fps"));
}

QString VideoTuner::displayHz() const
{
    return displayHzText(number("display-fps"), m_screenHz);
}

VideoTuner::Sample VideoTuner::readMpv() const
{
    Sample s;
    s.voDrops = qint64(number("frame-drop-count"));
    s.decoderDrops = qint64(number("decoder-frame-drop-count"));
    s.avsync = number("avsync");
    s.vfFps = number("estimated-vf-fps");
    s.fps = framesPerSecond();
    s.displayHz = displayHz();
    return s;
}

void VideoTuner::onPlaybackStarted()
{
    if (m_playing && m_secondsSampled > 4)
        logPeriodic();
    m_playing = true;
    m_window.restart(10);
    m_window.forgetPosition();
    m_infoCountdown = 3;
    m_period.start();
    m_last = readMpv();
    m_periodStartTotal = m_last.total();
    m_secondsSampled = 0;
    m_timer.start();
}

void VideoTuner::onStopped()
{
    if (m_playing && m_secondsSampled > 4)
        logPeriodic();
    m_playing = false;
    m_timer.stop();
}

void VideoTuner::sampleSecond()
{
    if (m_infoCountdown > 0 && --m_infoCountdown == 0)
        logInfo();
    if (!m_player)
        return;

    const QVariant posValue = m_player->getProp(QStringLiteral("time-pos"));
    const double pos = posValue.isValid() ? posValue.toDouble() : -1.0;
    const bool interrupted = m_player->getProp(QStringLiteral("pause")).toBool() ||
                             m_player->getProp(QStringLiteral("paused-for-cache")).toBool() ||
                             m_player->getProp(QStringLiteral("seeking")).toBool();
    if (m_window.position(interrupted, pos) != DropWindow::Second::Advanced)
        return;

    const Sample s = readMpv();
    if (s.total() < m_last.total()) {
        // The counters start again with every file.
        if (m_secondsSampled > 4)
            logPeriodic();
        m_periodStartTotal = 0;
        m_secondsSampled = 0;
        m_period.start();
        m_window.restart(10);
    }
    m_last = s;
    ++m_secondsSampled;
    if (m_period.elapsed() >= 30000)
        logPeriodic();

    if (const auto percent = m_window.measure(s.total(), s.fps); percent && *percent > 5)
        stepDown(*percent);
}

void VideoTuner::stepDown(double percent)
{
    const QString head = QStringLiteral("video: %1% of frames dropped over 10 s at level %2 (%3)")
                             .arg(fixed(percent, 1), QString::number(m_level), levelName(m_level));
    if (m_forced < 0 && m_level < kLowestLevel) {
        const int next = nextLevelAfterDrops(m_level, text("hwdec-current"));
        logLine(head + QStringLiteral(" -> level %1 (%2)").arg(QString::number(next), levelName(next)));
        m_level = next;
        applyLevel(next, true);
        QSettings().setValue(kLevelKey, next);
        m_window.restart(10);
        return;
    }
    logLine(head + (m_forced < 0 ? QStringLiteral("; already the lowest level")
                                 : QStringLiteral("; level forced, not changing")));
    // No new verdict for a minute.
    m_window.setSettle(60);
}

QString VideoTuner::pipelineText() const
{
    if (!m_player)
        return QString();
    QString codec = text("video-codec");
    QString profile;
    for (const QVariant &t : m_player->trackList()) {
        const QVariantMap track = t.toMap();
        if (track.value(QStringLiteral("type")).toString() != QLatin1String("video") ||
            !track.value(QStringLiteral("selected")).toBool())
            continue;
        if (const QString c = track.value(QStringLiteral("codec")).toString(); !c.isEmpty())
            codec = c;
        if (const QString p = track.value(QStringLiteral("codec-profile")).toString(); !p.isEmpty())
            profile = QLatin1Char(' ') + p;
        break;
    }
    const QVariantMap params = m_player->getProp(QStringLiteral("video-params")).toMap();
    QString pixfmt = params.value(QStringLiteral("pixelformat")).toString();
    if (const QString hw = params.value(QStringLiteral("hw-pixelformat")).toString(); !hw.isEmpty())
        pixfmt += QLatin1Char('/') + hw;
    return QStringLiteral("vo %1 (%2), hwdec %3, %4%5 %6 %7x%8 @ %9 fps, display %10, level %11 (%12)")
        .arg(text("current-vo"), text("current-gpu-context"), text("hwdec-current"), codec, profile, pixfmt,
             QString::number(params.value(QStringLiteral("w")).toLongLong()),
             QString::number(params.value(QStringLiteral("h")).toLongLong()), fixed(number("container-fps"), 3),
             displayHz(), QString::number(m_level), levelName(m_level));
}

void VideoTuner::logInfo()
{
    if (m_player)
        logLine(QStringLiteral("video: ") + pipelineText());
}

void VideoTuner::logPeriodic()
{
    const qint64 total = m_last.total();
    const qint64 dropped = qMax<qint64>(0, total - m_periodStartTotal);
    const double expected = m_last.fps * (m_secondsSampled < 2 ? 1 : m_secondsSampled);
    const double percent = expected > 0 ? double(dropped) * 100.0 / expected : 0.0;
    logLine(QStringLiteral(
                "video: %1 s playing: dropped %2 (%3% of ~%4; totals vo %5 dec %6), avsync %7 s, vf-fps "
                "%8, display %9, level %10")
                .arg(QString::number(m_secondsSampled), QString::number(dropped), fixed(percent, 1),
                     QString::number(std::llround(expected)), QString::number(m_last.voDrops),
                     QString::number(m_last.decoderDrops), fixed(m_last.avsync, 3), fixed(m_last.vfFps, 2),
                     m_last.displayHz, QString::number(m_level)));
    m_periodStartTotal = total;
    m_secondsSampled = 0;
    m_period.start();
}

} // namespace svd
