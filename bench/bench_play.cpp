// Playback benchmark on a loopback swarm: prints figures, asserts nothing.
//
//   bench_play [--runs N] [--peerflix PATH/TO/peerflix/app.js]
//
// For a generated episode in two torrents (256 KiB and 2 MiB pieces), each run uses a fresh
// engine and cache folder (cold cache) and measures
//   - time to first frame: PlaybackController::play() -> playbackStarted,
//   - seek resume: "seek 50 absolute-percent" -> the player's playback-restart,
// with the phases of each start (sources resolved, first peer, first piece, file loaded).
// References in the same run: `mpv --vo=null --ao=null --frames=1` on the same file from local
// disk (and with --start=50%), and optionally peerflix streaming from the same seeder into mpv.
// Everything stays on 127.0.0.1 (SVD_LOOPBACK_ONLY=1).

#include "base/log.h"
#include "player/mpvplayer.h"
#include "player/playbackcontroller.h"
#include "sources/apiprovider.h"
#include "tests/common/genepisodes.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "tools/backend/testbackend.h"
#include "torrent/streamtorrent.h"
#include "torrent/torrentengine.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <functional>
#include <memory>

using namespace svd;

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs the event loop until `done` or the time-out; a short timer keeps the loop waking up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QTimer wake;
    wake.start(5);
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

int freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Wall-clock seconds of one mpv run; -1 when it failed.
double runMpv(const QStringList &extra, const QString &target)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral("mpv"), QStringList{QStringLiteral("--no-config"), QStringLiteral("--really-quiet"),
                                               QStringLiteral("--vo=null"), QStringLiteral("--ao=null"),
                                               QStringLiteral("--frames=1")} +
                                       extra + QStringList{target});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return -1;
    return double(t.nsecsElapsed()) / 1e9;
}

struct Source {
    QString label;
    long long animeId = 0;
    QString infoHash;
    QString torrentPath;
    QString localFile;
    std::unique_ptr<swarm::Seeder> seeder;
    std::vector<double> ttff, seek, mpvDisk, mpvDiskSeek, peerTtff, peerSeek;
    // Phases, seconds after play().
    std::vector<double> resolved, firstPeer, firstPiece, headTail, loaded;
};

