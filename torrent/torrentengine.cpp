#include "torrent/torrentengine.h"

#include "base/log.h"
#include "disk/cachedir.h"
#include "torrent/faildiskio.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/hex.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/mmap_disk_io.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session_stats.hpp>
#include <libtorrent/version.hpp>

#include <algorithm>
#include <filesystem>

namespace svd {

namespace {

constexpr lt::alert_category_t kAlertMask{4194427};
constexpr auto kOpenWaitLimit = std::chrono::seconds(15);
constexpr auto kRemovalWaitLimit = std::chrono::seconds(20);
// A source's file index beyond this is taken for garbage, not for a priority list to allocate.
constexpr int kMaxHintedFileIndex = 100000;

QString fromStd(const std::string &s)
{
    return QString::fromStdString(s);
}

// With every file at dont_download the torrent counts as finished, and a peer met in that
// state hears "upload only" in our extension handshake: a seed then closes the connection
// and libtorrent waits a minute before trying it again. So a torrent whose files are known
// stays paused (no announce, no peer) until the stream first wants a piece; true for those.
bool setStartFlags(lt::add_torrent_params *p, const WantedFile &want)
{
    p->flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    if (p->ti) {
        p->file_priorities.assign(size_t(p->ti->num_files()), lt::dont_download);
        p->flags |= lt::torrent_flags::paused;
        return true;
    }
    if (want.index >= 0 && want.index < kMaxHintedFileIndex) {
        // A magnet: libtorrent applies these when the metadata comes, before our plan (which
        // follows within milliseconds) can reach it. Only the named file is wanted meanwhile,
        // and wanted it must be: a torrent that wants nothing counts as finished, and seeds
        // hang up on a finished torrent. Should the index be wrong, the plan mends it.
        p->flags |= lt::torrent_flags::default_dont_download;
        p->file_priorities.assign(size_t(want.index) + 1, lt::dont_download);
        p->file_priorities[size_t(want.index)] = lt::low_priority;
    }
    return false;
}

// SVD_LT_SETTINGS="name=value,..." sets libtorrent settings by their names: for trying a
// setting on the swarm lab without a rebuild.
void applySettingsOverride(lt::settings_pack &s, const QString &spec)
{
    for (const QString &item : spec.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString name = item.section(QLatin1Char('='), 0, 0).trimmed();
        const QString value = item.section(QLatin1Char('='), 1).trimmed();
        const int key = lt::setting_by_name(name.toStdString());
        bool ok = key >= 0;
        if (ok && (key & lt::settings_pack::type_mask) == lt::settings_pack::string_type_base)
            s.set_str(key, value.toStdString());
        else if (ok && (key & lt::settings_pack::type_mask) == lt::settings_pack::bool_type_base)
            s.set_bool(key, value == QLatin1String("1") || value == QLatin1String("true"));
        else if (ok)
            s.set_int(key, value.toInt(&ok));
        logLine(ok ? QStringLiteral("engine: setting %1 = %2 (SVD_LT_SETTINGS)").arg(name, value)
                   : QStringLiteral("engine: SVD_LT_SETTINGS: unknown setting or bad value '%1'").arg(item));
    }
}

lt::settings_pack sessionSettings(const EngineConfig &cfg)
{
    lt::settings_pack s;
    s.set_str(lt::settings_pack::listen_interfaces, cfg.listenInterfaces.toStdString());
    s.set_bool(lt::settings_pack::enable_dht, cfg.enableDht);
    s.set_bool(lt::settings_pack::enable_lsd, false);
    s.set_bool(lt::settings_pack::enable_upnp, false);
    s.set_bool(lt::settings_pack::enable_natpmp, false);
    s.set_str(lt::settings_pack::dht_bootstrap_nodes, cfg.dhtBootstrapNodes.toStdString());
    s.set_str(lt::settings_pack::user_agent, std::string("libtorrent/") + lt::version());
    std::uint32_t mask = static_cast<std::uint32_t>(kAlertMask);
    // For finding out why a peer sends nothing: every message to and from the peers of the
    // stream's torrents goes to the log (many lines a second).
    if (qEnvironmentVariableIsSet("SVD_PEER_TRACE"))
        mask |= static_cast<std::uint32_t>(lt::alert_category::peer_log | lt::alert_category::block_progress);
    s.set_int(lt::settings_pack::alert_mask, static_cast<int>(mask));
    s.set_int(lt::settings_pack::alert_queue_size, 20000);
    s.set_int(lt::settings_pack::connections_limit, cfg.connectionsLimit);
    s.set_bool(lt::settings_pack::announce_to_all_tiers, true);
    s.set_bool(lt::settings_pack::announce_to_all_trackers, true);
    // No limit until we really upload (see UploadCap).
    s.set_int(lt::settings_pack::upload_rate_limit, 0);
    s.set_bool(lt::settings_pack::close_redundant_connections, false);
    // Rate-limited messages and new connections wait for the session tick; the
    // default 500 ms adds up to half a second to every step of a start or a seek.
    s.set_int(lt::settings_pack::tick_interval, 100);
    // Outgoing connections use TCP. Libtorrent tries uTP first otherwise, and a peer that only
    // speaks TCP costs the uTP connect time-out plus up to a second before the TCP retry (its
    // reconnect clock counts whole seconds). Peers that connect to us over uTP are accepted;
    // a peer that refuses TCP is dialled over uTP next (UtpDial).
    s.set_bool(lt::settings_pack::enable_outgoing_utp, cfg.outgoingUtp);
    // Libtorrent keeps this many seconds of requests queued at each peer (3 by default). A
    // peer serves its queue in order, so after a seek the new place waits behind all of it: at
    // a slow peer that is seconds. One second still covers the round trip of far peers and the
    // once-a-second bursts of rate-limited ones (seeks on the swarm lab: a crowd of eight
    // 2.8 -> 2.0 s, a slow seeder beside a leaving fast one 4.4 -> 2.6 s; first frames the same).
    s.set_int(lt::settings_pack::request_queue_time, 1);
    // Until it holds a few pieces, libtorrent picks pieces at random among all those above normal
    // priority, whatever their level: the first piece of a video would wait behind its tail.
    s.set_int(lt::settings_pack::initial_picker_threshold, 0);
    // A torrent dials at once, on its tracker replies, only this many peers in all; the rest
    // wait for the once-a-second round, whose dial budget the burst has used up. Public trackers
    // list closed ports and silent peers as readily as seeders: at the default 30, a list of 40
    // bad entries and 2 seeders left the seeders for a later second in 7 of 25 starts (first
    // frame 1.2-2.4 s, against 0.1 s). What is left of it brings the uTP dials forward too.
    s.set_int(lt::settings_pack::torrent_connect_boost, 80);
    // Libtorrent 2.0.8 drops a torrent's piece picker when its last piece passes, and a cancel
    // that set_piece_deadline posted just before (when no other deadline was live) then runs on
    // the missing picker and crashes the network thread (an end-game duplicate request is all it
    // needs). In this mode the picker stays; the cost is piece suggestions to peers we upload to.
    s.set_int(lt::settings_pack::suggest_mode, lt::settings_pack::suggest_read_cache);
    if (cfg.loopbackOnly)
        s.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    applySettingsOverride(s, qEnvironmentVariable("SVD_LT_SETTINGS"));
    return s;
}

// Every address in the global class: local peers then count against the session's rate limits.
void countLocalPeersLikeOthers(lt::session &session)
{
    lt::ip_filter f;
    const std::uint32_t global = 1u << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
    f.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
    f.add_rule(lt::make_address("::"), lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
    session.set_peer_class_filter(f);
}

QString newTorrentId()
{
    const quint64 n = QRandomGenerator::global()->generate64() & 0xFFFFFFFFFFull;
    return QString::number(n, 16);
}

} // namespace

bool loopbackOnlyRequested()
{
    return qgetenv("SVD_LOOPBACK_ONLY") == "1";
}

// "127.0.0.1:PORT,[::1]:PORT,...": true when every node is on this machine.
static bool loopbackNodes(const QString &nodes)
{
    static const QRegularExpression node(QStringLiteral("^(127\\.0\\.0\\.1|\\[::1\\]):([1-9][0-9]{0,4})$"));
    const QStringList items = nodes.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items)
        if (!node.match(item.trimmed()).hasMatch())
            return false;
    return !items.isEmpty();
}

// A loopback-only session with its DHT on runs on the swarm lab's nodes.
static bool labDht(const EngineConfig &cfg)
{
    return cfg.loopbackOnly && cfg.enableDht;
}

void applyLoopbackOnly(EngineConfig *cfg)
{
    cfg->listenInterfaces = QLatin1String(kLoopbackListenInterfaces);
    // The swarm lab's DHT runs on 127.0.0.1 and it names its nodes here (SVD_DHT_BOOTSTRAP);
    // a DHT bootstrapped from anything else would reach past this machine.
    const QString labNodes = qEnvironmentVariable("SVD_DHT_BOOTSTRAP");
    cfg->enableDht = loopbackNodes(labNodes);
    cfg->dhtBootstrapNodes = cfg->enableDht ? labNodes : QString();
    cfg->loopbackOnly = true;
}

QString TorrentEngine::libraryVersion()
{
    return QString::fromLatin1(lt::version());
}

QString TorrentEngine::infoHashKey(const lt::info_hash_t &hashes)
{
    return fromStd(lt::aux::to_hex(hashes.get_best()));
}

TorrentEngine::TorrentEngine(const EngineConfig &config, QObject *parent)
    : QObject(parent), m_cfg(config), m_uploadCap(config.uploadRateLimit, config.uploadLiftMs, config.uploadHoldMs)
{
    if (loopbackOnlyRequested() || m_cfg.loopbackOnly) {
        applyLoopbackOnly(&m_cfg);
        logLine(QStringLiteral("engine: loopback only (SVD_LOOPBACK_ONLY)"));
    }
    QDir().mkpath(m_cfg.stateDir);
    QDir().mkpath(m_cfg.cacheDir);

    const lt::settings_pack settings = sessionSettings(m_cfg);
    lt::session_params params;
    QFile dht(QDir(m_cfg.stateDir).filePath(QStringLiteral("dht.dat")));
    // Saved nodes are the public DHT's: never for the swarm lab's DHT (see saveDhtState()).
    if (!labDht(m_cfg) && dht.open(QIODevice::ReadOnly)) {
        const QByteArray buf = dht.readAll();
        try {
            params = lt::read_session_params(lt::span<char const>(buf.constData(), buf.size()),
                                             lt::session_handle::save_dht_state);
            logLine(QStringLiteral("engine: loaded DHT state (%1 bytes)").arg(dht.size()));
        } catch (const std::exception &e) {
            params = lt::session_params();
            logLine(QStringLiteral("engine: DHT state unreadable: %1").arg(QString::fromLocal8Bit(e.what())));
        }
    }
    params.settings = settings;
    lt::disk_io_constructor_type diskIo =
        m_cfg.diskIo == DiskIoBackend::Mmap ? lt::disk_io_constructor_type(lt::mmap_disk_io_constructor)
                                            : lt::disk_io_constructor_type(lt::posix_disk_io_constructor);
    params.disk_io_constructor = m_cfg.testStorageError ? failFirstWriteDiskIo(std::move(diskIo), m_cfg.testStorageErrorArmed) : std::move(diskIo);
    m_session = std::make_unique<lt::session>(std::move(params));
    if (m_cfg.loopbackOnly)
        countLocalPeersLikeOthers(*m_session);

    if (!settings.get_bool(lt::settings_pack::enable_outgoing_utp))
        m_utpDial = std::make_unique<UtpDial>(m_session.get());
    m_dhtNodesIndex = lt::find_metric_idx("dht.dht_nodes");
    m_sentPayloadIndex = lt::find_metric_idx("net.sent_payload_bytes");
    try {
        m_alertThread = std::thread([this] { alertLoop(); });
        m_removalWorker = std::thread([this] { removalWorker(); });
    } catch (const std::system_error &) {
        qFatal("thread constructor failed");
    }
    logLine(QStringLiteral("engine: libtorrent %1 session up, cache %2").arg(libraryVersion(), m_cfg.cacheDir));
}

TorrentEngine::~TorrentEngine()
{
    std::vector<std::shared_ptr<StreamTorrent>> open;
    {
        std::lock_guard l(m_mutex);
        for (const auto &entry : m_byId)
            open.push_back(entry.second);
        for (auto &users : m_users)
            users.second = 1; // the session goes, whoever still holds them
    }
    for (const auto &s : open)
        close(s);
    waitForRemovals();
    {
        std::lock_guard l(m_mutex);
        m_removalStop = true;
    }
    m_cond.notify_all();
    if (m_removalWorker.joinable())
        m_removalWorker.join();
    saveDhtState();
    m_stop = true;
    if (m_alertThread.joinable())
        m_alertThread.join();
    m_session.reset();
}

int TorrentEngine::listenPort() const
{
    return m_session ? m_session->listen_port() : 0;
}

std::shared_ptr<StreamTorrent> TorrentEngine::open(const QByteArray &torrentBytes, const QString &magnet,
                                                  QString *error, bool *busy, const WantedFile &want)
{
    if (busy)
        *busy = false;
    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        return std::shared_ptr<StreamTorrent>();
    };
    lt::add_torrent_params p;
    QString label;
    if (!torrentBytes.isEmpty()) {
        lt::error_code ec;
        auto ti = std::make_shared<lt::torrent_info>(lt::span<char const>(torrentBytes.constData(), torrentBytes.size()),
                                                     ec, lt::from_span);
        if (ec || !ti->is_valid())
            return fail(QStringLiteral("bad .torrent: %1").arg(fromStd(ec ? ec.message() : std::string("no metadata"))));
        p.ti = ti;
        label = fromStd(ti->name());
    } else if (!magnet.isEmpty()) {
        lt::error_code ec;
        lt::parse_magnet_uri(magnet.toStdString(), p, ec);
        if (ec)
            return fail(QStringLiteral("bad magnet: %1").arg(fromStd(ec.message())));
        label = magnet.left(80);
    } else {
        return fail(QStringLiteral("no .torrent and no magnet"));
    }
    const QString key = infoHashKey(p.ti ? p.ti->info_hashes() : p.info_hashes);

