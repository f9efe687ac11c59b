#include "update/version.h"

#include "base/log.h"

#include <QRegularExpression>

#include <string_view>

namespace svd::update {

static_assert(std::string_view(kAppVersion) == SVD_PROJECT_VERSION,
              "kAppVersion must equal the project version in CMakeLists.txt (the package takes that one)");

std::optional<Version> Version::parse(const QString &text)
{
    // \z, not $: "$" would also match before a final line feed.
    static const QRegularExpression re(QStringLiteral(
        "^(0|[1-9][0-9]{0,8})\\.(0|[1-9][0-9]{0,8})\\.(0|[1-9][0-9]{0,8})\\z"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    // At most nine digits per part, so every part fits 32 bits.
    Version v;
    v.major = m.captured(1).toUInt();
    v.minor = m.captured(2).toUInt();
    v.patch = m.captured(3).toUInt();
    return v;
}

QString Version::toString() const
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

int Version::compare(const Version &other) const
{
    if (major != other.major)
        return major < other.major ? -1 : 1;
    if (minor != other.minor)
        return minor < other.minor ? -1 : 1;
    if (patch != other.patch)
        return patch < other.patch ? -1 : 1;
    return 0;
}

BuildInfo runningBuild(const QString &channel)
{
    BuildInfo b;
    b.platform = QStringLiteral("linux");
    b.arch = QStringLiteral("x64");
    b.channel = channel;
    b.version = Version::parse(QLatin1String(kAppVersion)).value_or(Version{});
    return b;
}

QString installerExtension(const BuildInfo &build)
{
    if (build.platform == QLatin1String("mac"))
        return QStringLiteral("dmg");
    if (build.platform == QLatin1String("linux"))
        return QStringLiteral("deb");
    return QStringLiteral("exe");
}

} // namespace svd::update
