// svd-seeder: a BitTorrent seeder for the loopback demo swarm and the swarm lab,
// and a small fetch client that proves the swarm serves. Listens on 127.0.0.1
// only, with LSD, UPnP and NAT-PMP off; peers are found through the torrents'
// trackers (or given with --peer). The swarm lab also makes it a peer holding part
// of a torrent (--have), a seeder with few unchoke slots, a DHT node on 127.0.0.1
// (--dht-node) or a seeder announcing there (--dht-bootstrap).
#include <libtorrent/alert_types.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/peer_info.hpp>
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
        } else if (auto *l = lt::alert_cast<lt::peer_log_alert>(a)) {
            std::printf("seeder %s: %s\n", name, l->message().c_str());
        } else if (auto *g = lt::alert_cast<lt::peer_disconnected_alert>(a)) {
            // Only with --status (the mask): why a peer of a lab scenario went.
            std::printf("seeder %s: peer gone: %s\n", name, g->message().c_str());
        } else if (auto *d = lt::alert_cast<lt::dht_announce_alert>(a)) {
            // A node heard a peer announce itself: the lab checks every seeder reached the DHT.
            std::printf("seeder %s: dht announce %s:%d\n", name, d->ip.to_string().c_str(), d->port);
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
    QString have;         // pieces held, e.g. "0-3,7"; empty: all of them
    int unchokeSlots = 0; // 0: libtorrent's default
    int optimisticFirstSec = 0; // > 0: see OptimisticPhase
    QString dhtBootstrap; // DHT on, bootstrapped from these 127.0.0.1 nodes
    bool dhtNode = false; // a DHT node only: no torrent
    bool status = false;  // a "status" line whenever the peers' picture changes
};

// The fingerprint of --fetch sessions: a seeder's status names the unchoked peers by it.
constexpr char kFetchFingerprint[] = "-LF1000-";

// The lab's own settings on top of loopbackSettings(): unchoke slots and the loopback DHT.
void applyLabSettings(lt::settings_pack &s, const SeedOptions &o)
{
    if (o.unchokeSlots > 0) {
        s.set_int(lt::settings_pack::unchoke_slots_limit, o.unchokeSlots);
        // No allowed-fast pieces: every lab peer shares 127.0.0.1, so each seeder would grant
        // every newcomer the same five pieces, and whether they hold the head of the file (and
        // the wait for a slot counts at all) would follow from the info-hash alone.
        s.set_int(lt::settings_pack::allowed_fast_set_size, 0);
    }
    if (o.status)
        s.set_int(lt::settings_pack::alert_mask, s.get_int(lt::settings_pack::alert_mask) |
                                                     static_cast<int>(static_cast<std::uint32_t>(lt::alert_category::connect)));
    // Every message to and from the peers, for finding out why one went (many lines a second).
    if (qEnvironmentVariableIsSet("SVD_SEEDER_PEER_LOG"))
        s.set_int(lt::settings_pack::alert_mask, s.get_int(lt::settings_pack::alert_mask) |
                                                     static_cast<int>(static_cast<std::uint32_t>(lt::alert_category::peer_log)));
    // Rounds every second until the slot is held (OptimisticPhase).
    if (o.optimisticFirstSec > 0) {
        s.set_int(lt::settings_pack::unchoke_interval, 1);
        s.set_int(lt::settings_pack::optimistic_unchoke_interval, 1);
    }
    if (o.dhtBootstrap.isEmpty() && !o.dhtNode)
        return;
    s.set_bool(lt::settings_pack::enable_dht, true);
    s.set_str(lt::settings_pack::dht_bootstrap_nodes, o.dhtBootstrap.toStdString());
    // Every lab node shares 127.0.0.1: without these a routing table keeps one of them.
    s.set_bool(lt::settings_pack::dht_restrict_routing_ips, false);
    s.set_bool(lt::settings_pack::dht_restrict_search_ips, false);
    s.set_int(lt::settings_pack::alert_mask, s.get_int(lt::settings_pack::alert_mask) |
                                                 static_cast<int>(static_cast<std::uint32_t>(lt::alert_category::dht)));
}

// A seeder with one slot: its rounds come every second until a peer (the lab's slow leecher)
// holds the optimistic slot, so the lab is ready within seconds; then the next round comes
// firstSec later and libtorrent's own rounds (every 30 s) follow from there. The lab draws
// firstSec at random: a newcomer arriving once the lab is ready meets each seeder's rotation
// at a random moment (rounds that followed the session's start would all fall at once, just
// after the lab became ready).
struct OptimisticPhase {
    int firstSec = 0;
    int stage = 0; // 0: warming up, 1: the first interval is being loaded, 2: libtorrent's own
    QElapsedTimer since;

