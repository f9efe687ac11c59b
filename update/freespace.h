#pragma once

#include <QString>

namespace svd::update {

// Free space and byte formatting come from the disk module (which also honours
// the fake free space of --fake-free-mb).
qint64 freeBytesFor(const QString &path);
QString formatSize(qint64 bytes);

} // namespace svd::update
