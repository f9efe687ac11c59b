#pragma once

#include "disk/volumes.h"

#include <QString>
#include <QStringList>

#include <initializer_list>

// Shared helpers of the disk tests.
namespace disktest {

// Everything logged since the previous call.
QString takeLog();
void setLogPath(const QString &path);

QStringList strings(std::initializer_list<const char *> items);

QString writeFile(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

// A ready, valid, writable volume record with `freeGiB` free.
svd::disk::Volume volume(const QString &root, const char *kind, double freeGiB, const char *fs = "ext4");

} // namespace disktest