QString findLocalFile(const QString &seedDir, const QString &filePath)
{
    const QString direct = seedDir + QLatin1Char('/') + filePath;
    if (QFileInfo::exists(direct))
        return direct;
    const QString name = QFileInfo(filePath).fileName();
    QDirIterator it(seedDir, {name}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

// One cold start and one seek through the controller; false when it did not play.
bool measureOurs(Source &src, SourceProvider *provider, const QString &root)
{
    EngineConfig cfg;
    cfg.stateDir = root + QStringLiteral("/state");
    cfg.cacheDir = root + QStringLiteral("/cache");
    applyLoopbackOnly(&cfg);
    TorrentEngine engine(cfg);
    MpvPlayer player;
    MpvPlayer::InitOptions o;
    o.headless = true;
    if (!player.init(o, &engine))
        return false;
    PlaybackOptions opts;
    auto ctl = std::make_unique<PlaybackController>(&engine, provider, &player, opts);

    double t0 = 0, resolvedAt = -1, loadedAt = -1, started = -1;
    const int port = src.seeder->port();
    // Nothing but loopback: the seeder is introduced by hand once the torrent exists.
    auto introduce = [&] {
        if (ctl->torrent())
            swarm::connectToSeeder(ctl->torrent()->handle(), port);
    };
    QObject::connect(ctl.get(), &PlaybackController::stateChanged, ctl.get(),
                     [&](PlaybackController::State s, const QString &) {
                         if (s == PlaybackController::LoadingTorrent && resolvedAt < 0)
                             resolvedAt = logClock() - t0;
                         if (s == PlaybackController::Connecting || s == PlaybackController::Buffering)
                             introduce();
                     });
    QObject::connect(ctl.get(), &PlaybackController::statsChanged, ctl.get(), introduce);
    QObject::connect(&player, &MpvPlayer::fileLoaded, ctl.get(), [&] {
        if (loadedAt < 0)
            loadedAt = logClock() - t0;
    });
    QObject::connect(ctl.get(), &PlaybackController::playbackStarted, ctl.get(),
                     [&](double sincePlay, double) { started = sincePlay; });
    bool failed = false;
    QObject::connect(ctl.get(), &PlaybackController::noTorrentSource, ctl.get(), [&] { failed = true; });

    t0 = logClock();
    ctl->play(src.animeId, 1, QString(), QString());
    const bool ok = waitFor([&] { return started >= 0 || failed; }, 60000) && started >= 0;
    if (ok) {
        src.ttff.push_back(started);
        src.resolved.push_back(resolvedAt);
        src.loaded.push_back(loadedAt);
        if (auto t = ctl->torrent()) {
            const StreamTorrent::Events ev = t->events();
            src.firstPeer.push_back(ev.firstPeerAt < 0 ? -1 : ev.firstPeerAt - t0);
            src.firstPiece.push_back(ev.firstPieceAt < 0 ? -1 : ev.firstPieceAt - t0);
            src.headTail.push_back(ev.headTailDoneAt < 0 ? -1 : ev.headTailDoneAt - t0);
        }
        // Seek at once: on loopback the rest of the file arrives within seconds, and the jump
        // should land where nothing has been downloaded yet.
        bool restarted = false;
        QObject::connect(&player, &MpvPlayer::playbackRestart, ctl.get(), [&] { restarted = true; });
        QElapsedTimer seek;
        seek.start();
        player.command({QStringLiteral("seek"), QStringLiteral("50"), QStringLiteral("absolute-percent")});
        if (waitFor([&] { return restarted; }, 60000))
            src.seek.push_back(double(seek.nsecsElapsed()) / 1e9);
    }
    ctl->stop();
    ctl.reset();
    player.destroy();
    return ok;
}

// peerflix from the same seeder, then mpv on its HTTP URL: cold start to first frame, and a
// second mpv starting at 50 % while peerflix still runs.
void measurePeerflix(Source &src, const QString &app, const QString &root)
{
    const int httpPort = freePort();
    QProcess pf;
    pf.setProcessChannelMode(QProcess::MergedChannels);
    pf.setStandardOutputFile(root + QStringLiteral("/peerflix.log"));
    QElapsedTimer t;
    t.start();
    pf.start(QStringLiteral("node"),
             {app, src.torrentPath, QStringLiteral("--no-dht"), QStringLiteral("--no-tracker"),
              QStringLiteral("--hostname"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
              QString::number(httpPort), QStringLiteral("--peer"),
              QStringLiteral("127.0.0.1:%1").arg(src.seeder->port()), QStringLiteral("--path"),
              root + QStringLiteral("/pf"), QStringLiteral("--quiet")});
    if (!pf.waitForStarted(10000))
        return;
    bool listening = false;
    while (!listening && t.elapsed() < 30000 && pf.state() == QProcess::Running) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, quint16(httpPort));
        listening = s.waitForConnected(200);
        if (!listening)
            QThread::msleep(5);
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1/").arg(httpPort);
    if (listening && runMpv({}, url) >= 0) {
        src.peerTtff.push_back(double(t.nsecsElapsed()) / 1e9);
        const double seek = runMpv({QStringLiteral("--start=50%")}, url);
        if (seek >= 0)
            src.peerSeek.push_back(seek);
    }
    pf.terminate();
    if (!pf.waitForFinished(3000)) {
        pf.kill();
        pf.waitForFinished(3000);
    }
}

QString fmt(double v)
{
    return v < 0 ? QStringLiteral("   n/a") : QString::asprintf("%6.3f", v);
}

QString ratio(double a, double b)
{
    return a <= 0 || b <= 0 ? QStringLiteral("n/a") : QString::asprintf("%.2fx", a / b);
}

void print(const QString &s)
{
    std::printf("%s\n", s.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("SVD_LOOPBACK_ONLY", "1");
    QCoreApplication app(argc, argv);
    // libmpv refuses to start under a non-C numeric locale.
    std::setlocale(LC_NUMERIC, "C");

    int runs = 3;
    QString peerflixApp;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--peerflix") && i + 1 < args.size())
            peerflixApp = args[++i];
    }
    QTemporaryDir work;
    // The controller's own log lines (phases and start times) go to this file.
    const QString binDir = qEnvironmentVariable("SVD_BINARY_DIR");
    const QString logPath = (binDir.isEmpty() ? work.path() : binDir) + QStringLiteral("/bench-play.log");
    QFile::remove(logPath);
    logStart(logPath);

    auto gen = test::generateEpisodes(QStringLiteral("bench-play"),
                                      {QStringLiteral("--sources"), QStringLiteral("p256:256,p2m:2048"),
                                       QStringLiteral("--height"), QStringLiteral("720"),
                                       QStringLiteral("--video-kbps"), QStringLiteral("2500")});
    if (!gen.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(gen.error));
        return 1;
    }

    TestBackend backend;
    if (!backend.listen())
        return 1;
    std::vector<std::unique_ptr<Source>> sources;
    long long anime = 910001;
    for (const QString &id : {QStringLiteral("p256"), QStringLiteral("p2m")}) {
        auto src = std::make_unique<Source>();
        QJsonObject s = gen.source(1, id);
        src->label = id == QLatin1String("p256") ? QStringLiteral("256 KiB") : QStringLiteral("2 MiB");
        src->animeId = anime++;
        src->infoHash = s.value(QStringLiteral("infoHash")).toString();
        src->torrentPath = gen.torrentPath(src->infoHash);
        src->localFile = findLocalFile(gen.seedDir(src->infoHash), s.value(QStringLiteral("filePath")).toString());
        s.insert(QStringLiteral("torrentUrl"), QString()); // fetched from /api/torrents/<hash>/file
        src->seeder = swarm::seedExisting(gen.seedDir(src->infoHash), src->torrentPath);
        if (!src->seeder || src->localFile.isEmpty())
            return 1;
        backend.setTorrentFile(src->infoHash, src->torrentPath);
        backend.setEpisode(src->animeId, 1,
                           {{QStringLiteral("animeId"), double(src->animeId)},
                            {QStringLiteral("episode"), 1},
                            {QStringLiteral("title"), QStringLiteral("Bench")},
                            {QStringLiteral("blocked"), false},
                            {QStringLiteral("sources"), QJsonArray{s}}});
        sources.push_back(std::move(src));
    }
    ApiProvider provider(backend.baseUrl());

    int runNo = 0;
    for (int run = 0; run < runs; ++run) {
        for (auto &src : sources) {
            const QString root = work.filePath(QStringLiteral("run%1").arg(runNo++));
            if (!measureOurs(*src, &provider, root))
                std::fprintf(stderr, "bench_play: %s run %d did not start\n", qPrintable(src->label), run);
            if (const double d = runMpv({}, src->localFile); d >= 0)
                src->mpvDisk.push_back(d);
            if (const double d = runMpv({QStringLiteral("--start=50%")}, src->localFile); d >= 0)
                src->mpvDiskSeek.push_back(d);
            if (!peerflixApp.isEmpty())
                measurePeerflix(*src, peerflixApp, root);
        }
    }

    print(QStringLiteral("\nbench_play: %1 run(s), medians in seconds; file %2 MiB")
              .arg(runs)
              .arg(double(QFileInfo(sources.front()->localFile).size()) / 1048576.0, 0, 'f', 1));
    for (const auto &src : sources) {
        const double ttff = median(src->ttff), seek = median(src->seek);
        const double disk = median(src->mpvDisk), diskSeek = median(src->mpvDiskSeek);
        const double peer = median(src->peerTtff), peerSeek = median(src->peerSeek);
        print(QStringLiteral("\n[%1 pieces]").arg(src->label));
        print(QStringLiteral("  ours  first frame %1   phases: sources %2, first peer %3, first piece %4, "
                             "head+tail %5, file loaded %6")
                  .arg(fmt(ttff), fmt(median(src->resolved)), fmt(median(src->firstPeer)),
                       fmt(median(src->firstPiece)), fmt(median(src->headTail)), fmt(median(src->loaded))));
        print(QStringLiteral("  ours  seek 50%   %1").arg(fmt(seek)));
        print(QStringLiteral("  mpv from disk   first frame %1   --start=50% %2 (whole process)")
                  .arg(fmt(disk), fmt(diskSeek)));
        print(QStringLiteral("  peerflix + mpv  first frame %1   second mpv --start=50% %2")
                  .arg(fmt(peer), fmt(peerSeek)));
        print(QStringLiteral("  ratios: ours / mpv-disk %1 (goal <= 2x), peerflix / ours %2 (goal >= 2x); "
                             "seek: ours / mpv-disk-start50 %3, peerflix-start50 / ours %4")
                  .arg(ratio(ttff, disk), ratio(peer, ttff), ratio(seek, diskSeek), ratio(peerSeek, seek)));
    }
    print(QStringLiteral("\nlog: %1").arg(logPath));
    return 0;
}
