// The swarm lab (tools/swarmlab) and what it shows about the torrent engine: seeders
// of another client, speaking TCP only, behind relays with latency, sending corrupt data.
// Seeders are real processes (svd-seeder, aria2c) on 127.0.0.1; the tracker answers on
// this thread, so every wait here spins the event loop.

#include "base/log.h"
#include "tests/common/genepisodes.h"
#include "tools/swarmlab/labfiles.h"
#include "tools/swarmlab/scenario.h"
#include "tools/swarmlab/swarmlab.h"
#include "torrent/torrentengine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <atomic>
#include <clocale>
#include <thread>

using namespace svd;

namespace {

struct Episode {
    QString torrent;
    QString content;
    QString videoPath; // inside the torrent
    int videoIndex = -1;
    QByteArray video;  // the file's bytes
};

lab::SeederSpec seeder(lab::SeederKind kind, lab::Transport transport, int rateKBps = 0)
{
    lab::SeederSpec s;
    s.kind = kind;
    s.transport = transport;
    s.rateKBps = rateKBps;
    return s;
}

bool haveAria2()
{
    return !QStandardPaths::findExecutable(QStringLiteral("aria2c")).isEmpty();
}

} // namespace

class TestSwarmLab : public QObject
{
    Q_OBJECT

private:
    Episode m_ep;
    QTemporaryDir m_tmp;

    // Starts `sc` on the episode and waits until its seeders listen.
    bool startLab(lab::SwarmLab &lab, const lab::Scenario &sc, const QString &name)
    {
        lab::SwarmLab::Options o;
        o.torrentFile = m_ep.torrent;
        o.contentDir = m_ep.content;
        o.workDir = m_tmp.filePath(name);
        QString error;
        const bool ok = lab.start(sc, o, &error) && lab.waitStarted(30000, &error);
        if (!ok)
            qWarning("lab %s: %s", qPrintable(name), qPrintable(error));
        return ok;
    }

    // Our engine streaming the episode's video from the lab, one reader open, as a player would.
    struct Streaming {
        std::unique_ptr<TorrentEngine> engine;
        std::shared_ptr<StreamTorrent> stream;
        int reader = -1;
        ~Streaming()
        {
            if (stream) {
                stream->closeReader(reader);
                engine->close(stream);
            }
        }
    };
    bool startStreaming(const lab::SwarmLab &swarm, const QString &name, Streaming *out)
    {
        EngineConfig cfg;
        cfg.stateDir = m_tmp.filePath(name + QStringLiteral("/state"));
        cfg.cacheDir = m_tmp.filePath(name + QStringLiteral("/cache"));
        applyLoopbackOnly(&cfg);
        out->engine = std::make_unique<TorrentEngine>(cfg);
        QString error;
        out->stream = out->engine->open(fileBytes(swarm.torrentPath()), QString(), &error);
        if (!out->stream) {
            qWarning("open: %s", qPrintable(error));
            return false;
        }
        out->stream->addFile(m_ep.videoIndex);
        out->reader = out->stream->openReader(m_ep.videoIndex);
        return true;
    }

    // A player's first read waits for the head, as at the start of playback: true once the
    // stream's first piece came within `timeoutMs`.
    static bool firstPieceComes(Streaming &st, int timeoutMs)
    {
        StreamTorrent *s = st.stream.get();
        std::atomic<bool> cancel{false};
        std::thread read([&] {
            char byte = 0;
            s->read(st.reader, 0, &byte, 1, &cancel);
        });
        const bool came = QTest::qWaitFor([&] { return s->events().firstPieceAt >= 0; }, timeoutMs);
        cancel = true;
        read.join();
        return came;
    }

    static QByteArray fileBytes(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        const auto gen = test::generateEpisodes(
            QStringLiteral("swarmlab"), {QStringLiteral("--sources"), QStringLiteral("p256:256"),
                                         QStringLiteral("--duration"), QStringLiteral("16"), QStringLiteral("--height"),
                                         QStringLiteral("360"), QStringLiteral("--video-kbps"), QStringLiteral("1200")});
        QVERIFY2(gen.ok(), qPrintable(gen.error));
        const QJsonObject src = gen.source(1, QStringLiteral("p256"));
        const QString hash = src.value(QStringLiteral("infoHash")).toString();
        m_ep.torrent = gen.torrentPath(hash);
        m_ep.content = gen.seedDir(hash);
        m_ep.videoIndex = src.value(QStringLiteral("fileIndex")).toInt();
        m_ep.videoPath = src.value(QStringLiteral("filePath")).toString();
        m_ep.video = fileBytes(m_ep.content + QLatin1Char('/') + m_ep.videoPath);
        QVERIFY(m_ep.video.size() > 1024 * 1024);
    }