    if (auto shared = shareOpen(key))
        return shared;
    {
        std::unique_lock l(m_mutex);
        // The same torrent may still be leaving the session from an earlier play.
        auto leaving = m_removals.find(key);
        const auto now = std::chrono::steady_clock::now();
        if (leaving != m_removals.end() && !leaving->second.deleted) {
            if (busy) {
                if (now - leaving->second.since < kOpenWaitLimit) {
                    *busy = true;
                    return fail(QStringLiteral("the same torrent is still being removed from an earlier play"));
                }
            } else {
                m_cond.wait_until(l, now + kOpenWaitLimit, [&] {
                    auto it = m_removals.find(key);
                    return it == m_removals.end() || it->second.deleted;
                });
            }
        }
        m_removals.erase(key);
    }

    const QString id = newTorrentId();
    const QString folder = QDir(m_cfg.cacheDir).filePath(id);
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    p.save_path = QDir::toNativeSeparators(folder).toStdString();
    const bool pausedUntilWanted = setStartFlags(&p, want);

    auto stream = std::make_shared<StreamTorrent>(this, id, folder, m_cfg.streamParams);
    // The session may post the new torrent's first alerts (a peer met through the tracker's
    // first reply, the metadata) before its handle is recorded below: while an add is under
    // way, the alert thread holds alerts of unknown handles instead of dropping them.
    {
        std::lock_guard l(m_mutex);
        ++m_adding;
    }
    lt::error_code ec;
    lt::torrent_handle h = m_session->add_torrent(std::move(p), ec);
    if (!ec) {
        stream->expectFile(want);
        stream->setHandle(h, key, pausedUntilWanted);
    }
    {
        std::lock_guard l(m_mutex);
        --m_adding;
        if (!ec) {
            m_byHandle[h] = stream;
            m_byId[id] = stream;
            m_idByKey[key] = id;
            m_users[id] = 1;
        }
    }
    m_cond.notify_all();
    if (ec) {
        QDir(folder).removeRecursively();
        return fail(QStringLiteral("add_torrent: %1").arg(fromStd(ec.message())));
    }
    logLine(QStringLiteral("engine: torrent %1 added as [%2] %3").arg(key, id, label));
    if (!torrentBytes.isEmpty())
        stream->onMetadata();
    return stream;
}

