// Any bytes as a check response and as a manifest: parsing must never crash,
// and what it accepts must hold the rules the updater relies on.
#include "update/manifest.h"

#include <cstdlib>

using namespace svd::update;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    QByteArray manifest, signature;
    if (parseUpdateResponse(bytes, &manifest, &signature)) {
        if (signature.size() != 64 || bytes.size() > kMaxResponseBytes)
            std::abort();
        (void)validateManifest(manifest, runningBuild(QStringLiteral("stable")));
    }

    BuildInfo build = runningBuild(QStringLiteral("stable"));
    build.version = Version{0, 0, 1};
    const ManifestVerdict v = validateManifest(bytes, build);
    if (v.kind != ManifestVerdict::Rejected) {
        const Manifest &m = v.manifest;
        if (m.raw != bytes || m.size < 1 || m.size > kMaxInstallerBytes || m.sha256.size() != 64)
            std::abort();
    }
    if (v.kind == ManifestVerdict::Available || v.kind == ManifestVerdict::Manual) {
        const Manifest &m = v.manifest;
        if (!isSafeInstallerName(m.file, installerExtension(build)) || m.file.contains(QLatin1Char('/')) ||
            m.version.compare(build.version) <= 0)
            std::abort();
    }
    return 0;
}
