#pragma once

#include "update/version.h"

#include <QString>
#include <QUrl>

namespace svd::update {

// https anywhere; plain http only to the loopback host names.
bool isAllowedBase(const QUrl &url, QString *error = nullptr);

// Scheme, host and (defaulted) port equal, and `b` carries no user info.
bool isSameOrigin(const QUrl &a, const QUrl &b);

// The three endpoints, joined onto the path of `base`.
QUrl updateUrlFor(const QUrl &base, const BuildInfo &build);
QUrl downloadUrlFor(const QUrl &base, const QString &file);
QUrl latestUrlFor(const QUrl &base, const BuildInfo &build);

} // namespace svd::update