// Adding the same hash again would hand back libtorrent's existing handle under a second
// StreamTorrent: the first one's readers would never hear of their pieces, and closing either
// would delete the files under the other.
std::shared_ptr<StreamTorrent> TorrentEngine::shareOpen(const QString &key)
{
    int users = 0;
    QString id;
    std::shared_ptr<StreamTorrent> stream;
    {
        std::lock_guard l(m_mutex);
        const auto open = m_idByKey.find(key);
        if (open == m_idByKey.end() || !m_byId.count(open->second))
            return nullptr;
        id = open->second;
        stream = m_byId[id];
        users = ++m_users[id];
    }
    logLine(QStringLiteral("engine: torrent %1 is open already as [%2] -> shared (%3 users)").arg(key, id).arg(users));
    return stream;
}

void TorrentEngine::close(const std::shared_ptr<StreamTorrent> &stream)
{
    if (!stream)
        return;
    const QString key = stream->infoHashKey();
    const lt::torrent_handle h = stream->handle();
    {
        std::lock_guard l(m_mutex);
        const auto users = m_users.find(stream->id());
        if (users == m_users.end())
            return; // closed already
        if (--users->second > 0) {
            logLine(QStringLiteral("engine: [%1] still used by %2 other(s) -> stays open").arg(stream->id()).arg(users->second));
            return;
        }
        m_users.erase(users);
        m_byId.erase(stream->id());
        m_byHandle.erase(h);
        const auto byKey = m_idByKey.find(key);
        if (byKey != m_idByKey.end() && byKey->second == stream->id())
            m_idByKey.erase(byKey);
        m_removals[key] = {false, std::chrono::steady_clock::now()};
    }
    // Readers blocked in the torrent wake before its files go.
    stream->shutdown();
    logLine(QStringLiteral("engine: removing [%1] %2 (delete_files)").arg(stream->id(), key));
    bool removed = false;
    if (h.is_valid()) {
        try {
            m_session->remove_torrent(h, lt::session::delete_files);
            removed = true;
        } catch (const std::exception &) {
        }
    }
    if (!removed)
        markDeleted(key);
    {
        std::lock_guard l(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        m_folderRemovals.push_back({key, stream->downloadFolder(), now + kRemovalWaitLimit, now, 0});
    }
    m_cond.notify_all();
}

std::shared_ptr<StreamTorrent> TorrentEngine::find(const QString &id) const
{
    std::lock_guard l(m_mutex);
    auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<StreamTorrent>> TorrentEngine::openTorrents() const
{
    std::lock_guard l(m_mutex);
    std::vector<std::shared_ptr<StreamTorrent>> all;
    for (const auto &entry : m_byId)
        all.push_back(entry.second);
    return all;
}

void TorrentEngine::requestStats()
{
    m_session->post_session_stats();
}

qint64 TorrentEngine::cacheBytes() const
{
    namespace fs = std::filesystem;
    qint64 total = 0;
    std::error_code ec;
    const fs::path root(m_cfg.cacheDir.toStdString());
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            const auto size = it->file_size(sizeError);
            if (!sizeError)
                total += qint64(size);
        }
    }
    return total;
}

