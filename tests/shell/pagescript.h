#pragma once

// Driving a WebEngine page from a test: run a script and wait for its value,
// or for the settled value of a promise.
#include <QString>
#include <QVariant>

class QWebEnginePage;

namespace svd::test {

constexpr int kPageReplyMs = 15000;

// The script's completion value; invalid when it did not answer within `ms`.
QVariant evalJs(QWebEnginePage *page, const QString &code, int ms = kPageReplyMs);

// Runs a promise-returning expression and waits for its resolved value (passed
// through JSON, so numbers come back as doubles).
QVariant awaitJs(QWebEnginePage *page, const QString &expr, int ms = kPageReplyMs);

// Before the application object: settings, data and caches below `home`, and
// Chromium without sandbox, background networking or component updates.
void prepareWebTestEnvironment(const QString &home);

// The test's log file (SVD_TEST_LOG) as it is now.
QString readTestLog();

} // namespace svd::test
