#include "web/webresources.h"

#include <QFile>

namespace svd {

QString readResourceText(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

} // namespace svd
