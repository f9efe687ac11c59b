#include "base/loopback.h"

namespace svd {

bool isLoopbackAddress(const QString &host)
{
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("::1") || host == QLatin1String("[::1]");
}

bool isLoopbackHost(const QString &host)
{
    return isLoopbackAddress(host) || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
}

} // namespace svd