    void tick(lt::session &s)
    {
        const lt::settings_pack defaults = lt::default_settings();
        lt::settings_pack p;
        if (firstSec <= 0 || stage == 2)
            return;
        if (stage == 1) {
            // The round after the change has loaded firstSec; the one after that loads this.
            if (since.elapsed() < 1500)
                return;
            p.set_int(lt::settings_pack::optimistic_unchoke_interval,
                      defaults.get_int(lt::settings_pack::optimistic_unchoke_interval));
            s.apply_settings(p);
            stage = 2;
            return;
        }
        bool held = false;
        for (const lt::torrent_handle &h : s.get_torrents()) {
            std::vector<lt::peer_info> peers;
            h.get_peer_info(peers);
            for (const lt::peer_info &peer : peers)
                held = held || (peer.flags & lt::peer_info::optimistic_unchoke);
        }
        if (!held)
            return;
        p.set_int(lt::settings_pack::optimistic_unchoke_interval, firstSec);
        p.set_int(lt::settings_pack::unchoke_interval, defaults.get_int(lt::settings_pack::unchoke_interval));
        s.apply_settings(p);
        since.start();
        stage = 1;
    }
};

// "0-3,7" -> the pieces' bitfield; false when a piece is outside the torrent.
bool parseHave(const QString &text, int numPieces, lt::typed_bitfield<lt::piece_index_t> *out)
{
    out->resize(numPieces, false);
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok1 = false;
        bool ok2 = false;
        const int from = item.section(QLatin1Char('-'), 0, 0).toInt(&ok1);
        const int to = item.contains(QLatin1Char('-')) ? item.section(QLatin1Char('-'), 1).toInt(&ok2) : from;
        if (!ok1 || (item.contains(QLatin1Char('-')) && !ok2) || from < 0 || to < from || to >= numPieces)
            return false;
        for (int p = from; p <= to; ++p)
            out->set_bit(lt::piece_index_t(p));
    }
    return true;
}

// A partial peer: the pieces it holds are taken as they are on disk (the lab's content is
// whole, so they are good), and it wants no others, so it counts as finished and says
// "upload only" as libtorrent does for a torrent of which only part was selected.
bool setHave(lt::add_torrent_params *atp, const QString &have)
{
    const int n = atp->ti->num_pieces();
    if (!parseHave(have, n, &atp->have_pieces))
        return false;
    atp->piece_priorities.assign(size_t(n), lt::dont_download);
    for (int p = 0; p < n; ++p)
        if (atp->have_pieces.get_bit(lt::piece_index_t(p)))
            atp->piece_priorities[size_t(p)] = lt::default_priority;
    return true;
}

// One line whenever the peers' picture changes: how many, how many want data, how many we
// unchoke and by whose fingerprint, and how many pieces we hold.
void reportStatus(lt::session &s, const char *name, const char *extra, std::string *last)
{
    std::string line;
    for (const lt::torrent_handle &h : s.get_torrents()) {
        std::vector<lt::peer_info> peers;
        h.get_peer_info(peers);
        int interested = 0;
        int unchoked = 0;
        std::string ids;
        for (const lt::peer_info &p : peers) {
            interested += (p.flags & lt::peer_info::remote_interested) ? 1 : 0;
            if (!(p.flags & lt::peer_info::choked)) {
                ++unchoked;
                // The fingerprint, '*' for an optimistic unchoke, and the peer's port.
                ids += (ids.empty() ? "" : ",") + std::string(p.pid.data(), 8) +
                       ((p.flags & lt::peer_info::optimistic_unchoke) ? "*" : "") + ':' + std::to_string(p.ip.port());
            }
        }
        const lt::torrent_status st = h.status(lt::torrent_handle::query_pieces);
        line += "peers=" + std::to_string(peers.size()) + " interested=" + std::to_string(interested) +
                " unchoked=" + std::to_string(unchoked) + " unchoked_ids=" + (ids.empty() ? "-" : ids) +
                " have=" + std::to_string(st.num_pieces) + " upload_only=" + (st.is_finished ? "1" : "0");
    }
    line += extra;
    if (line == *last)
        return;
    *last = line;
    std::printf("seeder %s: status %s\n", name, line.c_str());
    std::fflush(stdout);
}

