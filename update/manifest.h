#pragma once

#include "update/version.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <optional>

namespace svd::update {

// One parsed update manifest. `raw` holds the exact signed bytes.
struct Manifest {
    Version version;
    QString platform;
    QString arch;
    QString channel;
    QString file;
    qint64 size = 0;
    QByteArray sha256;
    QString notes;
    bool mandatory = false;
    std::optional<Version> minVersion;
    QString publishedAt;
    QByteArray raw;
    QByteArray signature;
};

struct ManifestVerdict {
    enum Kind { Available = 0, Manual = 1, Ignored = 2, Rejected = 3 };
    Kind kind = Rejected;
    QString message;
    Manifest manifest;
};

// The outcome of one update check.
struct CheckResult {
    enum Kind { UpToDate = 0, Ignored = 1, Available = 2, Manual = 3, Rejected = 4, Error = 5 };
    Kind kind = Error;
    QString message;
    Manifest manifest;

    static QString name(int kind);
    static CheckResult fromVerdict(const ManifestVerdict &verdict);
};

inline constexpr qsizetype kMaxResponseBytes = 262144;
inline constexpr qint64 kMaxInstallerBytes = 2147483648LL;

// Splits a check response body into the signed manifest bytes and the signature.
bool parseUpdateResponse(const QByteArray &body, QByteArray *manifestBytes, QByteArray *signature,
                         QString *error = nullptr);

// Field rules and the decision for `build`; does not look at any signature.
ManifestVerdict validateManifest(const QByteArray &bytes, const BuildInfo &build);

// Signature over the exact bytes first, then validateManifest.
ManifestVerdict evaluateManifest(const QByteArray &bytes, const QByteArray &signature,
                                 const QByteArray &publicKey, const BuildInfo &build);

// A plain file name of an exe, dmg or deb that matches `extension`.
bool isSafeInstallerName(const QString &name, const QString &extension);

} // namespace svd::update

Q_DECLARE_METATYPE(svd::update::Manifest)
Q_DECLARE_METATYPE(svd::update::CheckResult)
