// svd-seeder: a BitTorrent seeder for the loopback demo swarm and the swarm lab,
// and a small fetch client that proves the swarm serves. Listens on 127.0.0.1
// only, with DHT, LSD, UPnP and NAT-PMP off; peers are found through the
// torrents' trackers (or given with --peer).
#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <exception>
#include <memory>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

struct SeedItem {
    QString torrentPath;
    QString savePath;
};

struct Transport {
    bool tcp = true;
    bool utp = true;
};

lt::settings_pack loopbackSettings(int uploadBytesPerSec, int port = 0, Transport transport = {},
                                   bool ipv6Loopback = false)
{
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces,
              (ipv6Loopback ? "[::1]:" : "127.0.0.1:") + std::to_string(port));
    s.set_bool(lt::settings_pack::enable_incoming_tcp, transport.tcp);
    s.set_bool(lt::settings_pack::enable_outgoing_tcp, transport.tcp);
    s.set_bool(lt::settings_pack::enable_incoming_utp, transport.utp);
    s.set_bool(lt::settings_pack::enable_outgoing_utp, transport.utp);
    s.set_bool(lt::settings_pack::enable_dht, false);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    // Every peer of the demo shares the address 127.0.0.1.
    s.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    s.set_int(lt::settings_pack::upload_rate_limit, uploadBytesPerSec);
    s.set_int(lt::settings_pack::alert_mask,
              static_cast<int>(static_cast<std::uint32_t>(lt::alert_category::error | lt::alert_category::tracker |
                                                          lt::alert_category::status)));
    return s;
}

// Loopback peers are exempt from rate limits unless they are in the global class.
void limitLoopbackPeersToo(lt::session &s)
{
    lt::ip_filter f;
    const std::uint32_t global = 1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
    f.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
    // The swarm lab's relays reach their seeders over ::1.
    f.add_rule(lt::make_address("::"), lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
    s.set_peer_class_filter(f);
}

// Every seedable source of a gen-episodes fixture: its .torrent and save path.
bool readFixture(const QString &path, QList<SeedItem> *items, QSet<QString> *seen)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "seeder: cannot open %s\n", qPrintable(path));
        return false;
    }
    const QString base = QFileInfo(path).absolutePath() + QLatin1Char('/');
    const QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();
    for (const QJsonValue &ep : doc.value(QLatin1String("episodes")).toArray()) {
        for (const QJsonValue &v : ep.toObject().value(QLatin1String("sources")).toArray()) {
            const QJsonObject src = v.toObject();
            const QString hash = src.value(QLatin1String("infoHash")).toString();
            const QString seedPath = src.value(QLatin1String("seedPath")).toString();
            if (seedPath.isEmpty() || hash.isEmpty() || seen->contains(hash))
                continue;
            seen->insert(hash);
            items->append({base + src.value(QLatin1String("torrentUrl")).toString(), base + seedPath});
        }
    }
    return true;
}

std::shared_ptr<lt::torrent_info> loadTorrent(const QString &path)
{
    try {
        return std::make_shared<lt::torrent_info>(QFile::encodeName(path).toStdString());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "seeder: %s: %s\n", qPrintable(path), e.what());
        return nullptr;
    }
}

