#pragma once

// Test helper: time limits of waits for real work (playback, swarms, child
// programs, pages) scaled by one factor from the environment. Sanitizer builds
// run several times slower; their ctest runs set SVD_TEST_TIME_SCALE (see
// cmake/SvdTesting.cmake), normal runs leave it unset (factor 1).
//
//   QTRY_VERIFY_WITH_TIMEOUT(started, svd::test::waitMs(30000));
//   QVERIFY(spy.wait(svd::test::waitMs(10000)));
//   opts.startTimeoutSec = svd::test::waitSec(20);
//
// Checks of our own timers ("gives up after 2 s") keep their figures: only how
// long a test is willing to wait grows.

#include <QString>
#include <QtGlobal>

namespace svd::test {

inline double timeScale()
{
    static const double scale = [] {
        bool ok = false;
        const double v = qEnvironmentVariable("SVD_TEST_TIME_SCALE").toDouble(&ok);
        return ok && v > 1.0 ? v : 1.0;
    }();
    return scale;
}

inline int waitMs(int ms)
{
    return int(ms * timeScale());
}

// The same for limits a test hands to the program's own timers in seconds
// (how long playback may take to start).
inline int waitSec(int s)
{
    return int(s * timeScale());
}

} // namespace svd::test