qint64 TorrentEngine::purgeCache()
{
    QStringList keep;
    {
        std::lock_guard l(m_mutex);
        for (const auto &entry : m_byId)
            keep << entry.first;
    }
    return disk::purgeCacheDir(m_cfg.cacheDir, true, false, keep);
}

void TorrentEngine::saveDhtState()
{
    // The lab's DHT knows only the lab's nodes: they must not replace the public ones.
    if (!m_session || labDht(m_cfg))
        return;
    const int nodes = dhtNodes;
    if (nodes == 0) {
        logLine(QStringLiteral("engine: DHT has no nodes, keeping the saved DHT state"));
        return;
    }
    std::vector<char> buf;
    try {
        buf = lt::write_session_params_buf(m_session->session_state(lt::session::save_dht_state),
                                           lt::session::save_dht_state);
    } catch (const std::exception &e) {
        logLine(QStringLiteral("engine: saving DHT state failed: %1").arg(QString::fromLocal8Bit(e.what())));
        return;
    }
    QFile f(QDir(m_cfg.stateDir).filePath(QStringLiteral("dht.dat")));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    f.write(buf.data(), qint64(buf.size()));
    logLine(QStringLiteral("engine: saved DHT state (%1 bytes, %2 nodes)").arg(buf.size()).arg(nodes));
}

