#include "app/versionline.h"

#include "base/log.h"

#include <libtorrent/version.hpp>
#include <mpv/client.h>
#include <openssl/crypto.h>

namespace svd {

QString versionLine()
{
    const unsigned long api = mpv_client_api_version();
    return QStringLiteral("Sorvanta Desktop %1 (Qt %2, libtorrent %3, mpv client API %4.%5, %6)")
        .arg(QLatin1String(kAppVersion), QLatin1String(qVersion()), QLatin1String(lt::version()))
        .arg(api >> 16)
        .arg(api & 0xffff)
        .arg(QLatin1String(OpenSSL_version(OPENSSL_VERSION)));
}

} // namespace svd
