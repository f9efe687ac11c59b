#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace svd::update {

// A release number MAJOR.MINOR.PATCH; nothing else (no suffixes, no leading zeros).
struct Version {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;

    static std::optional<Version> parse(const QString &text);
    QString toString() const;
    int compare(const Version &other) const;
};

// Identity of the running build, matched exactly against a manifest.
struct BuildInfo {
    QString platform;
    QString arch;
    QString channel;
    Version version;
};

BuildInfo runningBuild(const QString &channel);

// "dmg" on mac, "deb" on linux, "exe" elsewhere.
QString installerExtension(const BuildInfo &build);

} // namespace svd::update
