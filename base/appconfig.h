#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

namespace svd {

// The start-up configuration, filled once from the command line.
struct AppConfig {
    QUrl site;
    QUrl api;
    QStringList fixtures;
    bool useApi = true;
    bool testPage = false;
    bool noHttpCache = false;
    int startTimeoutSec = 45;
    int noPeersTimeoutSec = 30;
    qint64 cacheMaxMb = 4096;
    QString dataDir;
    QString cacheDir;
    QString stateDir;
    QString logDir;
    QString cacheDirOption;
    int maxDownKbps = 0;
    double perfIntervalSec = 0;
    QString lite;
    QString pageTweaks;
    QString videoLevel;
    QString playFixture;
    qint64 animeId = 0;
    int episode = 0;
    QString dub;
    QString switchDub;
    bool selftest = false;
    bool selftestShow = false;
    double maxWallSec = 240;
    double maxMb = 800;
    double observeSec = 20;
    double pauseObserveSec = 20;
    QString selftestOut;
    int bingeEpisodes = 0;   // --selftest --binge N: an evening of N episodes
    double bingeSpeed = 1.0; // playback speed of that evening
};

} // namespace svd