int waitForListenPort(lt::session &s)
{
    for (int i = 0; i < 200 && s.listen_port() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return s.listen_port();
}

void logAlerts(lt::session &s, const char *name, bool *announced)
{
    std::vector<lt::alert *> alerts;
    s.pop_alerts(&alerts);
    for (lt::alert *a : alerts) {
        if (auto *e = lt::alert_cast<lt::tracker_error_alert>(a)) {
            std::printf("seeder %s: tracker error: %s\n", name, e->message().c_str());
        } else if (lt::alert_cast<lt::tracker_reply_alert>(a) && !*announced) {
            *announced = true;
            std::printf("seeder %s: announced\n", name);
        } else if (auto *f = lt::alert_cast<lt::file_error_alert>(a)) {
            std::printf("seeder %s: file error: %s\n", name, f->message().c_str());
        }
    }
    std::fflush(stdout);
}

struct SeedOptions {
    int uploadKbps = 0;
    int port = 0;
    bool ipv6Loopback = false;
    Transport transport;
    QString name;
};

int runSeeder(const QList<SeedItem> &items, const SeedOptions &o)
{
    if (items.isEmpty()) {
        std::fprintf(stderr, "seeder: nothing to seed\n");
        return 2;
    }
    const int uploadKbps = o.uploadKbps;
    lt::session session(lt::session_params(loopbackSettings(uploadKbps * 1000, o.port, o.transport, o.ipv6Loopback)));
    limitLoopbackPeersToo(session);
    for (const SeedItem &item : items) {
        std::shared_ptr<lt::torrent_info> ti = loadTorrent(item.torrentPath);
        if (!ti)
            return 2;
        lt::add_torrent_params atp;
        atp.ti = ti;
        atp.save_path = QFile::encodeName(item.savePath).toStdString();
        // The content was written by the generator next to its .torrent: no need to re-hash it.
        atp.flags |= lt::torrent_flags::seed_mode;
        atp.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
        lt::error_code ec;
        session.add_torrent(std::move(atp), ec);
        if (ec) {
            std::fprintf(stderr, "seeder: %s: %s\n", qPrintable(item.torrentPath), ec.message().c_str());
            return 2;
        }
    }
    const int port = waitForListenPort(session);
    if (port == 0) {
        std::fprintf(stderr, "seeder: cannot listen on 127.0.0.1\n");
        return 1;
    }
    const QByteArray tag = o.name.toUtf8();
    const char *transport = o.transport.tcp ? (o.transport.utp ? "tcp+utp" : "tcp") : "utp";
    std::printf("seeder %s: %s:%d, %lld torrents, upload limit %s, %s\n", tag.constData(),
                o.ipv6Loopback ? "[::1]" : "127.0.0.1", port,
                static_cast<long long>(items.size()),
                uploadKbps > 0 ? qPrintable(QStringLiteral("%1 KB/s").arg(uploadKbps)) : "none", transport);
    std::fflush(stdout);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    bool announced = false;
    while (!g_stop) {
        session.wait_for_alert(std::chrono::milliseconds(200));
        logAlerts(session, tag.constData(), &announced);
    }
    // Leaving the scope announces "stopped" to the tracker (bounded by libtorrent's stop timeout).
    return 0;
}

int runFetch(const QString &torrentPath, const QString &outDir, const QStringList &peers, bool noTrackers,
             int timeoutSec, Transport transport)
{
    std::shared_ptr<lt::torrent_info> ti = loadTorrent(torrentPath);
    if (!ti)
        return 2;
    if (noTrackers)
        ti->clear_trackers();
    lt::session session(lt::session_params(loopbackSettings(0, 0, transport)));
    lt::add_torrent_params atp;
    atp.ti = ti;
    atp.save_path = QFile::encodeName(outDir).toStdString();
    for (const QString &p : peers) {
        const qsizetype colon = p.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int port = p.mid(colon + 1).toInt(&ok);
        if (colon <= 0 || !ok || port < 1 || port > 65535) {
            std::fprintf(stderr, "fetch: bad --peer %s\n", qPrintable(p));
            return 2;
        }
        atp.peers.emplace_back(lt::make_address(p.left(colon).toStdString()), std::uint16_t(port));
    }
    lt::error_code ec;
    lt::torrent_handle h = session.add_torrent(std::move(atp), ec);
    if (ec) {
        std::fprintf(stderr, "fetch: %s\n", ec.message().c_str());
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    int maxPeers = 0;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    while (!g_stop && clock.elapsed() < qint64(timeoutSec) * 1000) {
        const lt::torrent_status st = h.status();
        maxPeers = qMax(maxPeers, st.num_peers);
        if (st.is_seeding) {
            std::printf("fetch: complete, %lld bytes in %.1f s, peers %d\n", static_cast<long long>(st.total_wanted),
                        double(clock.elapsed()) / 1000.0, maxPeers);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const lt::torrent_status st = h.status();
    std::printf("fetch: FAILED after %d s: %lld of %lld bytes, peers %d\n", timeoutSec,
                static_cast<long long>(st.total_wanted_done), static_cast<long long>(st.total_wanted), maxPeers);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svd-seeder"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Seeds every seedable source of gen-episodes fixtures (or one --torrent) on 127.0.0.1 (prints\n"
        "\"seeder NAME: 127.0.0.1:PORT, ...\" once listening; SIGTERM stops it), or with --fetch\n"
        "downloads one torrent from the loopback swarm and exits 0 once it is complete."));
    p.addHelpOption();
    p.addOption({QStringLiteral("fixture"), QStringLiteral("Fixture JSON to seed; repeatable."), QStringLiteral("file")});
    p.addOption({QStringLiteral("upload-kbps"), QStringLiteral("Upload limit in KB/s (0 = none)."), QStringLiteral("n"),
                 QStringLiteral("0")});
    p.addOption({QStringLiteral("name"), QStringLiteral("Name in the output lines."), QStringLiteral("text"),
                 QStringLiteral("1")});
    p.addOption({QStringLiteral("torrent"), QStringLiteral("Seed this .torrent (with --content) instead of fixtures."),
                 QStringLiteral("file")});
    p.addOption({QStringLiteral("content"), QStringLiteral("--torrent: folder holding the torrent's content."),
                 QStringLiteral("dir")});
    p.addOption({QStringLiteral("port"), QStringLiteral("Listen port (0 = any)."), QStringLiteral("n"),
                 QStringLiteral("0")});
    p.addOption({QStringLiteral("address"), QStringLiteral("Listen address: 127.0.0.1 (default) or ::1."),
                 QStringLiteral("addr"), QStringLiteral("127.0.0.1")});
    p.addOption({QStringLiteral("transport"), QStringLiteral("Peer transports (also --fetch): tcp, utp or both (default)."),
                 QStringLiteral("t"), QStringLiteral("both")});
    p.addOption({QStringLiteral("fetch"), QStringLiteral("Download this .torrent instead of seeding."),
                 QStringLiteral("file")});
    p.addOption({QStringLiteral("out"), QStringLiteral("--fetch: download folder."), QStringLiteral("dir")});
    p.addOption({QStringLiteral("peer"), QStringLiteral("--fetch: connect to ADDR:PORT; repeatable."),
                 QStringLiteral("addr")});
    p.addOption({QStringLiteral("no-trackers"), QStringLiteral("--fetch: ignore the torrent's trackers.")});
    p.addOption({QStringLiteral("timeout"), QStringLiteral("--fetch: give up after S seconds (60)."),
                 QStringLiteral("s"), QStringLiteral("60")});
    p.process(app);

    const QString transportName = p.value(QStringLiteral("transport"));
    Transport transport;
    transport.tcp = transportName != QLatin1String("utp");
    transport.utp = transportName != QLatin1String("tcp");
    if (transportName != QLatin1String("tcp") && transportName != QLatin1String("utp") &&
        transportName != QLatin1String("both")) {
        std::fprintf(stderr, "--transport must be tcp, utp or both\n");
        return 2;
    }
    bool ok = false;
    if (p.isSet(QStringLiteral("fetch"))) {
        const int timeout = p.value(QStringLiteral("timeout")).toInt(&ok);
        const QString out = p.value(QStringLiteral("out"));
        if (!ok || timeout < 1 || out.isEmpty() || !QDir().mkpath(out)) {
            std::fprintf(stderr, "--fetch needs --out DIR and a positive --timeout\n");
            return 2;
        }
        return runFetch(p.value(QStringLiteral("fetch")), out, p.values(QStringLiteral("peer")),
                        p.isSet(QStringLiteral("no-trackers")), timeout, transport);
    }
    const int kbps = p.value(QStringLiteral("upload-kbps")).toInt(&ok);
    if (!ok || kbps < 0 || kbps > 2000000) {
        std::fprintf(stderr, "--upload-kbps must be 0..2000000\n");
        return 2;
    }
    SeedOptions o;
    o.transport = transport;
    o.uploadKbps = kbps;
    o.name = p.value(QStringLiteral("name"));
    o.port = p.value(QStringLiteral("port")).toInt(&ok);
    if (!ok || o.port < 0 || o.port > 65535) {
        std::fprintf(stderr, "--port must be 0..65535\n");
        return 2;
    }
    const QString address = p.value(QStringLiteral("address"));
    o.ipv6Loopback = address == QLatin1String("::1");
    if (!o.ipv6Loopback && address != QLatin1String("127.0.0.1")) {
        std::fprintf(stderr, "--address must be 127.0.0.1 or ::1\n");
        return 2;
    }
    QList<SeedItem> items;
    if (p.isSet(QStringLiteral("torrent"))) {
        items.append({p.value(QStringLiteral("torrent")), p.value(QStringLiteral("content"))});
    } else if (p.isSet(QStringLiteral("fixture"))) {
        QSet<QString> seen;
        for (const QString &f : p.values(QStringLiteral("fixture")))
            if (!readFixture(f, &items, &seen))
                return 2;
    } else {
        std::fprintf(stderr, "--fixture or --torrent is required (or --fetch)\n");
        return 2;
    }
    return runSeeder(items, o);
}