void TorrentEngine::applyUploadLimit(int bytesPerSec)
{
    lt::settings_pack s;
    s.set_int(lt::settings_pack::upload_rate_limit, bytesPerSec);
    m_session->apply_settings(std::move(s)); // posts to the session thread
}

qint64 TorrentEngine::uploadClockMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_uploadEpoch)
        .count();
}

void TorrentEngine::noteReaderWaiting()
{
    if (m_cfg.uploadRateLimit <= 0)
        return;
    std::lock_guard l(m_uploadMutex);
    m_uploadCap.onReaderWaiting(uploadClockMs());
    applyUploadCapLocked();
}

// Called with the upload mutex held.
void TorrentEngine::applyUploadCapLocked()
{
    const int wanted = m_uploadCap.wanted();
    if (wanted != m_uploadApplied) {
        m_uploadApplied = wanted;
        applyUploadLimit(wanted);
    }
    for (const QString &line : m_uploadCap.takeEvents())
        logLine(line);
}

bool TorrentEngine::uploadCapLifted() const
{
    std::lock_guard l(m_uploadMutex);
    return m_uploadCap.lifted();
}

int TorrentEngine::sessionUploadLimit() const
{
    return liveSettings().get_int(lt::settings_pack::upload_rate_limit);
}

lt::settings_pack TorrentEngine::liveSettings() const
{
    return m_session->get_settings();
}

