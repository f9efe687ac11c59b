#include "app/startup.h"

#include "base/log.h"
#include "app/options.h"
#include "app/platform.h"
#include "app/quitsignals.h"
#include "app/versionline.h"
#include "disk/cachebudget.h"
#include "disk/cachesetup.h"
#include "disk/selftest.h"
#include "disk/volumes.h"
#include "diag/selftest.h"
#include "diag/selftestrun.h"
#include "diag/smoke.h"
#include "shell/mainwindow.h"
#include "sources/providerchain.h"
#include "torrent/torrentengine.h"
#include "ui/updateshot.h"
#include "update/updatecli.h"
#include "update/updater.h"
#include "update/updaterconfig.h"
#include "update/updateselftest.h"
#include "video/graphicsdefaults.h"
#include "video/videooutput.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>

namespace svd {

namespace {

bool hasRawArg(int argc, char **argv, const char *a, const char *b = nullptr)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], a) == 0 || (b && std::strcmp(argv[i], b) == 0))
            return true;
    }
    return false;
}

bool hasRawPrefix(int argc, char **argv, const char *name)
{
    const size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0 || (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '='))
            return true;
    }
    return false;
}

// Modes that show no window must run where no display is (an SSH session, a
// server, a release job): without one Qt's default platform aborts before the
// mode begins. Window modes keep that abort, which names the missing display.
void chooseWindowlessPlatform(int argc, char **argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return;
    const bool headlessSelfTest = hasRawArg(argc, argv, "--selftest") && !hasRawArg(argc, argv, "--show");
    if (headlessSelfTest || hasRawArg(argc, argv, "--check-update") || hasRawArg(argc, argv, "--update-download") ||
        hasRawArg(argc, argv, "--selftest-update") || hasRawArg(argc, argv, "--selftest-disk") ||
        hasRawPrefix(argc, argv, "--update-bar-shot") || hasRawArg(argc, argv, "--help", "-h") ||
        hasRawArg(argc, argv, "--help-all"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// --window-geometry and --quit-after, shared by the web shell and the
// player-only window.
void applyWindowOptions(QWidget *window, const QCommandLineParser &parser, bool logQuit)
{
    if (parser.isSet(QStringLiteral("window-geometry"))) {
        const QStringList parts = parser.value(QStringLiteral("window-geometry")).split(QLatin1Char(','));
        if (parts.size() == 4)
            window->setGeometry(parseIntLenient(parts[0]), parseIntLenient(parts[1]), parseIntLenient(parts[2]),
                                parseIntLenient(parts[3]));
    }
    // Development runs place the window without taking the focus from the user.
    if (parser.isSet(QStringLiteral("window-geometry"))) {
        window->setAttribute(Qt::WA_ShowWithoutActivating);
        window->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    }
    if (parser.isSet(QStringLiteral("quit-after"))) {
        const double secs = parseDoubleLenient(parser.value(QStringLiteral("quit-after")));
        const int ms = int(secs * 1000);
        QTimer::singleShot(ms, ms < 2000 ? Qt::PreciseTimer : Qt::CoarseTimer, window, [window, logQuit] {
            if (logQuit)
                logLine(QStringLiteral("shell: --quit-after reached"));
            window->close();
        });
    }
}

// The player-only window (with --play-fixture or --anime), also the self-test's;
// `torrentEngine` is reset before the exit line.
int runPlayerMode(QApplication &app, const QCommandLineParser &parser, const AppConfig &cfg,
                  std::unique_ptr<TorrentEngine> &torrentEngine, ChainProvider *providers,
                  FixtureProvider *fixtureProvider)
{
    TorrentEngine *engine = torrentEngine.get();
    // Source choice: the anime, then its episode and title.
    const long long anime =
        cfg.animeId >= 1 ? cfg.animeId : (fixtureProvider ? fixtureProvider->firstAnimeId() : 0);
    if (anime < 1) {
        logLine(QStringLiteral("cannot load fixture ") + cfg.playFixture);
        return 2;
    }
    int episode = cfg.episode;
    if (episode < 1 && fixtureProvider) {
        const QList<int> listed = fixtureProvider->episodes(anime);
        episode = listed.isEmpty() ? 1 : listed.first();
    }
    episode = qMax(1, episode);
    const QString title = fixtureProvider ? fixtureProvider->title(anime) : QString();

    if (cfg.selftest && !cfg.selftestShow) {
        // Headless self-test; its player and controller are gone when it returns.
        const int code = runHeadlessSelfTest(cfg, engine, providers, anime, episode);
        torrentEngine.reset();
        logLine(QStringLiteral("exit %1").arg(code));
        return code;
    }
    // Player-only window (also the visible self-test's window).
    auto window = std::make_unique<MainWindow>(cfg, engine, providers, true);
    applyWindowOptions(window.get(), parser, false);
    closeOnTerminationSignals(window.get());
    window->show();
    if (!window->initPlayer()) {
        window.reset();
        torrentEngine.reset();
        logLine(QStringLiteral("exit 3"));
        return 3;
    }
    std::unique_ptr<SelfTest> visibleTest;
    if (cfg.selftest) {
        // --selftest --show: the self-test drives the window's own player.
        visibleTest = std::make_unique<SelfTest>(cfg, engine, window->player(), window->controller(), anime,
                                                 episode, selfTestLabel(cfg, anime));
        QObject::connect(
            visibleTest.get(), &SelfTest::finished, qApp, [](int c) { QCoreApplication::exit(c); },
            Qt::QueuedConnection);
        QTimer::singleShot(0, visibleTest.get(), &SelfTest::start);
    } else {
        window->openPlayer(anime, episode, title, cfg.dub, QString());
    }
    const int code = app.exec();
    window->shutdownPlayer();
    window.reset();
    visibleTest.reset();
    torrentEngine.reset();
    logLine(QStringLiteral("exit %1").arg(code));
    return code;
}

// The web shell with its updater, which may start a verified installer once
// everything else has shut down.
int runWebShell(QApplication &app, const QCommandLineParser &parser, const AppConfig &cfg,
                const UpdaterConfig &updaterConfig, std::unique_ptr<TorrentEngine> &torrentEngine,
                ChainProvider *providers)
{
    TorrentEngine *engine = torrentEngine.get();
    auto window = std::make_unique<MainWindow>(cfg, engine, providers, false);
    std::unique_ptr<Updater> updater;
    if (parser.isSet(QStringLiteral("no-update"))) {
        logLine(QStringLiteral("update: checks off (--no-update)"));
    } else {
        updater = std::make_unique<Updater>(updaterConfig);
        window->setUpdater(updater.get(), false, 45000);
    }
    applyWindowOptions(window.get(), parser, true);
    closeOnTerminationSignals(window.get());
    if (parser.isSet(QStringLiteral("autoplay-hole-shots")))
        window->setHoleShotsDir(parser.value(QStringLiteral("autoplay-hole-shots")));
    if (parser.isSet(QStringLiteral("autoplay-test")))
        window->setAutoplayTest(parseInt64Lenient(parser.value(QStringLiteral("autoplay-test"))),
                                qMax(1, cfg.episode));
    window->show();
    const int code = app.exec();

    // Shutdown, in order: player objects, window, engine, updater.
    window->shutdownPlayer();
    window.reset();
    torrentEngine.reset(); // closes its torrents, waits for their removal, saves the DHT state
    if (updater) {
        QString launchError;
        if (!updater->preparedInstaller().isEmpty() &&
            !updater->launchPrepared(cfg.logDir + QStringLiteral("/update-install.log"), &launchError, nullptr))
            logLine(QStringLiteral("update: installer not started: ") + launchError);
        updater.reset();
    }
    logLine(QStringLiteral("exit %1").arg(code));
    return code;
}

// The main sequence, once the log runs. Each subsystem hooks in at its numbered step.
int runMainSequence(QApplication &app, const QCommandLineParser &parser, AppConfig &cfg)
{
    QString error;
    // 1. Fake free space (--fake-free-mb).
    const bool fakeFree = parser.isSet(QStringLiteral("fake-free-mb"));
    if (fakeFree)
        disk::setFakeFreeBytes(disk::mbToBytes(parseInt64Lenient(parser.value(QStringLiteral("fake-free-mb")))));
    // 2. Offline self-tests: --selftest-update, else --selftest-disk.
    if (parser.isSet(QStringLiteral("selftest-update")))
        return runUpdateSelfTest();
    if (parser.isSet(QStringLiteral("selftest-disk")))
        return disk::runDiskSelfTest();
    // 3. Updater configuration (--update-channel); the web shell's updater is
    // built from it too.
    UpdaterConfig updaterConfig;
    if (!updaterConfigFromOptions(parser, cfg.api, cfg.dataDir, &updaterConfig, &error)) {
        logLine(error);
        return 2;
    }
    // 4. --check-update.
    if (parser.isSet(QStringLiteral("check-update"))) {
        UpdateCliOptions updateCli;
        updateCli.config = updaterConfig;
        updateCli.download = parser.isSet(QStringLiteral("update-download"));
        return runUpdateCheck(updateCli);
    }
    // 5. --selftest needs something to play.
    if (cfg.selftest && cfg.playFixture.isEmpty() && cfg.animeId < 1) {
        logLine(QStringLiteral("--selftest needs --play-fixture <file> or --anime <id>"));
        return 2;
    }
    // 6. Cache folder. A test run with --cache-dir or fake free space must not
    // change the folder later normal starts keep using.
    cfg.cacheDir = disk::setupCacheLocation(cfg.dataDir, cfg.cacheDirOption, disk::mbToBytes(cfg.cacheMaxMb),
                                            cfg.cacheDirOption.isEmpty() && !fakeFree)
                       .dir;
    // 7. Torrent engine, which at once purges what earlier runs left in the cache.
    std::unique_ptr<TorrentEngine> torrentEngine;
    if (parser.isSet(QStringLiteral("no-torrent"))) {
        logLine(QStringLiteral("engine: off (--no-torrent)"));
    } else {
        EngineConfig engineConfig;
        engineConfig.stateDir = cfg.stateDir;
        engineConfig.cacheDir = cfg.cacheDir;
        engineConfig.cacheCapBytes = disk::mbToBytes(cfg.cacheMaxMb);
        engineConfig.testStorageError = parser.isSet(QStringLiteral("test-storage-error"));
        torrentEngine = std::make_unique<TorrentEngine>(engineConfig);
        torrentEngine->purgeCache();
    }
    TorrentEngine *engine = torrentEngine.get();
    // 8. Source providers. The chain outlives the window and the engine: it is
    // destroyed only when this function returns, after the exit line.
    FixtureProvider *fixtureProvider = nullptr;
    const std::unique_ptr<ChainProvider> providers(
        buildProviderChain(cfg.fixtures, cfg.playFixture, cfg.useApi, cfg.api, &fixtureProvider));
    logLine(QStringLiteral("sources: ") + providers->describe());
    // 9. Dispatch: player-only / self-test / web shell.
    const bool playerMode = !cfg.playFixture.isEmpty() || cfg.animeId >= 1;
    if (playerMode && !engine) {
        logLine(QStringLiteral("--no-torrent only works in the web mode"));
        return 2;
    }
    if (playerMode)
        return runPlayerMode(app, parser, cfg, torrentEngine, providers.get(), fixtureProvider);
    return runWebShell(app, parser, cfg, updaterConfig, torrentEngine, providers.get());
}

} // namespace

int runApp(int argc, char **argv)
{
    // 1. The version answer needs no application object and no display.
    if (hasRawArg(argc, argv, "--version", "-v")) {
        const QByteArray line = versionLine().toUtf8();
        std::fprintf(stdout, "%s\n", line.constData());
        std::fflush(stdout);
        return 0;
    }
    if (hasRawArg(argc, argv, "--smoke") || hasRawPrefix(argc, argv, "--smoke-ui"))
        installQtMessageHandler();

    // 2. Identity places the settings store the video options are remembered in.
    QCoreApplication::setOrganizationName(QStringLiteral("Sorvanta"));
    QCoreApplication::setApplicationName(QStringLiteral("SorvantaDesktop"));
    QCoreApplication::setApplicationVersion(QLatin1String(kAppVersion));
    // Ties the windows to the installed desktop entry (its icon and name in the shell).
    QGuiApplication::setDesktopFileName(QStringLiteral("tv.sorvanta.Desktop"));
    QString videoError;
    if (!resolveVideoOutput(argc, argv, &videoError)) {
        std::fprintf(stderr, "%s\n", videoError.toLocal8Bit().constData());
        return 2;
    }

    // 3.-5. Process-wide graphics set-up must precede the application object.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.debug=true\nqt.webenginecontext.info=true"));
    applyGraphicsDefaults();
    chooseWindowlessPlatform(argc, argv);
    const QString platformChoice = chooseDisplayPlatform(argc, argv);
    auto platformGuard = std::make_unique<PlatformFailureGuard>();
    QApplication app(argc, argv);
    platformGuard.reset();
    // libmpv refuses to start under a non-C numeric locale.
    std::setlocale(LC_NUMERIC, "C");

    // 6. Options.
    QCommandLineParser parser;
    registerOptions(parser);
    parser.process(app);

    // 7. Early modes (update-bar screenshot, smoke tests) end the process here.
    if (parser.isSet(QStringLiteral("update-bar-shot")))
        return runUpdateBarShot(parser.value(QStringLiteral("update-bar-shot")));
    if (parser.isSet(QStringLiteral("smoke")) || parser.isSet(QStringLiteral("smoke-ui"))) {
        SmokeOptions smoke;
        smoke.resourcesDir = resourcesDirFor(QCoreApplication::applicationDirPath());
        smoke.screenshot = parser.value(QStringLiteral("smoke-ui"));
        if (parser.isSet(QStringLiteral("max-wall")))
            smoke.maxWallSec = parseDoubleLenient(parser.value(QStringLiteral("max-wall")));
        if (!smoke.screenshot.isEmpty()) {
            const QFileInfo png(smoke.screenshot);
            smoke.mpvLog = png.dir().filePath(png.completeBaseName() + QStringLiteral("-mpv.log"));
        }
        return runSmoke(smoke);
    }

    // 8. Configuration.
    AppConfig cfg;
    QString error;
    if (!fillAppConfig(parser, resourcesDirFor(QCoreApplication::applicationDirPath()), &cfg, &error)) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 2;
    }

    // 9.-10. Data folder and log.
    setDataDir(&cfg, QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    QDir().mkpath(cfg.logDir);
    logStart(logFilePath(parser, cfg.logDir));
    installQtMessageHandler();

    // 11. Banner.
    logLine(QStringLiteral("Sorvanta Desktop %1, data %2").arg(QLatin1String(kAppVersion), cfg.dataDir));
    const QByteArray rhi = qgetenv("QSG_RHI_BACKEND");
    logLine(QStringLiteral("shell: %1; QSG_RHI_BACKEND=%2; app %3")
                .arg(videoOutput().describe(),
                     rhi.isEmpty() ? QStringLiteral("(default)") : QString::fromLocal8Bit(rhi),
                     QCoreApplication::applicationDirPath()));

    logLine(describeDisplayPlatform(platformChoice));

    return runMainSequence(app, parser, cfg);
}

} // namespace svd
