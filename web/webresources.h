#pragma once

#include <QString>

namespace svd {

// The resources this library carries.
inline constexpr const char kBridgeScriptResource[] = ":/web/bridge.js";
inline constexpr const char kTestPageResource[] = ":/web/test.html";
inline constexpr const char kTestPageUrl[] = "qrc:/web/test.html";
// A template: the shell fills it in and shows it as content, never by this URL.
inline constexpr const char kOfflinePageResource[] = ":/web/offline.html";

// Whole resource as UTF-8 text; empty when it does not exist.
QString readResourceText(const QString &path);

} // namespace svd
