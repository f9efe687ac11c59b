// Stream benchmark on a loopback swarm: prints figures, asserts nothing.
//
//   bench_stream [--mib N] [--runs N]
//
// The parent generates an episode-sized file and its .torrent files (256 KiB and 2 MiB pieces),
// starts a seeder child process and, for each disk back end, a leecher child that measures
//   (a) open() -> first byte of the file readable (cold cache, fresh engine each run),
//   (b) read throughput through StreamTorrent::read of the downloaded file vs reading it from disk,
//   (c) time to first byte after jumping to 10 random positions not downloaded yet,
//   (d) CPU seconds per GiB streamed (leecher process only),
//   (e) peak RSS of the leecher,
// plus a reference in the same run: a plain full download of the same torrent.
// Everything stays on 127.0.0.1.

#include "tests/torrent/swarm/loopbackswarm.h"
#include "torrent/torrentengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <libtorrent/torrent_status.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace svd;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double peakRssMiB()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_maxrss) / 1024.0;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Reads [pos, pos + len) piece by piece; returns the bytes read.
qint64 streamRange(StreamTorrent &t, int reader, qint64 pos, qint64 len, QByteArray &buf)
{
    qint64 done = 0;
    while (done < len) {
        const qint64 n = t.read(reader, pos + done, buf.data(), std::min<qint64>(buf.size(), len - done), nullptr);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

EngineConfig benchConfig(const QString &root, DiskIoBackend backend)
{
    EngineConfig cfg;
    cfg.stateDir = root + QStringLiteral("/state");
    cfg.cacheDir = root + QStringLiteral("/cache");
    cfg.diskIo = backend;
    cfg.uploadRateLimit = 0;
    return cfg;
}

// The torrent opened on `engine`, its file wanted and the seeder at `port` its peer;
// null when the engine refuses it.
std::shared_ptr<StreamTorrent> openFromSeeder(TorrentEngine &engine, const QByteArray &torrent, int port)
{
    QString error;
    auto s = engine.open(torrent, QString(), &error);
    if (s) {
        s->addFile(0);
        swarm::connectToSeeder(s->handle(), port);
    }
    return s;
}

// (b), (d): the whole file streamed through a reader, then read again through a fresh
// reader and straight from the file on disk.
void measureStream(const QByteArray &torrent, const QString &root, int port, DiskIoBackend backend, qint64 fileSize,
                   QByteArray &buf, QJsonObject &out)
{
    TorrentEngine engine(benchConfig(root, backend));
    const auto s = openFromSeeder(engine, torrent, port);
    const int reader = s->openReader(0);
    const double cpu0 = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    const qint64 got = streamRange(*s, reader, 0, fileSize, buf);
    const double secs = double(timer.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    out[QStringLiteral("stream_mib_s")] = double(got) / kMiB / secs;
    out[QStringLiteral("cpu_s_per_gib")] = cpu / (double(got) / (1024.0 * kMiB));

    // (b) everything is on disk now: a fresh reader through the piece cache vs the file itself.
    const int again = s->openReader(0);
    timer.restart();
    streamRange(*s, again, 0, fileSize, buf);
    const double streamSecs = double(timer.nsecsElapsed()) / 1e9;
    const QString onDisk = QDir(s->downloadFolder()).filePath(s->filePath(0));
    timer.restart();
    QFile f(onDisk);
    qint64 fromDisk = 0;
    if (f.open(QIODevice::ReadOnly)) {
        for (qint64 n; (n = f.read(buf.data(), buf.size())) > 0;)
            fromDisk += n;
    }
    const double diskSecs = double(timer.nsecsElapsed()) / 1e9;
    out[QStringLiteral("reread_mib_s")] = double(fileSize) / kMiB / streamSecs;
    out[QStringLiteral("disk_mib_s")] = double(fromDisk) / kMiB / diskSecs;
    out[QStringLiteral("streamed_complete")] = got == fileSize;
    // With the mmap back end, pieces of files at priority 0 live in libtorrent's part file.
    out[QStringLiteral("file_is_plain")] = fromDisk == fileSize;
}

// (c): the first byte after each of 10 jumps to positions not downloaded yet.
void measureJumps(const QByteArray &torrent, const QString &root, int port, DiskIoBackend backend, qint64 fileSize,
                  QJsonObject &out)
{
    TorrentEngine engine(benchConfig(root, backend));
    const auto s = openFromSeeder(engine, torrent, port);
    const int reader = s->openReader(0);
    char byte;
    s->read(reader, 0, &byte, 1, nullptr);
    QRandomGenerator rng(42);
    std::vector<double> jumps;
    const qint64 tail = engine.config().streamParams.headTailBytes;
    for (int i = 9; i >= 0; --i) {
        // Positions between the head and the tail, each in its own region and visited backwards,
        // so the read-ahead window of one jump never covers the next.
        const qint64 span = (fileSize - 2 * tail) / 10;
        const qint64 pos = tail + i * span + qint64(rng.bounded(quint32(std::max<qint64>(span / 2, 1))));
        QElapsedTimer timer;
        timer.start();
        if (s->read(reader, pos, &byte, 1, nullptr) == 1)
            jumps.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    out[QStringLiteral("jump_first_byte_ms")] = median(jumps);
}

// Reference in the same run: a plain download of the whole torrent, no streaming priorities.
void measureFullDownload(const QByteArray &torrent, const QTemporaryDir &work, int port, DiskIoBackend backend,
                         int runs, QJsonObject &out)
{
    std::vector<double> full;
    for (int run = 0; run < std::max(1, runs / 2); ++run) {
        EngineConfig cfg = benchConfig(work.filePath(QStringLiteral("full%1").arg(run)), backend);
        TorrentEngine engine(cfg);
        QString error;
        QElapsedTimer timer;
        timer.start();
        auto s = engine.open(torrent, QString(), &error);
        s->handle().prioritize_files(std::vector<lt::download_priority_t>(1, lt::default_priority));
        swarm::connectToSeeder(s->handle(), port);
        while (!s->handle().status().is_seeding && timer.elapsed() < 600000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        full.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    out[QStringLiteral("full_download_ms")] = median(full);
}

// One leecher process: all figures for one back end and one piece size.
int leech(const QString &torrentPath, int port, DiskIoBackend backend, int runs)
{
    const QByteArray torrent = readFile(torrentPath);
    QTemporaryDir work;
    QJsonObject out;
    std::vector<double> firstByte;
    QByteArray buf(4 * int(kMiB), Qt::Uninitialized);
    qint64 fileSize = 0;

    for (int run = 0; run < runs; ++run) {
        TorrentEngine engine(benchConfig(work.filePath(QStringLiteral("a%1").arg(run)), backend));
        QElapsedTimer timer;
        timer.start();
        const auto s = openFromSeeder(engine, torrent, port);
        if (!s)
            return 1;
        const int reader = s->openReader(0);
        char byte;
        if (s->read(reader, 0, &byte, 1, nullptr) != 1)
            return 1;
        firstByte.push_back(double(timer.nsecsElapsed()) / 1e6);
        fileSize = s->fileSize(0);
    }
    out[QStringLiteral("first_byte_ms")] = median(firstByte);

    // Sequential stream of the whole file, then random jumps on a second torrent, then a re-read.
    measureStream(torrent, work.filePath(QStringLiteral("stream")), port, backend, fileSize, buf, out);
    measureJumps(torrent, work.filePath(QStringLiteral("jumps")), port, backend, fileSize, out);
    measureFullDownload(torrent, work, port, backend, runs, out);
    out[QStringLiteral("peak_rss_mib")] = peakRssMiB();
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}

int seed(const QString &torrentPath, const QString &saveDir)
{
    swarm::GeneratedTorrent t;
    t.saveDir = saveDir;
    t.torrentBytes = readFile(torrentPath);
    swarm::Seeder seeder(t);
    if (!seeder.ready())
        return 1;
    std::printf("%d\n", seeder.port());
    std::fflush(stdout);
    // Runs until the parent closes our stdin.
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
    return 0;
}

QJsonObject runChild(const QStringList &args)
{
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice()); // the engines' log lines
    p.start(QCoreApplication::applicationFilePath(), args);
    p.waitForFinished(-1);
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last()).object();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("SVD_LOOPBACK_ONLY", "1");
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto argValue = [&](const QString &name, int def) {
        const int i = args.indexOf(name);
        return i >= 0 && i + 1 < args.size() ? args[i + 1].toInt() : def;
    };
    if (args.size() >= 4 && args[1] == QLatin1String("--seed"))
        return seed(args[2], args[3]);
    if (args.size() >= 6 && args[1] == QLatin1String("--leech")) {
        return leech(args[2], args[3].toInt(),
                     args[4] == QLatin1String("mmap") ? DiskIoBackend::Mmap : DiskIoBackend::Posix, args[5].toInt());
    }

    const int mib = argValue(QStringLiteral("--mib"), 64);
    const int runs = argValue(QStringLiteral("--runs"), 5);
    QTemporaryDir dir;
    std::printf("stream benchmark: %d MiB file, %d runs per figure, loopback seeder in its own process\n", mib, runs);
    const QByteArray data = swarm::randomBytes(qint64(mib) * kMiB, 7);

    for (int pieceKiB : {256, 2048}) {
        const QString seedDir = dir.filePath(QStringLiteral("seed%1").arg(pieceKiB));
        const auto t = swarm::makeTorrent(seedDir, QStringLiteral("Episode"), {{QStringLiteral("episode.mkv"), data}},
                                          pieceKiB * 1024);
        const QString torrentPath = dir.filePath(QStringLiteral("ep%1.torrent").arg(pieceKiB));
        QFile tf(torrentPath);
        tf.open(QIODevice::WriteOnly);
        tf.write(t.torrentBytes);
        tf.close();

        QProcess seeder;
        seeder.setStandardErrorFile(QProcess::nullDevice());
        seeder.start(app.applicationFilePath(), {QStringLiteral("--seed"), torrentPath, seedDir});
        seeder.waitForReadyRead(30000);
        const int port = seeder.readLine().trimmed().toInt();
        if (port <= 0) {
            std::fprintf(stderr, "seeder did not start\n");
            return 1;
        }
        std::printf("\npieces %d KiB:\n", pieceKiB);
        std::printf("  %-6s %10s %10s %9s %10s %10s %10s %9s %9s %8s\n", "disk", "1st byte", "full dl", "ratio",
                    "jump 1st", "stream", "re-read", "file", "CPU s/GiB", "peak RSS");
        for (const char *backend : {"posix", "mmap"}) {
            QJsonObject r = runChild({QStringLiteral("--leech"), torrentPath, QString::number(port),
                                            QLatin1String(backend), QString::number(runs)});
            if (r.isEmpty()) {
                std::printf("  %-6s failed\n", backend);
                continue;
            }
            if (!r.value(QStringLiteral("streamed_complete")).toBool())
                std::printf("  %-6s (incomplete stream; figures below are suspect)\n", backend);
            if (!r.value(QStringLiteral("file_is_plain")).toBool())
                std::printf("  %-6s (no plain file on disk: the data sits in libtorrent's part file)\n", backend);
            auto d = [&](const char *k) { return r.value(QLatin1String(k)).toDouble(); };
            std::printf("  %-6s %8.0fms %8.0fms %9.3f %8.0fms %6.0fMiB/s %6.0fMiB/s %5.0fMiB/s %9.2f %6.0fMiB\n",
                        backend, d("first_byte_ms"), d("full_download_ms"), d("first_byte_ms") / d("full_download_ms"),
                        d("jump_first_byte_ms"), d("stream_mib_s"), d("reread_mib_s"), d("disk_mib_s"),
                        d("cpu_s_per_gib"), d("peak_rss_mib"));
            std::fflush(stdout);
        }
        seeder.closeWriteChannel();
        if (!seeder.waitForFinished(10000))
            seeder.kill();
    }
    std::printf("\n1st byte: open() to the first byte readable (median); full dl: plain download of the whole\n"
                "torrent (median, same run); ratio = 1st byte / full dl; jump 1st: first byte after a jump to a\n"
                "part not downloaded (median of 10); stream: sequential read while downloading; re-read: the\n"
                "downloaded file through StreamTorrent::read; file: the same file read from disk.\n");
    return 0;
}
