#include "base/appdefaults.h"

namespace svd {

QString defaultSiteUrl()
{
    return QStringLiteral("https://sorvanta.tv/");
}

QString defaultApiUrl()
{
    return QStringLiteral("https://api.sorvanta.tv");
}

} // namespace svd
