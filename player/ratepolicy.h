#pragma once

#include <QString>
#include <QtGlobal>

namespace svd {

// What the download-rate policy looks at on one tick. Times are milliseconds on
// the controller's play timer, durations seconds, rates bytes/s.
struct RateInputs {
    qint64 nowMs = 0;
    bool started = false;       // playback has started for the current source
    bool stalled = false;       // the player is seeking or paused for cache
    double buffered = 0.0;      // demuxer-cache-duration
    double cacheSecs = 0.0;     // current cache-secs
    double streamBitrate = 0.0; // (video-bitrate + audio-bitrate) / 8
    qint64 servedBytes = 0;     // bytes of the files being played
    double duration = 0.0;      // file duration
    int maxDownKbps = 0;        // -1 never limit, 0 policy, N fixed N kB/s outside bursts
};

// Carried from tick to tick; a new torrent starts from the defaults (unlimited,
// nothing applied yet, so its first decision is always applied and logged).
struct RateState {
    qint64 appliedLimit = -2; // -2: nothing applied yet; 0: unlimited
    bool burst = true;
    qint64 burstUntilMs = 0;
};

struct RateDecision {
    bool burst = true;
    QString reason;        // why it bursts; empty when the burst is kept by hysteresis
    double neededRate = 0; // bytes/s the file needs
    qint64 limit = 0;      // bytes/s, 0 = unlimited
    bool apply = false;    // the limit differs enough from the applied one
};

inline constexpr qint64 kBurstMs = 10000;
inline constexpr qint64 kDubSwitchBurstMs = 15000;
inline constexpr qint64 kMinThrottleBytes = 2000000;

// Decides this tick's limit and updates `state` (burst flag, burst deadline and,
// when the decision is to apply, the applied limit). Pure: no player, no torrent.
RateDecision decideRate(const RateInputs &in, RateState *state);

// The "rate: …" log line for an applied decision.
QString rateLogLine(const RateDecision &d, double buffered, int maxDownKbps);

} // namespace svd
