#pragma once

#include "base/appconfig.h"
#include "base/appdefaults.h"

#include <QCommandLineParser>

namespace svd {

// Lenient decimal parsing: junk or overflow gives 0, never an error.
int parseIntLenient(const QString &text);
qint64 parseInt64Lenient(const QString &text);
double parseDoubleLenient(const QString &text);

// Registers every option in help order (hidden ones hidden from --help).
void registerOptions(QCommandLineParser &parser);

// Fills the command-line fields of `cfg`. Returns false with `error` set when
// --lite is not on, off or auto (the caller exits 2). `resourcesDir` is where
// --dev finds its fixtures.
bool fillAppConfig(const QCommandLineParser &parser, const QString &resourcesDir, AppConfig *cfg,
                   QString *error);

// Derives cacheDir, stateDir and logDir from dataDir.
void setDataDir(AppConfig *cfg, const QString &dataDir);

// The log file of this run: --log, else update-check.log for the update modes,
// else last.log.
QString logFilePath(const QCommandLineParser &parser, const QString &logDir);

// <app>/../Resources, else <app>/../share/sorvanta-desktop, when it exists;
// else the application folder.
QString resourcesDirFor(const QString &appDir);

} // namespace svd