void TorrentEngine::restoreUploadCapWhenDue()
{
    std::lock_guard l(m_uploadMutex);
    m_uploadCap.onTimer(uploadClockMs());
    applyUploadCapLocked();
}

void TorrentEngine::dispatch(lt::alert *a)
{
    if (auto *s = lt::alert_cast<lt::session_stats_alert>(a)) {
        const auto counters = s->counters();
        if (m_dhtNodesIndex >= 0 && m_dhtNodesIndex < int(counters.size()))
            dhtNodes = int(counters[m_dhtNodesIndex]);
        if (m_sentPayloadIndex >= 0 && m_sentPayloadIndex < int(counters.size()) && m_cfg.uploadRateLimit > 0) {
            std::lock_guard l(m_uploadMutex);
            m_uploadCap.onStats(uploadClockMs(), counters[m_sentPayloadIndex]);
            applyUploadCapLocked();
        }
        return;
    }
    if (auto *d = lt::alert_cast<lt::torrent_deleted_alert>(a)) {
        markDeleted(infoHashKey(d->info_hashes));
        return;
    }
    if (auto *d = lt::alert_cast<lt::torrent_delete_failed_alert>(a)) {
        logLine(QStringLiteral("engine: delete failed: %1").arg(fromStd(d->message())));
        markDeleted(infoHashKey(d->info_hashes));
        return;
    }
    auto *ta = dynamic_cast<lt::torrent_alert *>(a);
    if (!ta)
        return;
    std::shared_ptr<StreamTorrent> stream;
    {
        std::unique_lock l(m_mutex);
        auto it = m_byHandle.find(ta->handle);
        while (it == m_byHandle.end() && m_adding > 0) {
            m_cond.wait(l);
            it = m_byHandle.find(ta->handle);
        }
        if (it != m_byHandle.end())
            stream = it->second.lock();
    }
    if (!stream)
        return;
    const QString id = stream->id();
    if (a->category() & (lt::alert_category::peer_log | lt::alert_category::block_progress)) {
        if (lt::alert_cast<lt::peer_log_alert>(a) || lt::alert_cast<lt::block_finished_alert>(a)
            || lt::alert_cast<lt::block_downloading_alert>(a) || lt::alert_cast<lt::block_timeout_alert>(a)
            || lt::alert_cast<lt::block_uploaded_alert>(a))
            logLine(QStringLiteral("[%1] trace %2").arg(id, fromStd(a->message())));
    }
    if (auto *x = lt::alert_cast<lt::piece_finished_alert>(a)) {
        stream->onPieceFinished(static_cast<int>(x->piece_index));
    } else if (auto *x = lt::alert_cast<lt::read_piece_alert>(a)) {
        stream->onReadPiece(static_cast<int>(x->piece), x->buffer, x->size, !x->error);
    } else if (lt::alert_cast<lt::peer_connect_alert>(a) || lt::alert_cast<lt::peer_disconnected_alert>(a)) {
        onPeerAlert(a, stream.get());
    } else if (lt::alert_cast<lt::hash_failed_alert>(a)) {
        ++stream->hashFailures;
    } else if (lt::alert_cast<lt::metadata_received_alert>(a)) {
        stream->onMetadata();
    } else if (auto *x = lt::alert_cast<lt::tracker_reply_alert>(a)) {
        logLine(QStringLiteral("[%1] tracker reply %2 peers=%3")
                    .arg(id, QString::fromUtf8(x->tracker_url()), QString::number(x->num_peers)));
    } else if (auto *x = lt::alert_cast<lt::tracker_error_alert>(a)) {
        if (x->times_in_row == 1) {
            const QString msg = fromStd(x->error_message()).isEmpty() ? fromStd(x->error.message())
                                                                       : fromStd(x->error_message());
            logLine(QStringLiteral("[%1] tracker error %2: %3").arg(id, QString::fromUtf8(x->tracker_url()), msg));
        }
    } else if (auto *x = lt::alert_cast<lt::dht_reply_alert>(a)) {
        logLine(QStringLiteral("[%1] DHT reply peers=%2").arg(id).arg(x->num_peers));
    } else if (auto *x = lt::alert_cast<lt::torrent_error_alert>(a)) {
        const QString msg = fromStd(x->message());
        if (!stream->hasStorageError())
            logLine(QStringLiteral("[%1] torrent error: %2").arg(id, msg));
        stream->onStorageError(msg, isDiskFullError(x->error));
    } else if (auto *x = lt::alert_cast<lt::file_error_alert>(a)) {
        const QString msg = fromStd(x->message());
        if (!stream->hasStorageError())
            logLine(QStringLiteral("[%1] file error: %2").arg(id, msg));
        stream->onStorageError(msg, isDiskFullError(x->error));
    }
}

} // namespace svd
