// gen-episodes: deterministic test episodes with their .torrent files and a
// fixture JSON. Media is cached per (episode, duration, size, bitrate) so that
// repeated test runs only re-create the cheap parts, and a finished output
// folder is reused as is when it was made with the same parameters.
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/entry.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/file_storage.hpp>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>
#include <exception>
#include <iterator>
#include <vector>

namespace {

// Bump when the media or layout changes, so cached outputs are rebuilt.
constexpr const char kGenVersion[] = "gen-episodes/3";

struct SourceSpec {
    QString id;
    int pieceKiB = 256;
    bool dead = false; // its content is not kept: nobody can seed it
};

struct Params {
    QString out;
    QString cache;
    QString ffmpeg = QStringLiteral("ffmpeg");
    qint64 animeId = 900001;
    QString title = QStringLiteral("Gen Test");
    int firstEpisode = 1;
    int episodes = 1;
    QList<SourceSpec> sources;
    QStringList announce;
    int durationSec = 64;
    int height = 480;
    int videoKbps = 600;
    bool force = false;

    QString key() const
    {
        QStringList parts{QLatin1String(kGenVersion), QString::number(animeId), title,
                          QString::number(firstEpisode), QString::number(episodes),
                          QString::number(durationSec), QString::number(height), QString::number(videoKbps)};
        for (const SourceSpec &s : sources)
            parts << s.id + QLatin1Char(':') + QString::number(s.pieceKiB) + (s.dead ? QStringLiteral(":dead") : QString());
        parts << announce;
        return parts.join(QLatin1Char('\n'));
    }
};

// Thrown inside this program only; main() turns it into exit code 1.
struct Failure {
    QString text;
};

[[noreturn]] void fail(const QString &text)
{
    throw Failure{text};
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        fail(QStringLiteral("cannot write ") + path);
}

void runFfmpeg(const Params &p, const QStringList &args)
{
    QProcess proc;
    proc.setProcessChannelMode(QProcess::MergedChannels);
    QStringList all{QStringLiteral("-nostdin"), QStringLiteral("-y"), QStringLiteral("-hide_banner"),
                    QStringLiteral("-loglevel"), QStringLiteral("error")};
    all << args;
    proc.start(p.ffmpeg, all);
    if (!proc.waitForStarted(10000))
        fail(QStringLiteral("cannot start ") + p.ffmpeg);
    if (!proc.waitForFinished(600000) || proc.exitStatus() != QProcess::NormalExit || proc.exitCode() != 0)
        fail(QStringLiteral("ffmpeg failed: ") + QString::fromLocal8Bit(proc.readAll()));
}

QString epText(int episode)
{
    return QStringLiteral("%1").arg(episode, 2, 10, QLatin1Char('0'));
}

QByteArray assFile(int episode, bool signsOnly, int durationSec)
{
    QByteArray s =
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 854\nPlayResY: 480\n\n"
        "[V4+ Styles]\n"
        "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
        "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
        "MarginL, MarginR, MarginV, Encoding\n"
        "Style: Default,Sans,28,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,0,2,10,10,20,1\n"
        "Style: Sign,Sans,24,&H0000FFFF,&H000000FF,&H00000000,&H00000000,1,0,0,0,100,100,0,0,1,2,0,8,10,10,20,1\n\n"
        "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    for (int t = 0; t + 4 <= durationSec; t += 4) {
        const QByteArray start = QStringLiteral("0:%1:%2.00").arg(t / 60, 2, 10, QLatin1Char('0')).arg(t % 60, 2, 10, QLatin1Char('0')).toLatin1();
        const int e = t + 3;
        const QByteArray end = QStringLiteral("0:%1:%2.00").arg(e / 60, 2, 10, QLatin1Char('0')).arg(e % 60, 2, 10, QLatin1Char('0')).toLatin1();
        if (signsOnly) {
            if (t % 12 == 0)
                s += "Dialogue: 0," + start + ',' + end + ",Sign,,0,0,0,,НАДПИСЬ " + QByteArray::number(t) + "\n";
        } else {
            s += "Dialogue: 0," + start + ',' + end + ",Default,,0,0,0,,Серия " + QByteArray::number(episode) +
                 ", реплика " + QByteArray::number(t / 4 + 1) + "\n";
        }
    }
    return s;
}

