#pragma once

#include <QString>
#include <QVariantMap>

class QWebEnginePage;

namespace svd {

inline constexpr const char kBridgeScriptName[] = "sorvanta-desktop-bridge";

// The web channel client library and the page-side script wrapped in one
// function with the version and the page configuration object.
QString bridgeInjectionScript(const QString &version, const QVariantMap &cfg);

// Replaces the page's bridge script: documents created from now on get `source`
// at document creation in the main world (main frame only).
void installBridgeScriptSource(QWebEnginePage *page, const QString &source);

} // namespace svd
