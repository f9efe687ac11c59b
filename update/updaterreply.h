#pragma once

#include <QString>

class QNetworkReply;

namespace svd::update {

// The updater aborts a reply with a reason of its own (a refused redirect, an
// oversized response); its handlers read that reason instead of Qt's generic one.
QString abortReason(const QNetworkReply *reply);
void abortWith(QNetworkReply *reply, const QString &reason);
int httpStatus(const QNetworkReply *reply);

} // namespace svd::update