struct EpisodeMedia {
    QString video; // .mkv with rus + jpn audio, full + forced signs subtitles
    QString dub;   // .mka, the external Russian dub
    QString subs;  // .ass, the external full Russian subtitles
    QString signs; // .ass, the external Russian signs-only subtitles
};

EpisodeMedia episodeMedia(const Params &p, int episode)
{
    const QString key = QStringLiteral("%1-ep%2-%3s-%4p-%5k")
                            .arg(QString::fromLatin1(kGenVersion).section(QLatin1Char('/'), -1))
                            .arg(episode)
                            .arg(p.durationSec)
                            .arg(p.height)
                            .arg(p.videoKbps);
    const QString dir = p.cache + QStringLiteral("/media-") + key;
    EpisodeMedia m{dir + QStringLiteral("/video.mkv"), dir + QStringLiteral("/dub.mka"),
                   dir + QStringLiteral("/subs.ass"), dir + QStringLiteral("/signs.ass")};
    if (QFileInfo::exists(m.video) && QFileInfo::exists(m.dub) && QFileInfo::exists(m.subs))
        return m;
    if (!QDir().mkpath(dir))
        fail(QStringLiteral("cannot create ") + dir);
    // Tests running side by side may want the same episode.
    QLockFile lock(dir + QStringLiteral("/.lock"));
    lock.setStaleLockTime(0);
    if (!lock.lock())
        fail(QStringLiteral("cannot lock ") + dir);
    if (QFileInfo::exists(m.video) && QFileInfo::exists(m.dub) && QFileInfo::exists(m.subs))
        return m;

    const QString full = dir + QStringLiteral("/full.ass");
    const QString signs = dir + QStringLiteral("/signs.ass");
    writeFile(full, assFile(episode, false, p.durationSec));
    writeFile(signs, assFile(episode, true, p.durationSec));
    const int width = (p.height * 16 / 9) & ~1;
    const QString dur = QString::number(p.durationSec);
    const QStringList bitexact{QStringLiteral("-map_metadata"), QStringLiteral("-1"), QStringLiteral("-map_chapters"),
                               QStringLiteral("-1"), QStringLiteral("-fflags"), QStringLiteral("+bitexact"),
                               QStringLiteral("-flags"), QStringLiteral("+bitexact")};
    const QString s = QStringLiteral("-metadata:s:");
    QStringList video{
        QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
        QStringLiteral("testsrc2=size=%1x%2:rate=24:duration=%3").arg(width).arg(p.height).arg(dur),
        QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
        QStringLiteral("sine=frequency=%1:sample_rate=48000:duration=%2").arg(400 + 20 * episode).arg(dur),
        QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
        QStringLiteral("sine=frequency=%1:sample_rate=48000:duration=%2").arg(700 + 20 * episode).arg(dur),
        QStringLiteral("-i"), full, QStringLiteral("-i"), signs,
        QStringLiteral("-map"), QStringLiteral("0:v"), QStringLiteral("-map"), QStringLiteral("1:a"),
        QStringLiteral("-map"), QStringLiteral("2:a"), QStringLiteral("-map"), QStringLiteral("3:s"),
        QStringLiteral("-map"), QStringLiteral("4:s"),
        // A different tint per episode keeps the episodes' bytes apart.
        QStringLiteral("-vf"), QStringLiteral("hue=h=%1").arg((episode * 47) % 360),
        QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("veryfast"),
        // One thread: frame-threaded rate control is not repeatable here, and
        // x264 writes its thread count into the stream.
        QStringLiteral("-threads"), QStringLiteral("1"), QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
        QStringLiteral("-b:v"), QStringLiteral("%1k").arg(p.videoKbps), QStringLiteral("-g"), QStringLiteral("48"),
        QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"), QStringLiteral("64k"),
        QStringLiteral("-c:s"), QStringLiteral("copy"),
        s + QStringLiteral("a:0"), QStringLiteral("language=rus"), s + QStringLiteral("a:0"), QStringLiteral("title=AniDub"),
        s + QStringLiteral("a:1"), QStringLiteral("language=jpn"), s + QStringLiteral("a:1"), QStringLiteral("title=Original"),
        s + QStringLiteral("s:0"), QStringLiteral("language=rus"), s + QStringLiteral("s:0"), QStringLiteral("title=Полные"),
        s + QStringLiteral("s:1"), QStringLiteral("language=rus"), s + QStringLiteral("s:1"), QStringLiteral("title=Надписи"),
        QStringLiteral("-disposition:a:0"), QStringLiteral("default"), QStringLiteral("-disposition:a:1"), QStringLiteral("0"),
        QStringLiteral("-disposition:s:0"), QStringLiteral("default"), QStringLiteral("-disposition:s:1"), QStringLiteral("forced")};
    video << bitexact << QStringLiteral("-f") << QStringLiteral("matroska") << m.video + QStringLiteral(".part");
    runFfmpeg(p, video);

    QStringList dub{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                    QStringLiteral("sine=frequency=%1:sample_rate=48000:duration=%2").arg(550 + 20 * episode).arg(dur),
                    QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"), QStringLiteral("64k"),
                    s + QStringLiteral("a:0"), QStringLiteral("language=rus"), s + QStringLiteral("a:0"),
                    QStringLiteral("title=StudioBand")};
    dub << bitexact << QStringLiteral("-f") << QStringLiteral("matroska") << m.dub + QStringLiteral(".part");
    runFfmpeg(p, dub);

    // Renames come last: a present video.mkv means the whole set is complete.
    QFile::remove(m.subs);
    QFile::remove(m.dub);
    if (!QFile::copy(full, m.subs) || !QFile::rename(m.dub + QStringLiteral(".part"), m.dub))
        fail(QStringLiteral("cannot finish ") + dir);
    QFile::remove(m.video);
    if (!QFile::rename(m.video + QStringLiteral(".part"), m.video))
        fail(QStringLiteral("cannot finish ") + dir);
    return m;
}

