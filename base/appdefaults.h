#pragma once

#include <QString>

namespace svd {

// Where the program points when no --site / --api is given.
QString defaultSiteUrl();
QString defaultApiUrl();

} // namespace svd