// Adds every item as a torrent to seed (or, with --have, a part of it); false on an error.
bool addSeedTorrents(lt::session &session, const QList<SeedItem> &items, const SeedOptions &o)
{
    for (const SeedItem &item : items) {
        std::shared_ptr<lt::torrent_info> ti = loadTorrent(item.torrentPath);
        if (!ti)
            return false;
        lt::add_torrent_params atp;
        atp.ti = ti;
        atp.save_path = QFile::encodeName(item.savePath).toStdString();
        atp.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
        // A lab peer meets only the peers the lab gives it: told of the others by a leecher, a
        // seeder would dial them through their relays (and itself through its own).
        atp.flags |= lt::torrent_flags::disable_pex;
        if (!o.have.isEmpty() && !setHave(&atp, o.have)) {
            std::fprintf(stderr, "seeder: --have %s: not pieces of %s\n", qPrintable(o.have),
                         qPrintable(item.torrentPath));
            return false;
        }
        // The content was written by the generator next to its .torrent: no need to re-hash it.
        if (o.have.isEmpty())
            atp.flags |= lt::torrent_flags::seed_mode;
        lt::error_code ec;
        session.add_torrent(std::move(atp), ec);
        if (ec) {
            std::fprintf(stderr, "seeder: %s: %s\n", qPrintable(item.torrentPath), ec.message().c_str());
            return false;
        }
    }
    return true;
}

int runSeeder(const QList<SeedItem> &items, const SeedOptions &o)
{
    if (items.isEmpty() && !o.dhtNode) {
        std::fprintf(stderr, "seeder: nothing to seed\n");
        return 2;
    }
    const int uploadKbps = o.uploadKbps;
    lt::settings_pack settings = loopbackSettings(uploadKbps * 1000, o.port, o.transport, o.ipv6Loopback);
    applyLabSettings(settings, o);
    lt::session session{lt::session_params(settings)};
    limitLoopbackPeersToo(session);
    if (!addSeedTorrents(session, items, o))
        return 2;
    const int port = waitForListenPort(session);
    if (port == 0) {
        std::fprintf(stderr, "seeder: cannot listen on 127.0.0.1\n");
        return 1;
    }
    const QByteArray tag = o.name.toUtf8();
    const char *transport = o.transport.tcp ? (o.transport.utp ? "tcp+utp" : "tcp") : "utp";
    std::printf("seeder %s: %s:%d, %lld torrents, upload limit %s, %s%s\n", tag.constData(),
                o.ipv6Loopback ? "[::1]" : "127.0.0.1", port,
                static_cast<long long>(items.size()),
                uploadKbps > 0 ? qPrintable(QStringLiteral("%1 KB/s").arg(uploadKbps)) : "none", transport,
                o.dhtNode || !o.dhtBootstrap.isEmpty() ? ", DHT" : "");
    std::fflush(stdout);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    bool announced = false;
    std::string status;
    QElapsedTimer sinceDhtAnnounce;
    sinceDhtAnnounce.start();
    OptimisticPhase phase;
    phase.firstSec = o.optimisticFirstSec;
    while (!g_stop) {
        phase.tick(session);
        session.wait_for_alert(std::chrono::milliseconds(200));
        logAlerts(session, tag.constData(), &announced);
        if (o.status)
            reportStatus(session, tag.constData(), phase.firstSec <= 0 ? "" : phase.stage == 2 ? " rounds=set" : " rounds=warming",
                         &status);
        // libtorrent announces to the DHT once as a torrent starts and then every 15 minutes:
        // one made before the DHT had its nodes would leave the seeder unfindable for that long.
        if (!o.dhtBootstrap.isEmpty() && sinceDhtAnnounce.elapsed() > 3000) {
            sinceDhtAnnounce.restart();
            for (const lt::torrent_handle &h : session.get_torrents())
                h.force_dht_announce();
        }
    }
    // Leaving the scope announces "stopped" to the tracker (bounded by libtorrent's stop timeout).
    return 0;
}

struct FetchOptions {
    QString torrentPath;
    QString outDir;
    QStringList peers;
    bool noTrackers = false;
    int timeoutSec = 60;
    Transport transport;
    int downloadKbps = 0; // > 0: a slow leecher, as the swarm lab's that holds seeders' slots
};