struct TorrentFile {
    QString relPath; // below the torrent's root folder
    QString source;  // cached media file to copy
    qint64 size = 0;
};

struct BuiltTorrent {
    QString infoHash;
    QString root;
    QByteArray bytes;
    QStringList paths; // file paths inside the torrent, root included, by index
    QList<qint64> sizes;
    qint64 totalSize = 0;
};

BuiltTorrent buildTorrent(const Params &p, const SourceSpec &spec, const QList<TorrentFile> &files,
                          const QString &stagingDir)
{
    BuiltTorrent t;
    t.root = QStringLiteral("%1 [%2]").arg(p.title, spec.id);
    QList<TorrentFile> sorted = files;
    std::sort(sorted.begin(), sorted.end(),
              [](const TorrentFile &a, const TorrentFile &b) { return a.relPath < b.relPath; });
    lt::file_storage fs;
    for (const TorrentFile &f : sorted) {
        const QString inTorrent = t.root + QLatin1Char('/') + f.relPath;
        const QString target = stagingDir + QLatin1Char('/') + inTorrent;
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!QFile::copy(f.source, target))
            fail(QStringLiteral("cannot copy to ") + target);
        fs.add_file(inTorrent.toStdString(), f.size);
        t.paths << inTorrent;
        t.sizes << f.size;
        t.totalSize += f.size;
    }
    try {
        lt::create_torrent ct(fs, spec.pieceKiB * 1024, lt::create_torrent::v1_only);
        int tier = 0;
        for (const QString &a : p.announce)
            ct.add_tracker(a.toStdString(), tier++);
        ct.set_creator("gen-episodes");
        ct.set_creation_date(0);
        lt::error_code ec;
        lt::set_piece_hashes(ct, stagingDir.toStdString(), ec);
        if (ec)
            fail(QStringLiteral("hashing failed: ") + QString::fromStdString(ec.message()));
        const lt::entry e = ct.generate();
        std::vector<char> buf;
        lt::bencode(std::back_inserter(buf), e);
        t.bytes = QByteArray(buf.data(), qsizetype(buf.size()));
        std::vector<char> info;
        lt::bencode(std::back_inserter(info), e["info"]);
        t.infoHash = QString::fromLatin1(
            QCryptographicHash::hash(QByteArray(info.data(), qsizetype(info.size())), QCryptographicHash::Sha1).toHex());
    } catch (const std::exception &ex) {
        fail(QStringLiteral("create_torrent: ") + QString::fromLocal8Bit(ex.what()));
    }
    return t;
}

