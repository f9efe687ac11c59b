#pragma once

#include <QString>

namespace svd {

// An IP literal of this machine: 127.0.0.1 or ::1 (with or without brackets).
// Where trust rests on the host being local (a test key for the update feed),
// only an address will do: the name "localhost" can be mapped elsewhere.
bool isLoopbackAddress(const QString &host);

// A loopback address or the name "localhost", case-insensitive: enough where a
// local host only relaxes a default (plain http, no HTTP cache).
bool isLoopbackHost(const QString &host);

} // namespace svd
