// Any bytes as the JSON a page sends to play / setVideoRect / openExternal:
// the checks must never crash or overflow, and what they let through must be sane.
#include "shell/bridgechecks.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    const QVariantMap args = doc.object().toVariantMap();
    const QStringList hosts{QStringLiteral("sorvanta.tv"), QStringLiteral("127.0.0.1")};

    const svd::PlayArgs p = svd::parsePlayArgs(args);
    if (p.valid() && (p.animeId <= 0 || p.episode <= 0))
        std::abort();

    const svd::VideoRectReport r = svd::parseVideoRect(args);
    if (r.holes.size() > svd::kMaxPageHoles)
        std::abort();
    for (const QRect &h : r.holes)
        if (h.isEmpty())
            std::abort();

    // Strings anywhere in the document are tried as URLs.
    const QString text = QString::fromUtf8(bytes);
    if (svd::externalUrlAllowed(text, hosts)) {
        const QUrl u(text, QUrl::StrictMode);
        if (u.scheme() != QLatin1String("https") || !u.userInfo().isEmpty() || !svd::hostAllowed(u.host(), hosts))
            std::abort();
    }
    (void)svd::originAllowed(QUrl(text), hosts);
    return 0;
}