QString magnetFor(const Params &p, const BuiltTorrent &t)
{
    QString m = QStringLiteral("magnet:?xt=urn:btih:") + t.infoHash + QStringLiteral("&dn=") +
                QString::fromLatin1(QUrl::toPercentEncoding(t.root));
    for (const QString &a : p.announce)
        m += QStringLiteral("&tr=") + QString::fromLatin1(QUrl::toPercentEncoding(a));
    return m;
}

// The title's three dubs: two tracks inside the video, one external file.
QJsonArray dubsFor(const BuiltTorrent &t, int dubFile)
{
    return QJsonArray{
        QJsonObject{{QStringLiteral("id"), QStringLiteral("anidub")}, {QStringLiteral("label"), QStringLiteral("AniDub")},
                    {QStringLiteral("studio"), QStringLiteral("AniDub")}, {QStringLiteral("lang"), QStringLiteral("rus")},
                    {QStringLiteral("kind"), QStringLiteral("dub")}, {QStringLiteral("origin"), QStringLiteral("embedded")},
                    {QStringLiteral("trackNo"), 1}, {QStringLiteral("isDefault"), true},
                    {QStringLiteral("audioFileIndex"), -1}, {QStringLiteral("audioFilePath"), QString()}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("original")}, {QStringLiteral("label"), QStringLiteral("Оригинал")},
                    {QStringLiteral("studio"), QString()}, {QStringLiteral("lang"), QStringLiteral("jpn")},
                    {QStringLiteral("kind"), QStringLiteral("original")}, {QStringLiteral("origin"), QStringLiteral("embedded")},
                    {QStringLiteral("trackNo"), 2}, {QStringLiteral("isDefault"), false},
                    {QStringLiteral("audioFileIndex"), -1}, {QStringLiteral("audioFilePath"), QString()}},
        QJsonObject{{QStringLiteral("id"), QStringLiteral("studioband")}, {QStringLiteral("label"), QStringLiteral("StudioBand")},
                    {QStringLiteral("studio"), QStringLiteral("StudioBand")}, {QStringLiteral("lang"), QStringLiteral("rus")},
                    {QStringLiteral("kind"), QStringLiteral("dub")}, {QStringLiteral("origin"), QStringLiteral("external")},
                    {QStringLiteral("trackNo"), -1}, {QStringLiteral("isDefault"), false},
                    {QStringLiteral("audioFileIndex"), dubFile}, {QStringLiteral("audioFilePath"), t.paths.value(dubFile)}}};
}

