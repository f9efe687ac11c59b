#include "diag/selftestrun.h"

#include "base/log.h"
#include "diag/bingetest.h"
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

    // The verdict is printed inside finish(); quitting on the next turn lets it return first.
    const auto quit = [](int code) { QCoreApplication::exit(code); };
    std::unique_ptr<QObject> test;
    if (config.bingeEpisodes > 0) {
        auto binge = std::make_unique<BingeTest>(config, engine, player.get(), controller.get(), animeId, episode,
                                                 config.bingeEpisodes);
        QObject::connect(binge.get(), &BingeTest::finished, qApp, quit, Qt::QueuedConnection);
        QTimer::singleShot(0, binge.get(), &BingeTest::start);
        test = std::move(binge);
    } else {
        auto one = std::make_unique<SelfTest>(config, engine, player.get(), controller.get(), animeId, episode,
                                              selfTestLabel(config, animeId));
        QObject::connect(one.get(), &SelfTest::finished, qApp, quit, Qt::QueuedConnection);
        QTimer::singleShot(0, one.get(), &SelfTest::start);
        test = std::move(one);
    }
    const int code = QCoreApplication::exec();

    // The controller goes first: it stops the player and releases its torrent.
    controller.reset();
    player->destroy();
    player.reset();
    test.reset();
    return code;
}

} // namespace svd
