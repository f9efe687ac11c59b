#pragma once

#include <QString>

namespace svd {

// "Sorvanta Desktop <v> (Qt .., libtorrent .., mpv client API .., <crypto>)"
QString versionLine();

} // namespace svd