// Full and signs-only subtitles, each inside the video and as an external file.
QJsonArray subsFor(const BuiltTorrent &t, int subFile, int signsFile)
{
    return QJsonArray{
        QJsonObject{{QStringLiteral("label"), QStringLiteral("Русские (полные)")}, {QStringLiteral("lang"), QStringLiteral("rus")},
                    {QStringLiteral("origin"), QStringLiteral("embedded")}, {QStringLiteral("trackNo"), 1},
                    {QStringLiteral("fileIndex"), -1}, {QStringLiteral("filePath"), QString()},
                    {QStringLiteral("isDefault"), true}, {QStringLiteral("isForced"), false}},
        QJsonObject{{QStringLiteral("label"), QStringLiteral("Русские (надписи)")}, {QStringLiteral("lang"), QStringLiteral("rus")},
                    {QStringLiteral("origin"), QStringLiteral("embedded")}, {QStringLiteral("trackNo"), 2},
                    {QStringLiteral("fileIndex"), -1}, {QStringLiteral("filePath"), QString()},
                    {QStringLiteral("isDefault"), false}, {QStringLiteral("isForced"), true}},
        QJsonObject{{QStringLiteral("label"), QStringLiteral("Русские (внешние)")}, {QStringLiteral("lang"), QStringLiteral("rus")},
                    {QStringLiteral("origin"), QStringLiteral("external")}, {QStringLiteral("trackNo"), -1},
                    {QStringLiteral("fileIndex"), subFile}, {QStringLiteral("filePath"), t.paths.value(subFile)},
                    {QStringLiteral("isDefault"), false}, {QStringLiteral("isForced"), false}},
        QJsonObject{{QStringLiteral("label"), QStringLiteral("Русские надписи (внешние)")}, {QStringLiteral("lang"), QStringLiteral("rus")},
                    {QStringLiteral("origin"), QStringLiteral("external")}, {QStringLiteral("trackNo"), -1},
                    {QStringLiteral("fileIndex"), signsFile}, {QStringLiteral("filePath"), t.paths.value(signsFile)},
                    {QStringLiteral("isDefault"), false}, {QStringLiteral("isForced"), true}}};
}

// One source of an episode in the fixture: the torrent `t` and where in it the
// episode's video, dub and subtitles are.
QJsonObject sourceEntry(const Params &p, const SourceSpec &spec, const BuiltTorrent &t, const QString &base,
                        int rank)
{
    const QString root = t.root + QLatin1Char('/');
    const int video = int(t.paths.indexOf(root + base + QStringLiteral(".mkv")));
    const int dubFile = int(t.paths.indexOf(root + QStringLiteral("Audio/StudioBand/") + base + QStringLiteral(".mka")));
    const int subFile = int(t.paths.indexOf(root + QStringLiteral("Subs/RUS/") + base + QStringLiteral(".ass")));
    const int signsFile = int(t.paths.indexOf(root + QStringLiteral("Subs/Signs/") + base + QStringLiteral(".ass")));
    const QJsonArray dubs = dubsFor(t, dubFile);
    const QJsonArray subs = subsFor(t, subFile, signsFile);
    return QJsonObject{
        {QStringLiteral("id"), spec.id},
        {QStringLiteral("provider"), QStringLiteral("gen-episodes")},
        {QStringLiteral("label"), QStringLiteral("%1 %2p").arg(spec.id).arg(p.height)},
        {QStringLiteral("quality"), QStringLiteral("%1p").arg(p.height)},
        {QStringLiteral("codec"), QStringLiteral("h264")},
        {QStringLiteral("fileSize"), double(t.sizes.value(video))},
        {QStringLiteral("seeders"), spec.dead ? 0 : 1},
        {QStringLiteral("pieceLength"), spec.pieceKiB * 1024},
        {QStringLiteral("infoHash"), t.infoHash},
        {QStringLiteral("magnet"), magnetFor(p, t)},
        {QStringLiteral("torrentUrl"), QStringLiteral("torrents/") + t.infoHash + QStringLiteral(".torrent")},
        {QStringLiteral("fileIndex"), video},
        {QStringLiteral("filePath"), t.paths.value(video)},
        {QStringLiteral("score"), 1.0 - 0.1 * rank},
        {QStringLiteral("dubs"), dubs},
        {QStringLiteral("subtitles"), subs},
        {QStringLiteral("releaseGroup"), QStringLiteral("GenTest")},
        {QStringLiteral("seedersCheckedAt"), QStringLiteral("2024-01-01T00:00:00Z")},
        {QStringLiteral("totalSize"), double(t.totalSize)},
        {QStringLiteral("leechers"), 0},
        // Not part of the sources schema (ignored by parsers): where a
        // test finds the content to seed, relative to the fixture.
        {QStringLiteral("seedPath"), spec.dead ? QString() : QStringLiteral("seed/") + t.infoHash},
    };
}

