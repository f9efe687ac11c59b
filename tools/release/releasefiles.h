#pragma once

#include "update/manifest.h"

#include <QByteArray>
#include <QString>

namespace svd::release {

// The files sign-release writes into its output folder, next to a copy of the .deb.
inline constexpr const char kAnswerFile[] = "update.json";    // the check answer (envelope)
inline constexpr const char kManifestFile[] = "manifest.json"; // the exact signed bytes
inline constexpr const char kSignatureFile[] = "manifest.sig"; // base64 of the 64-byte signature

// Checks an update answer as the program does for a build of the manifest's own
// platform, arch and channel that is older than the release (and not below its
// minVersion), and that `installer` is the file it describes.
bool verifyRelease(const QByteArray &answer, const QByteArray &publicKey, const QString &installer,
                   update::Manifest *manifest, QString *error);

bool writeFile(const QString &path, const QByteArray &bytes, QString *error);
// Replaces `to` with a copy of `from`.
bool copyFile(const QString &from, const QString &to, QString *error);

} // namespace svd::release