    // The shipped scenario file holds the benchmark's scenarios; a bad line names its place.
    void scenarioFile()
    {
        QList<lab::Scenario> all;
        QString error;
        QVERIFY2(lab::loadScenarios(qEnvironmentVariable("SVD_SOURCE_DIR") + QStringLiteral("/tools/swarmlab/scenarios.txt"),
                                    &all, &error),
                 qPrintable(error));
        QStringList names;
        for (const lab::Scenario &s : all)
            names << s.name;
        for (const char *want : {"ideal", "tcp-only", "slow-tcp", "crowd", "latency", "dying", "corrupt", "choked",
                                 "upload-only-partial", "silent-first", "magnet-only", "mixed-40", "dht-only"})
            QVERIFY2(names.contains(QLatin1String(want)), want);
        // A rate range spreads a line's seeders over it; partial peers hold 20-80 %.
        const lab::Scenario &mixed = all.at(names.indexOf(QStringLiteral("mixed-40")));
        QCOMPARE(mixed.seeders.size(), 40);
        QCOMPARE(mixed.seeders.first().rateKBps, 100);
        QCOMPARE(mixed.seeders.at(3).rateKBps, 400);
        QCOMPARE(mixed.seeders.last().partialMaxPct, 80);
        const lab::Scenario &crowd = all.at(names.indexOf(QStringLiteral("crowd")));
        QCOMPARE(crowd.seeders.size(), 8);
        QCOMPARE(crowd.seeders.first().latencyMs, 40);
        QCOMPARE(all.at(names.indexOf(QStringLiteral("season-pack"))).media, QStringLiteral("season-pack"));

        QVERIFY(!lab::parseScenarios(QStringLiteral("scenario x\n  seeder aria2 transport=utp\n"), QStringLiteral("f"),
                                     &all, &error));
        QVERIFY2(error.startsWith(QLatin1String("f:2:")), qPrintable(error));
        QVERIFY(!lab::parseScenarios(QStringLiteral("scenario x media=A/B\n  seeder lt\n"), QStringLiteral("f"),
                                     &all, &error));
        for (const char *bad : {"scenario x\n seeder aria2 partial=30-60\n", "scenario x\n seeder lt head=yes\n",
                                "scenario x\n seeder lt\n slowleecher rate=20\n",
                                "scenario x\n dht count=2\n silent count=3\n seeder lt\n"})
            QVERIFY2(!lab::parseScenarios(QString::fromLatin1(bad), QStringLiteral("f"), &all, &error), bad);
        QVERIFY(lab::parseScenarios(QStringLiteral("scenario y piece=256 media=avi\n seeder lt corrupt=0-8/4,11 count=2\n"),
                                    QStringLiteral("f"), &all, &error));
        QCOMPARE(all.first().media, QStringLiteral("avi"));
        QCOMPARE(all.first().seeders.size(), 2);
        QCOMPARE(all.first().seeders.last().corruptPieces, (QList<int>{0, 4, 8, 11}));
    }