QString generate(const Params &p)
{
    const QString outDir = QDir(p.out).absolutePath();
    const QString fixturePath = outDir + QStringLiteral("/fixture.json");
    const QString keyPath = outDir + QStringLiteral("/.gen-key");
    if (!QDir().mkpath(outDir))
        fail(QStringLiteral("cannot create ") + outDir);
    QLockFile lock(outDir + QStringLiteral("/.lock"));
    lock.setStaleLockTime(0);
    if (!lock.lock())
        fail(QStringLiteral("cannot lock ") + outDir);
    {
        QFile k(keyPath);
        if (!p.force && QFileInfo::exists(fixturePath) && k.open(QIODevice::ReadOnly) &&
            k.readAll() == p.key().toUtf8())
            return fixturePath;
    }
    QFile::remove(keyPath);
    QFile::remove(fixturePath);
    QDir(outDir + QStringLiteral("/seed")).removeRecursively();
    QDir(outDir + QStringLiteral("/torrents")).removeRecursively();
    QDir().mkpath(outDir + QStringLiteral("/torrents"));
    QDir().mkpath(outDir + QStringLiteral("/seed"));

    const QString name = p.title;
    QList<TorrentFile> files;
    for (int i = 0; i < p.episodes; ++i) {
        const int ep = p.firstEpisode + i;
        const EpisodeMedia m = episodeMedia(p, ep);
        const QString base = QStringLiteral("%1 - %2").arg(name, epText(ep));
        files.append({base + QStringLiteral(".mkv"), m.video, QFileInfo(m.video).size()});
        files.append({QStringLiteral("Audio/StudioBand/") + base + QStringLiteral(".mka"), m.dub, QFileInfo(m.dub).size()});
        files.append({QStringLiteral("Subs/RUS/") + base + QStringLiteral(".ass"), m.subs, QFileInfo(m.subs).size()});
        files.append({QStringLiteral("Subs/Signs/") + base + QStringLiteral(".ass"), m.signs, QFileInfo(m.signs).size()});
    }

    QList<QPair<SourceSpec, BuiltTorrent>> built;
    for (const SourceSpec &spec : p.sources) {
        const QString staging = outDir + QStringLiteral("/seed/.staging-") + spec.id;
        QDir(staging).removeRecursively();
        BuiltTorrent t = buildTorrent(p, spec, files, staging);
        writeFile(outDir + QStringLiteral("/torrents/") + t.infoHash + QStringLiteral(".torrent"), t.bytes);
        if (spec.dead) {
            QDir(staging).removeRecursively();
        } else {
            const QString seed = outDir + QStringLiteral("/seed/") + t.infoHash;
            QDir(seed).removeRecursively();
            if (!QDir().rename(staging, seed))
                fail(QStringLiteral("cannot rename ") + staging);
        }
        built.append({spec, t});
    }

    QJsonArray episodes;
    for (int i = 0; i < p.episodes; ++i) {
        const int ep = p.firstEpisode + i;
        const QString base = QStringLiteral("%1 - %2").arg(name, epText(ep));
        QJsonArray sources;
        int rank = 0;
        for (const auto &[spec, t] : built) {
            sources.append(sourceEntry(p, spec, t, base, rank));
            ++rank;
        }
        episodes.append(QJsonObject{{QStringLiteral("animeId"), double(p.animeId)},
                                    {QStringLiteral("episode"), ep},
                                    {QStringLiteral("title"), p.title},
                                    {QStringLiteral("blocked"), false},
                                    {QStringLiteral("sources"), sources}});
    }
    const QJsonObject doc{{QStringLiteral("animeId"), double(p.animeId)},
                          {QStringLiteral("fixture"), QJsonObject{{QStringLiteral("title"), p.title}}},
                          {QStringLiteral("episodes"), episodes}};
    writeFile(fixturePath, QJsonDocument(doc).toJson(QJsonDocument::Indented));
    writeFile(keyPath, p.key().toUtf8());
    return fixturePath;
}