int runFetch(const FetchOptions &o)
{
    std::shared_ptr<lt::torrent_info> ti = loadTorrent(o.torrentPath);
    if (!ti)
        return 2;
    if (o.noTrackers)
        ti->clear_trackers();
    lt::settings_pack settings = loopbackSettings(0, 0, o.transport);
    // Also on ::1, where the swarm lab's seeders listen behind their relays.
    settings.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0,[::1]:0");
    settings.set_str(lt::settings_pack::peer_fingerprint, kFetchFingerprint);
    settings.set_int(lt::settings_pack::download_rate_limit, o.downloadKbps * 1000);
    settings.set_int(lt::settings_pack::alert_mask, static_cast<int>(static_cast<std::uint32_t>(
                                                        lt::alert_category::error | lt::alert_category::connect)));
    lt::session session{lt::session_params(settings)};
    if (o.downloadKbps > 0)
        limitLoopbackPeersToo(session);
    lt::add_torrent_params atp;
    atp.ti = ti;
    atp.save_path = QFile::encodeName(o.outDir).toStdString();
    atp.flags |= lt::torrent_flags::disable_pex;
    for (const QString &p : o.peers) {
        const qsizetype colon = p.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int port = p.mid(colon + 1).toInt(&ok);
        lt::error_code ec;
        const lt::address addr = lt::make_address(p.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')).toStdString(), ec);
        if (colon <= 0 || !ok || port < 1 || port > 65535 || ec) {
            std::fprintf(stderr, "fetch: bad --peer %s\n", qPrintable(p));
            return 2;
        }
        atp.peers.emplace_back(addr, std::uint16_t(port));
    }
    const std::vector<lt::tcp::endpoint> dialled = atp.peers;
    lt::error_code ec;
    lt::torrent_handle h = session.add_torrent(std::move(atp), ec);
    if (ec) {
        std::fprintf(stderr, "fetch: %s\n", ec.message().c_str());
        return 2;
    }
    std::printf("fetch: started, %lld peers given, download limit %d KB/s\n",
                static_cast<long long>(o.peers.size()), o.downloadKbps);
    std::fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer sinceDial;
    sinceDial.start();
    int maxPeers = 0;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    while (!g_stop && clock.elapsed() < qint64(o.timeoutSec) * 1000) {
        // A slow leecher comes back when a seeder drops it (libtorrent drops a peer that keeps
        // asking while choked), as a leecher of a public swarm would: dialled again, it waits
        // for the seeder's next rotation like any newcomer.
        if (o.downloadKbps > 0 && sinceDial.elapsed() > 2000) {
            sinceDial.restart();
            for (const lt::tcp::endpoint &ep : dialled)
                h.connect_peer(ep);
        }
        std::vector<lt::alert *> alerts;
        session.pop_alerts(&alerts);
        for (lt::alert *a : alerts)
            if (auto *g = lt::alert_cast<lt::peer_disconnected_alert>(a))
                std::printf("fetch: peer gone: %s\n", g->message().c_str());
        std::fflush(stdout);
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
    std::printf("fetch: FAILED after %d s: %lld of %lld bytes, peers %d\n", o.timeoutSec,
                static_cast<long long>(st.total_wanted_done), static_cast<long long>(st.total_wanted), maxPeers);
    return 1;
}

void addOptions(QCommandLineParser &p)
{
    p.addHelpOption();
    const QList<QCommandLineOption> options{
        {QStringLiteral("fixture"), QStringLiteral("Fixture JSON to seed; repeatable."), QStringLiteral("file")},
        {QStringLiteral("upload-kbps"), QStringLiteral("Upload limit in KB/s (0 = none)."), QStringLiteral("n"),
         QStringLiteral("0")},
        {QStringLiteral("name"), QStringLiteral("Name in the output lines."), QStringLiteral("text"), QStringLiteral("1")},
        {QStringLiteral("torrent"), QStringLiteral("Seed this .torrent (with --content) instead of fixtures."),
         QStringLiteral("file")},
        {QStringLiteral("content"), QStringLiteral("--torrent: folder holding the torrent's content."),
         QStringLiteral("dir")},
        {QStringLiteral("port"), QStringLiteral("Listen port (0 = any)."), QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("address"), QStringLiteral("Listen address: 127.0.0.1 (default) or ::1."),
         QStringLiteral("addr"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("transport"), QStringLiteral("Peer transports (also --fetch): tcp, utp or both (default)."),
         QStringLiteral("t"), QStringLiteral("both")},
        {QStringLiteral("have"), QStringLiteral("Hold only these pieces (\"0-3,7\") and want no others."),
         QStringLiteral("pieces")},
        {QStringLiteral("unchoke-slots"), QStringLiteral("libtorrent's unchoke_slots_limit (1: one optimistic slot)."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("optimistic-first"),
         QStringLiteral("Unchoke rounds every second until a peer holds the optimistic slot, the next S s (> 1) later."),
         QStringLiteral("s"), QStringLiteral("0")},
        {QStringLiteral("dht-bootstrap"), QStringLiteral("DHT on, bootstrapped from these 127.0.0.1 nodes."),
         QStringLiteral("nodes")},
        {QStringLiteral("dht-node"), QStringLiteral("Be a DHT node on 127.0.0.1 only (no torrent).")},
        {QStringLiteral("status"), QStringLiteral("Print a status line whenever the peers change.")},
        {QStringLiteral("fetch"), QStringLiteral("Download this .torrent instead of seeding."), QStringLiteral("file")},
        {QStringLiteral("out"), QStringLiteral("--fetch: download folder."), QStringLiteral("dir")},
        {QStringLiteral("peer"), QStringLiteral("--fetch: connect to ADDR:PORT; repeatable."), QStringLiteral("addr")},
        {QStringLiteral("no-trackers"), QStringLiteral("--fetch: ignore the torrent's trackers.")},
        {QStringLiteral("timeout"), QStringLiteral("--fetch: give up after S seconds (60)."), QStringLiteral("s"),
         QStringLiteral("60")},
        {QStringLiteral("download-kbps"), QStringLiteral("--fetch: download limit in KB/s (0 = none)."),
         QStringLiteral("n"), QStringLiteral("0")}};
    p.addOptions(options);
}

int fetchMain(const QCommandLineParser &p, Transport transport)
{
    FetchOptions o;
    bool ok = false;
    bool ok2 = false;
    o.timeoutSec = p.value(QStringLiteral("timeout")).toInt(&ok);
    o.downloadKbps = p.value(QStringLiteral("download-kbps")).toInt(&ok2);
    o.outDir = p.value(QStringLiteral("out"));
    if (!ok || !ok2 || o.timeoutSec < 1 || o.downloadKbps < 0 || o.outDir.isEmpty() || !QDir().mkpath(o.outDir)) {
        std::fprintf(stderr, "--fetch needs --out DIR, a positive --timeout and --download-kbps >= 0\n");
        return 2;
    }
    o.torrentPath = p.value(QStringLiteral("fetch"));
    o.peers = p.values(QStringLiteral("peer"));
    o.noTrackers = p.isSet(QStringLiteral("no-trackers"));
    o.transport = transport;
    return runFetch(o);
}

int seedMain(const QCommandLineParser &p, Transport transport)
{
    SeedOptions o;
    bool ok = false;
    bool ok2 = false;
    bool ok3 = false;
    o.transport = transport;
    o.uploadKbps = p.value(QStringLiteral("upload-kbps")).toInt(&ok);
    o.port = p.value(QStringLiteral("port")).toInt(&ok2);
    o.unchokeSlots = p.value(QStringLiteral("unchoke-slots")).toInt(&ok3);
    bool ok4 = false;
    const int first = p.value(QStringLiteral("optimistic-first")).toInt(&ok4);
    o.optimisticFirstSec = first > 1 ? first : 0;
    if (!ok || o.uploadKbps < 0 || o.uploadKbps > 2000000 || !ok2 || o.port < 0 || o.port > 65535 || !ok3 ||
        o.unchokeSlots < 0 || !ok4) {
        std::fprintf(stderr, "--upload-kbps must be 0..2000000, --port 0..65535, --unchoke-slots >= 0\n");
        return 2;
    }
    o.name = p.value(QStringLiteral("name"));
    o.have = p.value(QStringLiteral("have"));
    o.dhtBootstrap = p.value(QStringLiteral("dht-bootstrap"));
    o.dhtNode = p.isSet(QStringLiteral("dht-node"));
    o.status = p.isSet(QStringLiteral("status"));
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
    } else if (!o.dhtNode) {
        std::fprintf(stderr, "--fixture or --torrent is required (or --fetch, or --dht-node)\n");
        return 2;
    }
    return runSeeder(items, o);
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
    addOptions(p);
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
    return p.isSet(QStringLiteral("fetch")) ? fetchMain(p, transport) : seedMain(p, transport);
}
