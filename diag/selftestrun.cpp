#include "diag/selftestrun.h"

#include "app/log.h"
#include "diag/selftest.h"
#include "disk/cachebudget.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <memory>

namespace svd {

QString selfTestLabel(const AppConfig &config, long long animeId)
{
    if (!config.playFixture.isEmpty())
        return QFileInfo(config.playFixture).fileName();
    return QStringLiteral("api anime %1").arg(animeId);
}

int runHeadlessSelfTest(const AppConfig &config, TorrentEngine *engine, SourceProvider *provider,
                        long long animeId, int episode)
{
    auto player = std::make_unique<MpvPlayer>();
    MpvPlayer::InitOptions init;
    init.headless = true;
    init.renderApi = false;
    init.logFile = config.logDir + QStringLiteral("/mpv-selftest.log");
    if (!player->init(init, engine))
        return 3;

    PlaybackOptions options;
    options.startTimeoutSec = config.startTimeoutSec;
    options.noPeersTimeoutSec = config.noPeersTimeoutSec;
    options.cacheCapBytes = disk::mbToBytes(config.cacheMaxMb);
    options.maxDownKbps = config.maxDownKbps;
    auto controller = std::make_unique<PlaybackController>(engine, provider, player.get(), options);

    auto test = std::make_unique<SelfTest>(config, engine, player.get(), controller.get(), animeId, episode,
                                           selfTestLabel(config, animeId));
    // The verdict is printed inside finish(); quitting on the next turn lets it return first.
    QObject::connect(
        test.get(), &SelfTest::finished, qApp, [](int code) { QCoreApplication::exit(code); },
        Qt::QueuedConnection);
    QTimer::singleShot(0, test.get(), &SelfTest::start);
    const int code = QCoreApplication::exec();

    // The controller goes first: it stops the player and releases its torrent.
    controller.reset();
    player->destroy();
    player.reset();
    test.reset();
    return code;
}

} // namespace svd