void addOptions(QCommandLineParser &cp)
{
    cp.setApplicationDescription(QStringLiteral(
        "Generates deterministic test episodes: per episode an MKV (H.264, two audio tracks rus/jpn,\n"
        "full and forced signs-only Russian subtitles), an external dub (.mka) and full and signs-only\n"
        "subtitles (.ass) in sub-folders; one multi-episode torrent per source; and a fixture JSON.\n"
        "Output: DIR/fixture.json, DIR/torrents/<hash>.torrent, DIR/seed/<hash>/<root>/... (content\n"
        "to seed with save path DIR/seed/<hash>; not written for --dead sources).\n"
        "Prints the absolute fixture path. Reuses DIR when it was made with the same options and\n"
        "caches encoded media in --cache."));
    cp.addHelpOption();
    cp.addOption({QStringLiteral("out"), QStringLiteral("Output folder (required)."), QStringLiteral("dir")});
    cp.addOption({QStringLiteral("anime"), QStringLiteral("Title id (default 900001)."), QStringLiteral("id"), QStringLiteral("900001")});
    cp.addOption({QStringLiteral("title"), QStringLiteral("Title text, also the file name stem (default \"Gen Test\")."),
                  QStringLiteral("text"), QStringLiteral("Gen Test")});
    cp.addOption({QStringLiteral("first-episode"), QStringLiteral("Number of the first episode (default 1)."), QStringLiteral("n"), QStringLiteral("1")});
    cp.addOption({QStringLiteral("episodes"), QStringLiteral("Episodes in each torrent (default 1)."), QStringLiteral("n"), QStringLiteral("1")});
    cp.addOption({QStringLiteral("sources"),
                  QStringLiteral("Sources in fixture order: ID[:PIECEKIB][:dead],... (default \"a\"). Each is its own "
                                 "torrent; a dead one has no seed content."),
                  QStringLiteral("list"), QStringLiteral("a")});
    cp.addOption({QStringLiteral("piece-kib"), QStringLiteral("Default piece size in KiB (default 256)."), QStringLiteral("n"), QStringLiteral("256")});
    cp.addOption({QStringLiteral("announce"), QStringLiteral("Tracker URL; repeatable."), QStringLiteral("url")});
    cp.addOption({QStringLiteral("duration"), QStringLiteral("Seconds per episode (default 64)."), QStringLiteral("s"), QStringLiteral("64")});
    cp.addOption({QStringLiteral("height"), QStringLiteral("Video height, 16:9 (default 480)."), QStringLiteral("px"), QStringLiteral("480")});
    cp.addOption({QStringLiteral("video-kbps"), QStringLiteral("Video bitrate (default 600)."), QStringLiteral("n"), QStringLiteral("600")});
    cp.addOption({QStringLiteral("cache"),
                  QStringLiteral("Media cache (default $SVD_TEST_MEDIA_CACHE or ~/.cache/sorvanta-test-media)."),
                  QStringLiteral("dir")});
    cp.addOption({QStringLiteral("ffmpeg"), QStringLiteral("ffmpeg binary (default ffmpeg)."), QStringLiteral("path"), QStringLiteral("ffmpeg")});
    cp.addOption({QStringLiteral("force"), QStringLiteral("Rebuild the output folder even when it is current.")});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("gen-episodes"));
    QCommandLineParser cp;
    addOptions(cp);
    cp.process(app);

    Params p;
    auto number = [&](const char *name, int lo, int hi, int *out) {
        bool ok = false;
        const int v = cp.value(QLatin1String(name)).toInt(&ok);
        if (!ok || v < lo || v > hi) {
            std::fprintf(stderr, "--%s must be %d..%d\n", name, lo, hi);
            return false;
        }
        *out = v;
        return true;
    };
    int pieceKiB = 256;
    bool ok = number("first-episode", 0, 100000, &p.firstEpisode) && number("episodes", 1, 50, &p.episodes) &&
              number("piece-kib", 16, 16384, &pieceKiB) && number("duration", 2, 1800, &p.durationSec) &&
              number("height", 144, 1080, &p.height) && number("video-kbps", 50, 20000, &p.videoKbps);
    if (!ok)
        return 2;
    p.out = cp.value(QStringLiteral("out"));
    if (p.out.isEmpty()) {
        std::fprintf(stderr, "--out is required\n");
        return 2;
    }
    p.animeId = cp.value(QStringLiteral("anime")).toLongLong(&ok);
    if (!ok || p.animeId < 1) {
        std::fprintf(stderr, "--anime must be a positive integer\n");
        return 2;
    }
    p.title = cp.value(QStringLiteral("title"));
    if (p.title.isEmpty() || p.title.contains(QLatin1Char('/'))) {
        std::fprintf(stderr, "--title must be non-empty and without '/'\n");
        return 2;
    }
    p.announce = cp.values(QStringLiteral("announce"));
    p.ffmpeg = cp.value(QStringLiteral("ffmpeg"));
    p.force = cp.isSet(QStringLiteral("force"));
    p.cache = cp.value(QStringLiteral("cache"));
    if (p.cache.isEmpty())
        p.cache = qEnvironmentVariable("SVD_TEST_MEDIA_CACHE");
    if (p.cache.isEmpty())
        p.cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                  QStringLiteral("/sorvanta-test-media");
    QStringList seen;
    for (const QString &item : cp.value(QStringLiteral("sources")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(QLatin1Char(':'));
        SourceSpec s;
        s.id = parts.value(0).trimmed();
        s.pieceKiB = pieceKiB;
        bool good = !s.id.isEmpty() && !s.id.contains(QLatin1Char('/')) && !seen.contains(s.id);
        for (qsizetype i = 1; good && i < parts.size(); ++i) {
            if (parts.at(i) == QLatin1String("dead"))
                s.dead = true;
            else
                s.pieceKiB = parts.at(i).toInt(&good);
        }
        // libtorrent wants a power of two of at least 16 KiB.
        if (!good || s.pieceKiB < 16 || (s.pieceKiB & (s.pieceKiB - 1)) != 0) {
            std::fprintf(stderr, "bad source '%s' (ID[:PIECEKIB][:dead], piece size a power of two >= 16)\n",
                         item.toLocal8Bit().constData());
            return 2;
        }
        seen << s.id;
        p.sources.append(s);
    }
    if (p.sources.isEmpty()) {
        std::fprintf(stderr, "--sources is empty\n");
        return 2;
    }
    if ((pieceKiB & (pieceKiB - 1)) != 0) {
        std::fprintf(stderr, "--piece-kib must be a power of two\n");
        return 2;
    }

    try {
        const QString fixture = generate(p);
        std::printf("%s\n", fixture.toUtf8().constData());
        return 0;
    } catch (const Failure &f) {
        std::fprintf(stderr, "gen-episodes: %s\n", f.text.toLocal8Bit().constData());
        return 1;
    }
}
