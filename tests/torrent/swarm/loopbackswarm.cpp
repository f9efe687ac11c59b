#include "tests/torrent/swarm/loopbackswarm.h"

#include "torrent/torrentengine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QThread>

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <chrono>
#include <thread>

namespace svd::swarm {

QString GeneratedTorrent::magnet(int peerPort) const
{
    QString m = QStringLiteral("magnet:?xt=urn:btih:%1&dn=%2").arg(infoHash, name);
    if (peerPort > 0)
        m += QStringLiteral("&x.pe=127.0.0.1:%1").arg(peerPort);
    return m;
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    const qint64 words = size / 4;
    gen.fillRange(reinterpret_cast<quint32 *>(out.data()), words);
    for (qint64 i = words * 4; i < size; ++i)
        out[i] = char(gen.generate() & 0xff);
    return out;
}

bool makeVideoClip(const QString &path, double seconds, QString *error)
{
    const QStringList common = {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                                QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                                QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25"),
                                QStringLiteral("-t"), QString::number(seconds)};
    const QList<QStringList> codecs = {
        {QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"),
         QStringLiteral("-g"), QStringLiteral("25")},
        {QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-g"), QStringLiteral("25")}};
    QString last;
    for (const QStringList &codec : codecs) {
        QProcess p;
        p.start(QStringLiteral("ffmpeg"), common + codec + QStringList{path});
        if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 &&
            QFileInfo(path).size() > 0)
            return true;
        last = QString::fromLocal8Bit(p.readAllStandardError()) + p.errorString();
    }
    if (error)
        *error = last;
    return false;
}

GeneratedTorrent makeTorrent(const QString &saveDir, const QString &name,
                             const std::vector<std::pair<QString, QByteArray>> &files, int pieceSize,
                             const QStringList &trackers)
{
    GeneratedTorrent t;
    t.saveDir = saveDir;
    t.name = name;
    lt::file_storage fs;
    for (const auto &[rel, data] : files) {
        const QString inTorrent = name + QLatin1Char('/') + rel;
        const QString full = QDir(saveDir).filePath(inTorrent);
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile f(full);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(data);
        fs.add_file(inTorrent.toStdString(), data.size());
        t.files.push_back({inTorrent, data});
    }
    lt::create_torrent ct(fs, pieceSize, lt::create_torrent::v1_only);
    for (int i = 0; i < trackers.size(); ++i)
        ct.add_tracker(trackers[i].toStdString(), i);
    lt::set_piece_hashes(ct, saveDir.toStdString());
    std::vector<char> buf;
    lt::bencode(std::back_inserter(buf), ct.generate());
    t.torrentBytes = QByteArray(buf.data(), qsizetype(buf.size()));
    lt::torrent_info ti(lt::span<char const>(buf.data(), buf.size()), lt::from_span);
    t.infoHash = TorrentEngine::infoHashKey(ti.info_hashes());
    return t;
}

namespace {

void limitLoopbackPeers(lt::session &s)
{
    lt::ip_filter f;
    const std::uint32_t global = 1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
    f.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
    f.add_rule(lt::make_address("::"), lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
    s.set_peer_class_filter(f);
}

} // namespace

Seeder::Seeder(const GeneratedTorrent &torrent, int uploadLimitBytesPerSec, bool checkData)
{
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    s.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    // A leecher that holds all it wants stays connected: tests look at its peers afterwards.
    s.set_bool(lt::settings_pack::close_redundant_connections, false);
    s.set_int(lt::settings_pack::alert_mask, 0);
    s.set_int(lt::settings_pack::upload_rate_limit, uploadLimitBytesPerSec);
    m_session = std::make_unique<lt::session>(lt::session_params(s));
    limitLoopbackPeers(*m_session);

    lt::add_torrent_params p;
    p.ti = std::make_shared<lt::torrent_info>(
        lt::span<char const>(torrent.torrentBytes.constData(), torrent.torrentBytes.size()), lt::from_span);
    p.save_path = torrent.saveDir.toStdString();
    if (!checkData)
        p.flags |= lt::torrent_flags::seed_mode;
    p.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    lt::torrent_handle h = m_session->add_torrent(std::move(p));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        m_port = m_session->listen_port();
        const lt::torrent_status st = h.status();
        const bool checked = st.state != lt::torrent_status::checking_files &&
                             st.state != lt::torrent_status::checking_resume_data;
        if (m_port > 0 && (st.is_seeding || (checkData && checked && st.num_pieces > 0))) {
            m_ready = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Seeder::~Seeder() = default;

void Seeder::setUploadLimit(int bytesPerSec)
{
    lt::settings_pack s;
    s.set_int(lt::settings_pack::upload_rate_limit, bytesPerSec);
    m_session->apply_settings(s);
}

void Seeder::closeRedundantConnections()
{
    lt::settings_pack s;
    s.set_bool(lt::settings_pack::close_redundant_connections, true);
    m_session->apply_settings(s);
}

void Seeder::acceptOnlyUtp()
{
    lt::settings_pack s;
    s.set_bool(lt::settings_pack::enable_incoming_tcp, false);
    m_session->apply_settings(s);
}

std::unique_ptr<Seeder> seedExisting(const QString &saveDir, const QString &torrentFile, int uploadLimitBytesPerSec)
{
    GeneratedTorrent seed;
    seed.saveDir = saveDir;
    QFile f(torrentFile);
    if (!f.open(QIODevice::ReadOnly))
        return nullptr;
    seed.torrentBytes = f.readAll();
    auto seeder = std::make_unique<Seeder>(seed, uploadLimitBytesPerSec);
    return seeder->ready() ? std::move(seeder) : nullptr;
}

void connectToSeeder(const lt::torrent_handle &handle, int port)
{
    try {
        handle.connect_peer(lt::tcp::endpoint(lt::make_address("127.0.0.1"), std::uint16_t(port)));
    } catch (const std::exception &) {
    }
}

Tracker::~Tracker()
{
    if (m_proc.state() != QProcess::NotRunning) {
        m_proc.kill();
        m_proc.waitForFinished(3000);
    }
}

bool Tracker::start(int port, const QStringList &infoHashes, const QString &workDir)
{
    QDir().mkpath(workDir);
    QFile list(QDir(workDir).filePath(QStringLiteral("whitelist")));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    list.write(infoHashes.join(QLatin1Char('\n')).toLatin1() + '\n');
    list.close();
    m_port = port;
    m_proc.setWorkingDirectory(workDir);
    m_proc.start(QStringLiteral("opentracker"),
                 {QStringLiteral("-i"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(port),
                  QStringLiteral("-P"), QString::number(port), QStringLiteral("-d"), workDir, QStringLiteral("-u"),
                  QStringLiteral("nobody"), QStringLiteral("-w"), QStringLiteral("whitelist")});
    if (!m_proc.waitForStarted(3000))
        return false;
    // Ready once it accepts connections.
    for (int i = 0; i < 100; ++i) {
        QTcpSocket sock;
        sock.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (sock.waitForConnected(100))
            return true;
        if (m_proc.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(30);
    }
    return false;
}

QString Tracker::announceUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/announce").arg(m_port);
}

} // namespace svd::swarm
