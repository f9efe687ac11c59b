#include "player/ratepolicy.h"

#include <cmath>

namespace svd {

RateDecision decideRate(const RateInputs &in, RateState *state)
{
    RateDecision d;
    if (!in.started || in.stalled)
        state->burstUntilMs = qMax(state->burstUntilMs, in.nowMs + kBurstMs);

    bool burst = state->burst;
    if (in.nowMs < state->burstUntilMs) {
        burst = true;
        d.reason = in.started ? QStringLiteral("seek / stall / dub switch") : QStringLiteral("starting");
    } else {
        const double target = qMax(in.cacheSecs, 10.0);
        const double low = qMin(target * 0.3, 30.0);
        const double high = qMin(target * 0.75, 90.0);
        if (in.buffered < low) {
            burst = true;
            d.reason = QStringLiteral("%1 s buffered < %2 s")
                           .arg(QString::number(in.buffered, 'f', 0), QString::number(low, 'f', 0));
        } else if (in.buffered > high) {
            burst = false;
        }
    }
    d.burst = burst;

    const double fileAverage = in.duration > 60.0 ? double(in.servedBytes) / in.duration : 0.0;
    d.neededRate = qMax(in.streamBitrate, fileAverage);
    if (burst)
        d.limit = 0;
    else if (in.maxDownKbps >= 1)
        d.limit = qint64(in.maxDownKbps) * 1000;
    else
        d.limit = qint64(qMax(2.0 * d.neededRate, double(kMinThrottleBytes)));

    const qint64 prev = state->appliedLimit;
    d.apply = prev == -2 || (d.limit == 0) != (prev == 0) ||
              (d.limit != 0 && prev != 0 && std::abs(double(d.limit - prev)) > 0.15 * double(prev));
    state->burst = burst;
    if (d.apply)
        state->appliedLimit = d.limit;
    return d;
}

QString rateLogLine(const RateDecision &d, double buffered, int maxDownKbps)
{
    if (d.limit == 0)
        return QStringLiteral("rate: burst, unlimited (%1)")
            .arg(d.reason.isEmpty() ? QStringLiteral("start") : d.reason);
    return QStringLiteral("rate: throttle %1 MB/s (%2 s buffered; file avg %3 MB/s%4)")
        .arg(QString::number(double(d.limit) / 1000000.0, 'f', 1), QString::number(buffered, 'f', 0),
             QString::number(d.neededRate / 1000000.0, 'f', 2),
             maxDownKbps >= 1 ? QStringLiteral(", --max-down-kbps %1").arg(maxDownKbps) : QString());
}

} // namespace svd