    // A libtorrent leecher finds the seeders through the lab's tracker and downloads through
    // their relays: over TCP from one and over uTP from the other, each 80 ms away, and the
    // relays count what they pass on.
    void leecherDownloadsThroughLatencyRelays()
    {
        lab::Scenario sc;
        sc.name = QStringLiteral("relays");
        sc.seeders = {seeder(lab::SeederKind::Libtorrent, lab::Transport::Tcp),
                      seeder(lab::SeederKind::Libtorrent, lab::Transport::Utp)};
        // Each seeder alone would need seconds for the whole torrent, so the leecher is still
        // downloading when it reaches the second one.
        for (lab::SeederSpec &s : sc.seeders) {
            s.latencyMs = 80;
            s.rateKBps = 300;
        }
        lab::SwarmLab swarm;
        QVERIFY(startLab(swarm, sc, QStringLiteral("relays")));
        QVERIFY(swarm.seeder(0).endpoint() != swarm.seeder(1).endpoint());

        lt::settings_pack sp;
        sp.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
        sp.set_bool(lt::settings_pack::enable_dht, false);
        sp.set_bool(lt::settings_pack::enable_lsd, false);
        sp.set_bool(lt::settings_pack::enable_upnp, false);
        sp.set_bool(lt::settings_pack::enable_natpmp, false);
        sp.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
        lt::session session(sp);
        lt::add_torrent_params atp;
        atp.ti = std::make_shared<lt::torrent_info>(QFile::encodeName(swarm.torrentPath()).toStdString());
        atp.save_path = QFile::encodeName(m_tmp.filePath(QStringLiteral("relays-leecher"))).toStdString();
        QElapsedTimer clock;
        clock.start();
        const lt::torrent_handle h = session.add_torrent(atp);
        QTRY_VERIFY_WITH_TIMEOUT(h.status().num_pieces > 0, 60000);
        // Handshake, unchoke and the first request each cross the relay both ways.
        QVERIFY2(clock.elapsed() >= 2 * 2 * 80, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY_WITH_TIMEOUT(h.status().is_seeding, 120000);

        const qint64 total = atp.ti->total_size();
        const lab::SwarmLab::SeederState tcp = swarm.seeder(0);
        const lab::SwarmLab::SeederState utp = swarm.seeder(1);
        QVERIFY2(tcp.connections >= 1 && utp.connections >= 1,
                 qPrintable(QStringLiteral("tcp %1, utp %2").arg(tcp.connections).arg(utp.connections)));
        QVERIFY(utp.bytesToLeechers > 0);
        QVERIFY2(tcp.bytesToLeechers + utp.bytesToLeechers >= total,
                 qPrintable(QStringLiteral("%1 + %2 of %3").arg(tcp.bytesToLeechers).arg(utp.bytesToLeechers).arg(total)));
        QCOMPARE(swarm.leecherClock() >= 0, true);

        // A seeder that leaves is no longer reachable through its relay.
        const quint16 port = quint16(tcp.advertisedPort);
        swarm.leave(0);
        QVERIFY(swarm.seeder(0).left);
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!probe.waitForConnected(5000));
        QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
    }

    // A seeder of another client that speaks only TCP delivers the first piece without the
    // leecher first waiting out a uTP connection attempt (3 s in libtorrent by default).
    void tcpOnlyAria2SeederDeliversTheFirstPieceAtOnce()
    {
        if (!haveAria2())
            QSKIP("aria2c is missing (tools/setup.sh installs it)");
        lab::Scenario sc;
        sc.name = QStringLiteral("tcp-only");
        sc.seeders = {seeder(lab::SeederKind::Aria2, lab::Transport::Tcp)};
        lab::SwarmLab swarm;
        QVERIFY(startLab(swarm, sc, QStringLiteral("tcp-only")));
        Streaming st;
        QVERIFY(startStreaming(swarm, QStringLiteral("tcp-only-engine"), &st));
        StreamTorrent *s = st.stream.get();
        QVERIFY(firstPieceComes(st, 60000));
        const double first = s->events().firstPieceAt - s->openedAt();
        // Against a TCP-only peer a uTP attempt first would cost its time-out and the next
        // connect round (about 2.6 s here, against 0.7 s over TCP at once).
        QVERIFY2(first < 2.5, qPrintable(QStringLiteral("first piece after %1 s").arg(first)));
    }

    // A seeder sending bad data gets its pieces rejected and is dropped for good, while the
    // whole file still arrives, intact, from the good seeder.
    // The network goes away in mid-episode, taking the connections with it, and comes back:
    // the program's player, waiting with a dry buffer, plays on by itself where it stopped
    // (libtorrent alone would dial the seeder again only a minute or two later).
    void playbackComesBackAfterANetworkDrop()
    {
        // A longer, lighter episode than the others here: the seek to the middle and the
        // dub change are over before the network goes.
        const auto gen = test::generateEpisodes(
            QStringLiteral("swarmlab-drop"),
            {QStringLiteral("--sources"), QStringLiteral("d:256"), QStringLiteral("--duration"), QStringLiteral("48"),
             QStringLiteral("--height"), QStringLiteral("240"), QStringLiteral("--video-kbps"), QStringLiteral("300")});
        QVERIFY2(gen.ok(), qPrintable(gen.error));
        const QString hash = gen.source(1, QStringLiteral("d")).value(QStringLiteral("infoHash")).toString();
        constexpr double kDropAt = 14;
        constexpr double kDropFor = 10;
        lab::Scenario sc;
        sc.name = QStringLiteral("drop");
        // A little above the episode's bit rate: the buffer is short when the network goes.
        sc.seeders = {seeder(lab::SeederKind::Libtorrent, lab::Transport::Both, 90)};
        lab::SwarmLab swarm;
        QSignalSpy drops(&swarm, &lab::SwarmLab::dropStarted);
        lab::SwarmLab::Options o;
        o.torrentFile = gen.torrentPath(hash);
        o.contentDir = gen.seedDir(hash);
        o.workDir = m_tmp.filePath(QStringLiteral("drop/lab"));
        o.dropAtSec = kDropAt;
        o.dropForSec = kDropFor;
        o.dropCuts = true;
        QString error;
        QVERIFY2(swarm.start(sc, o, &error) && swarm.waitStarted(30000, &error), qPrintable(error));

        QJsonObject doc = QJsonDocument::fromJson(fileBytes(gen.fixturePath)).object();
        QJsonArray episodes;
        for (const QJsonValue &e : doc.value(QStringLiteral("episodes")).toArray()) {
            QJsonObject ep = e.toObject();
            QJsonArray sources;
            for (const QJsonValue &s : ep.value(QStringLiteral("sources")).toArray()) {
                QJsonObject src = s.toObject();
                src.insert(QStringLiteral("torrentUrl"), QStringLiteral("file://") + swarm.torrentPath());
                sources.append(src);
            }
            ep.insert(QStringLiteral("sources"), sources);
            episodes.append(ep);
        }
        doc.insert(QStringLiteral("episodes"), episodes);
        const QString fixture = m_tmp.filePath(QStringLiteral("drop/fixture.json"));
        QFile f(fixture);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(doc).toJson());
        f.close();

