#pragma once

#include <QString>

namespace svd {

inline constexpr const char kAppVersion[] = "0.1.3";

// Process-wide log: every line goes to stderr and, once logStart() has opened a
// file, to that file too. Safe to call from any thread.
void logStart(const QString &path);
void logLine(const QString &message);
double logClock();
void installQtMessageHandler();

// Formats one line as written to the outputs (without the newline); control
// characters of the message are escaped (\n, \r, \t, \u001b...), so it stays one line.
QString formatLogLine(double seconds, const QString &message);

QString appUaToken();
QString nativeUserAgent();

} // namespace svd
