#include "app/options.h"

#include <QDir>
#include <QFileInfo>

namespace svd {

int parseIntLenient(const QString &text)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    return ok ? v : 0;
}

qint64 parseInt64Lenient(const QString &text)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok, 10);
    return ok ? v : 0;
}

double parseDoubleLenient(const QString &text)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    return ok ? v : 0.0;
}

namespace {

struct OptionDef {
    const char *name;
    const char *valueName; // null: a switch
    QString help;
    bool hidden;
};

QList<OptionDef> optionTable()
{
    auto s = [](const char *t) { return QString::fromUtf8(t); };
    return {
        {"video-mode", "mode",
         s("Video output: wid (Windows default), window (macOS default: own GL window), glwidget (composed with "
           "the page; Qt Quick on OpenGL) or auto; remembered."),
         false},
        {"mac-video-mode", "mode", s("Same as --video-mode (window | glwidget | auto)."), false},
        {"video-flip", "mode",
         s("Vertical flip of the render-API video: auto (default), on or off; remembered. Use off/on if the "
           "picture is upside down."),
         false},
        {"autoplay-hole-shots", "dir",
         s("DEV: with --autoplay-test, cut a dropdown-sized hole into the playing overlay and save screenshots + "
           "a hit test into this folder."),
         true},
        {"site", "url", s("Website to host (default ") + defaultSiteUrl() + s(")."), false},
        {"api", "url", s("Backend API base (default ") + defaultApiUrl() + s(")."), false},
        {"no-api", nullptr, s("Do not query the backend API (fixtures only)."), false},
        {"fixtures", "path", s("Fixture file or directory (dev mode); repeatable. Tried before the API."), false},
        {"dev", nullptr, s("Dev mode: fixtures from <app>/fixtures and the bridge test page."), false},
        {"test-page", nullptr, s("Load the bundled bridge test page instead of the site."), false},
        {"play-fixture", "file", s("Play an episode from a fixture file in a player-only window."), false},
        {"anime", "id", s("Play / self-test this anime id from the sources (API) in a player-only window."), false},
        {"episode", "n", s("Episode number for --play-fixture / --selftest."), false},
        {"dub", "label", s("Preferred dub (label, studio or id)."), false},
        {"switch-dub", "label", s("--selftest: dub to switch to (default: auto)."), false},
        {"selftest", nullptr, s("Headless self-test on --play-fixture; exit code 0 = pass."), false},
        {"show", nullptr, s("--selftest with a visible player window."), false},
        {"start-timeout", "s", s("Seconds to wait for playback before trying the next source (45)."), false},
        {"no-peers-timeout", "s", s("Seconds without any peer before trying the next source (30)."), false},
        {"max-wall", "s", s("--selftest wall-clock cap in seconds (240)."), false},
        {"max-mb", "mb", s("--selftest download cap in MB (800)."), false},
        {"cache-max-mb", "mb", s("Cache size cap in MB (4096)."), false},
        {"observe", "s", s("--selftest: seconds to watch after start (20)."), false},
        {"selftest-out", "file", s("Write the self-test JSON result to this file."), false},
        {"binge", "n", s("--selftest: play n episodes back to back (seek, dub change, natural end) and report growth."),
         false},
        {"binge-speed", "x", s("--selftest --binge: playback speed (1)."), false},
        {"log", "file", s("Log file (default <data>/logs/last.log)."), false},
        {"no-http-cache", nullptr,
         s("Disable Qt WebEngine's HTTP cache (always off for a localhost / 127.0.0.1 --site)."), false},
        {"pause-observe", "s", s("--selftest: seconds paused at the end, checking read-ahead (20; 0 = skip)."),
         false},
        {"smoke", nullptr,
         s("Load check without network (Qt, resources, libtorrent version, headless mpv); exit 0 = ok."), false},
        {"smoke-ui", "png",
         s("--smoke plus a window: web view + video overlay playing a test source; saves a screenshot."), false},
        {"no-update", nullptr, s("Do not check for updates."), false},
        {"check-update", nullptr,
         s("Check for an update once, print the decision and exit (0 up to date, 10 available, 11 manual "
           "download, 4 rejected, 2 error, 3 download failed)."),
         false},
        {"update-download", nullptr, s("--check-update: also download and verify the installer (never runs it)."),
         false},
        {"update-url", "url", s("Update API base for the updater only (signatures are still checked)."), false},
        {"update-channel", "channel", s("Update channel: stable (default) or beta."), false},
        {"update-test-key", "base64",
         s("TEST: verify updates with this Ed25519 public key instead of the built-in one; only with an "
           "--update-url on 127.0.0.1 or [::1]."),
         true},
        {"selftest-update", nullptr, s("Offline updater tests (Ed25519 vectors, manifest checks); exit 0 = pass."),
         false},
        {"update-bar-shot", "png", s("Render the update bar + dialog to PNG files (no window) and exit."), false},
        {"cache-dir", "dir", s("Streaming cache folder (default: chosen by free space, see README)."), false},
        {"fake-free-mb", "mb",
         s("TEST: pretend the cache (and update) volume has this many MB free (with an empty cache)."), false},
        {"selftest-disk", nullptr, s("Offline tests of the cache cap / cache location rules; exit 0 = pass."), false},
        {"test-storage-error", nullptr, s("TEST: make every torrent's first cache write fail."), true},
        {"lite", "mode",
         s("Page lite mode for weak / software-rendered GPUs: on, off or auto (default; remembered)."), false},
        {"video-level", "n", s("mpv renderer step 0-4 or auto (default; remembered per machine), see README."),
         false},
        {"page-tweaks", "list", s("DEV: force page tweaks (anim,backdrop,filter,video | all | none)."), true},
        {"perf-interval", "s", s("DEV: log process CPU every S seconds."), true},
        {"quit-after", "s", s("DEV: close the window after S seconds."), true},
        {"window-geometry", "geom", s("DEV: x,y,w,h of the window, shown without activating it."), true},
        {"no-torrent", nullptr, s("DEV: no torrent engine (measures the shell alone)."), true},
        {"autoplay-test", "id",
         s("DEV: once the page has loaded, start playback of this anime id (--episode) through the bridge as the "
           "site would, with the player box at the given CSS rect."),
         true},
        {"max-down-kbps", "kbps",
         s("Streaming download limit: 0 = policy (default), N = steady N KB/s (bursts stay), off = never "
           "limited."),
         false},
        {"update-max-kbps", "kbps",
         s("Updater download limit in KB/s (default: 2000 in the background, unlimited for --check-update; 0 = "
           "unlimited)."),
         false},
    };
}

} // namespace

void registerOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Sorvanta Desktop: website shell + native torrent-streaming player"));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const OptionDef &d : optionTable()) {
        QCommandLineOption opt(QString::fromLatin1(d.name), d.help);
        if (d.valueName)
            opt.setValueName(QString::fromLatin1(d.valueName));
        if (d.hidden)
            opt.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(opt);
    }
}

void setDataDir(AppConfig *cfg, const QString &dataDir)
{
    cfg->dataDir = dataDir;
    cfg->cacheDir = dataDir + QStringLiteral("/torrent-cache");
    cfg->stateDir = dataDir + QStringLiteral("/state");
    cfg->logDir = dataDir + QStringLiteral("/logs");
}

bool fillAppConfig(const QCommandLineParser &p, const QString &resourcesDir, AppConfig *cfg, QString *error)
{
    auto has = [&](const char *n) { return p.isSet(QString::fromLatin1(n)); };
    auto val = [&](const char *n) { return p.value(QString::fromLatin1(n)); };

    cfg->site = QUrl::fromUserInput(has("site") ? val("site") : defaultSiteUrl());
    cfg->api = QUrl(has("api") ? val("api") : defaultApiUrl());
    cfg->fixtures = p.values(QStringLiteral("fixtures"));
    if (has("dev"))
        cfg->fixtures << resourcesDir + QStringLiteral("/fixtures");
    cfg->useApi = !has("no-api");
    cfg->testPage = has("dev") || has("test-page");
    cfg->noHttpCache = has("no-http-cache");
    cfg->selftest = has("selftest");
    cfg->startTimeoutSec = cfg->selftest ? 180 : 45;
    if (has("start-timeout"))
        cfg->startTimeoutSec = parseIntLenient(val("start-timeout"));
    cfg->noPeersTimeoutSec = cfg->selftest ? 90 : 30;
    if (has("no-peers-timeout"))
        cfg->noPeersTimeoutSec = parseIntLenient(val("no-peers-timeout"));
    if (has("cache-max-mb"))
        cfg->cacheMaxMb = parseInt64Lenient(val("cache-max-mb"));
    cfg->cacheDirOption = val("cache-dir");
    if (has("max-down-kbps")) {
        const QString v = val("max-down-kbps").trimmed();
        if (v.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
            cfg->maxDownKbps = -1;
        } else {
            const int n = parseIntLenient(v);
            cfg->maxDownKbps = n < 0 ? -1 : n;
        }
    }
    if (has("perf-interval"))
        cfg->perfIntervalSec = parseDoubleLenient(val("perf-interval"));
    cfg->lite = val("lite").toLower();
    if (!cfg->lite.isEmpty() && cfg->lite != QLatin1String("on") && cfg->lite != QLatin1String("off") &&
        cfg->lite != QLatin1String("auto")) {
        if (error)
            *error = QStringLiteral("--lite must be on, off or auto");
        return false;
    }
    cfg->pageTweaks = val("page-tweaks");
    cfg->videoLevel = val("video-level").toLower();
    cfg->playFixture = val("play-fixture");
    if (has("anime"))
        cfg->animeId = parseInt64Lenient(val("anime"));
    if (has("episode"))
        cfg->episode = parseIntLenient(val("episode"));
    cfg->dub = val("dub");
    cfg->switchDub = val("switch-dub");
    cfg->selftestShow = has("show");
    if (has("max-wall"))
        cfg->maxWallSec = parseDoubleLenient(val("max-wall"));
    if (has("max-mb"))
        cfg->maxMb = parseDoubleLenient(val("max-mb"));
    if (has("observe"))
        cfg->observeSec = parseDoubleLenient(val("observe"));
    if (has("pause-observe"))
        cfg->pauseObserveSec = parseDoubleLenient(val("pause-observe"));
    cfg->selftestOut = val("selftest-out");
    if (has("binge"))
        cfg->bingeEpisodes = qMax(0, parseIntLenient(val("binge")));
    if (has("binge-speed"))
        cfg->bingeSpeed = qBound(0.25, parseDoubleLenient(val("binge-speed")), 16.0);
    return true;
}

QString logFilePath(const QCommandLineParser &p, const QString &logDir)
{
    if (p.isSet(QStringLiteral("log")))
        return p.value(QStringLiteral("log"));
    if (p.isSet(QStringLiteral("check-update")) || p.isSet(QStringLiteral("selftest-update")))
        return logDir + QStringLiteral("/update-check.log");
    return logDir + QStringLiteral("/last.log");
}

QString resourcesDirFor(const QString &appDir)
{
    // A macOS bundle keeps them in Contents/Resources; an installed Linux
    // program in <prefix>/share/sorvanta-desktop next to <prefix>/bin.
    for (const QLatin1String rel : {QLatin1String("/../Resources"), QLatin1String("/../share/sorvanta-desktop")}) {
        const QString res = QDir::cleanPath(appDir + rel);
        if (QFileInfo(res).isDir())
            return res;
    }
    return appDir;
}

} // namespace svd