        const QString home = m_tmp.filePath(QStringLiteral("drop/home"));
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            env.insert(QLatin1String(var), home + QLatin1Char('/') + QLatin1String(var));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/app/sorvanta-desktop"),
                  {QStringLiteral("--selftest"), QStringLiteral("--binge"), QStringLiteral("1"),
                   QStringLiteral("--play-fixture"), fixture, QStringLiteral("--no-api"), QStringLiteral("--no-update"),
                   QStringLiteral("--cache-dir"), home + QStringLiteral("/cache"), QStringLiteral("--log"),
                   home + QStringLiteral("/run.log")});
        QVERIFY(app.waitForStarted());
        // The lab's tracker answers on this thread: wait with the event loop running.
        QVERIFY(QTest::qWaitFor([&] { return app.state() == QProcess::NotRunning; }, 120000));
        const QString out = QString::fromUtf8(app.readAllStandardOutput());
        QVERIFY2(app.exitCode() == 0, qPrintable(out));
        QCOMPARE(drops.size(), 1);
        const qsizetype at = out.indexOf(QStringLiteral("BINGE RESULT "));
        QVERIFY(at >= 0);
        const QJsonObject row = QJsonDocument::fromJson(out.mid(at + 13).section(QLatin1Char('\n'), 0, 0).toUtf8())
                                    .array()
                                    .at(0)
                                    .toObject();
        const QJsonArray outages = row.value(QStringLiteral("outages")).toArray();
        QVERIFY2(!outages.isEmpty(), qPrintable(out));
        // It came back by itself (the episode ended) where it stopped; how soon after the
        // network is a figure (the evening benchmark's), not a verdict on a busy machine.
        double longest = 0;
        for (const QJsonValue &v : outages) {
            const QJsonObject o = v.toObject();
            QVERIFY2(qAbs(o.value(QStringLiteral("resumed_pos_s")).toDouble() -
                          o.value(QStringLiteral("at_pos_s")).toDouble()) <= 2,
                     qPrintable(out));
            longest = qMax(longest, o.value(QStringLiteral("wait_s")).toDouble());
        }
        qInfo("network away %.0f s; the longest wait for data %.2f s", kDropFor, longest);
    }

    // The lab checks the state of a scenario before it is ready, over the wire: partial peers
    // show exactly their pieces (the head with the one that was to hold it) and say upload only,
    // the seeders of a magnet-only source offer the metadata, silent ports accept and never
    // answer, closed ports refuse.
    void labChecksItsScenarioBeforeItIsReady()
    {
        lab::Scenario sc;
        sc.name = QStringLiteral("states");
        sc.source = lab::SourceKind::Magnet;
        sc.silentPeers = 3;
        sc.closedPorts = 2;
        lab::SeederSpec head = seeder(lab::SeederKind::Libtorrent, lab::Transport::Both);
        head.partialMinPct = head.partialMaxPct = 40;
        head.head = lab::HeadShare::With;
        // This episode's video is shorter than the head (4 MiB): the other peer draws from all pieces.
        lab::SeederSpec rest = head;
        rest.head = lab::HeadShare::Any;
        sc.seeders = {seeder(lab::SeederKind::Libtorrent, lab::Transport::Both), head, rest};
        lab::SwarmLab swarm;
        QVERIFY(startLab(swarm, sc, QStringLiteral("states")));
        QStringList passed;
        for (const QJsonValue &v : swarm.checks())
            if (v.toObject().value(QStringLiteral("ok")).toBool())
                passed << v.toObject().value(QStringLiteral("check")).toString();
        QCOMPARE(passed, (QStringList{QStringLiteral("partial peers"), QStringLiteral("metadata"),
                                      QStringLiteral("decoys")}));
        lab::PieceLayout layout;
        QVERIFY(lab::readLayout(swarm.torrentPath(), 4 << 20, &layout, nullptr));
        for (const int p : layout.head)
            QVERIFY(swarm.seeder(1).pieces.contains(p));
        QVERIFY(!swarm.seeder(2).pieces.isEmpty() && swarm.seeder(2).pieces.size() < layout.numPieces);
    }

    // With no tracker, the engine under SVD_LOOPBACK_ONLY finds the seeders through the lab's
    // DHT once it is given the lab's nodes (SVD_DHT_BOOTSTRAP), and gets the file's head.
    void engineFindsSeedersThroughTheLabDht()
    {
        lab::Scenario sc;
        sc.name = QStringLiteral("dht");
        sc.dhtNodes = 3;
        sc.seeders = {seeder(lab::SeederKind::Libtorrent, lab::Transport::Both),
                      seeder(lab::SeederKind::Libtorrent, lab::Transport::Both)};
        lab::SwarmLab swarm;
        QVERIFY(startLab(swarm, sc, QStringLiteral("dht")));
        QVERIFY(!swarm.dhtBootstrap().isEmpty());
        qputenv("SVD_DHT_BOOTSTRAP", swarm.dhtBootstrap().toUtf8());
        auto unset = qScopeGuard([] { qunsetenv("SVD_DHT_BOOTSTRAP"); });
        Streaming st;
        QVERIFY(startStreaming(swarm, QStringLiteral("dht-engine"), &st));
        QVERIFY(firstPieceComes(st, 60000));
    }

    void corruptSeederIsBannedAndTheFileCompletes()
    {
        if (!haveAria2())
            QSKIP("aria2c is missing (tools/setup.sh installs it)");
        lab::Scenario sc;
        sc.name = QStringLiteral("corrupt");
        lab::SeederSpec bad = seeder(lab::SeederKind::Aria2, lab::Transport::Tcp);
        bad.corruptPieces = {0};
        for (int p = 1; p < 64; ++p)
            bad.corruptPieces.append(p);
        // The good one is slow, so the bad one is asked for plenty.
        sc.seeders = {bad, seeder(lab::SeederKind::Libtorrent, lab::Transport::Both, 300)};
        lab::SwarmLab swarm;
        QVERIFY(startLab(swarm, sc, QStringLiteral("corrupt")));
        Streaming st;
        QVERIFY(startStreaming(swarm, QStringLiteral("corrupt-engine"), &st));
        StreamTorrent *s = st.stream.get();

        // Read like a player, on a thread of its own: this one must keep answering the tracker.
        QByteArray got;
        std::atomic<bool> cancel{false};
        std::atomic<bool> done{false};
        std::thread readerThread([&] {
            QByteArray buf(65536, 0);
            for (qint64 pos = 0; pos < m_ep.video.size();) {
                const qint64 n = s->read(st.reader, pos, buf.data(), buf.size(), &cancel);
                if (n <= 0)
                    break;
                got.append(buf.constData(), n);
                pos += n;
            }
            done = true;
        });
        auto finish = qScopeGuard([&] {
            cancel = true;
            readerThread.join();
        });
        // Rejected pieces, then the bad seeder dropped; once dropped it is never dialled again.
        QTRY_VERIFY_WITH_TIMEOUT(s->hashFailures > 0, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(swarm.seeder(0).openConnections, 0, 60000);
        const int badConnections = swarm.seeder(0).connections;
        QVERIFY(badConnections >= 1 && swarm.seeder(0).bytesToLeechers > 0);
        QVERIFY(QTest::qWaitFor([&] { return done.load(); }, 180000));
        finish.dismiss();
        readerThread.join();
        QCOMPARE(got.size(), m_ep.video.size());
        QVERIFY(got == m_ep.video);
        QCOMPARE(swarm.seeder(0).connections, badConnections);
    }
};

int main(int argc, char **argv)
{
    // Nothing here may reach beyond this machine.
    qputenv("SVD_LOOPBACK_ONLY", "1");
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QTemporaryDir logDir;
    logStart(logDir.filePath(QStringLiteral("test.log")));
    TestSwarmLab t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_swarmlab.moc"
