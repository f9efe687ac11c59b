// Torrent streaming against real libtorrent sessions seeding on 127.0.0.1.

#include "tests/common/timescale.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "tests/torrent/testsupport.h"
#include "torrent/torrentengine.h"
#include "torrent/uploadcap.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <libtorrent/torrent_handle.hpp>

using namespace svd;
using namespace svd::test;

class TestTorrentEngine : public QObject
{
    Q_OBJECT
private slots:
    void openReadsTheRightBytes_data()
    {
        QTest::addColumn<int>("pieceSize");
        QTest::newRow("256 KiB") << 256 * kKiB;
        QTest::newRow("2 MiB") << 2 * kMiB;
    }

    void openReadsTheRightBytes()
    {
        QFETCH(int, pieceSize);
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Show"),
                                          {{QStringLiteral("extra.bin"), swarm::randomBytes(300 * kKiB + 7, 1)},
                                           {QStringLiteral("ep.mkv"), swarm::randomBytes(9 * kMiB + 123, 2)}},
                                          pieceSize);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(s, qPrintable(error));
        QVERIFY(s->metadataReady);
        QCOMPARE(engine.find(s->id()), s);
        QCOMPARE(filePriorities(*s), (std::vector<int>{0, 0}));
        QVERIFY(topPriorityPieces(*s).empty());

        // Serving the file wants exactly its head and tail pieces, its ends first.
        s->addFile(1);
        std::set<int> staticSet, wanted;
        for (const auto &e : s->staticPieces())
            staticSet.insert(e.first);
        const auto prio = piecePriorities(*s);
        for (size_t i = 0; i < prio.size(); ++i)
            if (prio[i] > 0)
                wanted.insert(int(i));
        QCOMPARE(wanted, staticSet);
        const PieceRange range = s->filePieces(1);
        QCOMPARE(topPriorityPieces(*s), std::set<int>{range.first});

        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        swarm::connectToSeeder(s->handle(), seeder.port());
        const int reader = s->openReader(1);
        const QByteArray &want = t.files[1].data;
        QCOMPARE(readRange(*s, reader, 0, want.size(), pieceSize), want);

        // End of file: the last byte alone, then nothing; a read that spans a piece end stops there.
        char byte = 0;
        QCOMPARE(s->read(reader, want.size() - 1, &byte, 16, nullptr), qint64(1));
        QCOMPARE(byte, want.back());
        QCOMPARE(s->read(reader, want.size(), &byte, 16, nullptr), qint64(0));
        const qint64 fileOffset = t.files[0].data.size();
        const qint64 pos = (fileOffset / pieceSize + 1) * pieceSize - fileOffset - 5; // 5 bytes before a piece end
        QByteArray buf(64, 0);
        QCOMPARE(s->read(reader, pos, buf.data(), buf.size(), nullptr), qint64(5));
        QCOMPARE(buf.left(5), want.mid(pos, 5));

        // The first file reads through its own reader as well.
        const int r0 = s->openReader(0);
        s->addFile(0);
        QCOMPARE(readRange(*s, r0, 0, t.files[0].data.size(), pieceSize), t.files[0].data);
        QVERIFY(s->tick(engine.dhtNodes).valid);
        QVERIFY(logHas(QStringLiteral("[%1] first piece done").arg(s->id())));
        QVERIFY(logHas(QStringLiteral("[%1] all head/tail pieces done").arg(s->id())));
    }

    // A seed met before the player picks its file stays: a torrent that wants nothing would say
    // "upload only" in its handshake, and the seed would hang up for a minute.
    void aSeedMetBeforeTheFileIsPickedStays()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Show"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(2 * kMiB, 3)}}, 256 * kKiB);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(s, qPrintable(error));
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        swarm::connectToSeeder(s->handle(), seeder.port());
        QTest::qWait(500);
        s->addFile(0);
        const int reader = s->openReader(0);
        QCOMPARE(readRange(*s, reader, 0, t.files[0].data.size(), 256 * kKiB), t.files[0].data);
    }

    // A peer that takes only uTP is dialled over uTP once it turns TCP away, each time one
    // does, and the session runs with its own settings again once that dial is made. A dial
    // that reaches our own listening port opens no uTP window. The torrent's second file stays
    // unwanted, so the connections outlive the read (two seeds would part).
    void aPeerTakingOnlyUtpIsReached()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Show"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(2 * kMiB, 4)},
                                           {QStringLiteral("extra.bin"), swarm::randomBytes(kMiB, 5)}},
                                          256 * kKiB);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        const auto settingOf = [&](int name) { return engine.liveSettings().get_int(name); };
        const int reconnectBefore = settingOf(lt::settings_pack::min_reconnect_time);
        QVERIFY(reconnectBefore > 0);
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(s, qPrintable(error));
        s->addFile(0);
        const int reader = s->openReader(0);

        swarm::connectToSeeder(s->handle(), engine.listenPort());
        QTRY_VERIFY_WITH_TIMEOUT(s->peerCounts().droppedPeers >= 1, waitMs(5000));
        QTest::qWait(300);
        QVERIFY(!logHas(QStringLiteral("dialling over uTP")));

        std::vector<std::unique_ptr<swarm::Seeder>> seeders;
        for (int round = 1; round <= 2; ++round) {
            // Slow, so the file is not complete (and the peers parting as seeds) before round 2.
            seeders.push_back(std::make_unique<swarm::Seeder>(t, 20000));
            QVERIFY(seeders.back()->ready());
            seeders.back()->acceptOnlyUtp();
            swarm::connectToSeeder(s->handle(), seeders.back()->port());
            QTRY_VERIFY_WITH_TIMEOUT(utpPeers(*s) == round, waitMs(10000));
            QTRY_COMPARE_WITH_TIMEOUT(settingOf(lt::settings_pack::min_reconnect_time), reconnectBefore, waitMs(3000));
            QVERIFY(!engine.liveSettings().get_bool(lt::settings_pack::enable_outgoing_utp));
        }
        for (const auto &seeder : seeders)
            seeder->setUploadLimit(0);
        QCOMPARE(readRange(*s, reader, 0, t.files[0].data.size(), 256 * kKiB), t.files[0].data);
        QVERIFY(logHas(QStringLiteral("engine: 1 peer(s) ended the TCP connection before the handshake -> dialling over uTP")));
    }

    // One torrent per info-hash: a second open of an open torrent shares it, and the torrent
    // stays until the last user closes it.
    void aSecondOpenSharesTheTorrent()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Twice"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(2 * kMiB, 9)}}, 256 * kKiB);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto first = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(first, qPrintable(error));
        auto second = engine.open(QByteArray(), QStringLiteral("magnet:?xt=urn:btih:") + first->infoHashKey(), &error);
        QCOMPARE(second, first);
        engine.close(second);
        QCOMPARE(engine.find(first->id()), first);
        QVERIFY(!first->shutDown);
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        first->addFile(0);
        swarm::connectToSeeder(first->handle(), seeder.port());
        const int reader = first->openReader(0);
        QCOMPARE(readRange(*first, reader, 0, t.files[0].data.size(), 256 * kKiB), t.files[0].data);
        engine.close(first);
        QVERIFY(!engine.find(first->id()));
        QVERIFY(first->shutDown);
    }

    // The upload cap is set only while we upload near it (libtorrent holds every message of
    // every peer until its next quota tick once any limit is set), and a reader that starts
    // waiting lifts it briefly, no more than once per hold time.
    void uploadCapFollowsUploads()
    {
        UploadCap cap(1000000, 1000, 2000);
        cap.onStats(0, 0);
        cap.onReaderWaiting(100);
        QCOMPARE(cap.wanted(), 0); // nothing uploaded: no cap, nothing to lift
        QVERIFY(!cap.lifted());
        cap.onStats(1000, 600000); // 600 KB/s
        QCOMPARE(cap.wanted(), 1000000);
        QCOMPARE(cap.takeEvents(), QStringList{QStringLiteral("engine: upload cap 1.0 MB/s on (uploading 600 KB/s)")});
        cap.onReaderWaiting(1100);
        QCOMPARE(cap.wanted(), 0);
        cap.onReaderWaiting(1500); // the same wait goes on: no longer lift
        cap.onTimer(2100);
        QCOMPARE(cap.wanted(), 1000000);
        cap.onReaderWaiting(3000); // within the hold time: the cap stays
        QCOMPARE(cap.wanted(), 1000000);
        cap.onReaderWaiting(4200);
        QCOMPARE(cap.wanted(), 0);
        cap.onTimer(5200);
        QCOMPARE(cap.takeEvents(), (QStringList{QStringLiteral("engine: upload cap off while a reader waits for data"),
                                                QStringLiteral("engine: upload cap 1.0 MB/s back"),
                                                QStringLiteral("engine: upload cap off while a reader waits for data"),
                                                QStringLiteral("engine: upload cap 1.0 MB/s back")}));
        // Quiet uploads for 5 s take it off again.
        cap.onStats(6000, 3000000);
        cap.onStats(8000, 3100000);
        QCOMPARE(cap.wanted(), 1000000);
        cap.onStats(13000, 3200000);
        QCOMPARE(cap.wanted(), 0);

        // A new engine starts without a limit.
        QTemporaryDir dir;
        EngineConfig cfg = engineConfig(dir.filePath(QStringLiteral("app")));
        cfg.uploadRateLimit = 500000;
        TorrentEngine engine(cfg);
        QCOMPARE(engine.sessionUploadLimit(), 0);
    }

    // A magnet named with its file: the file is served from the moment the metadata comes, so
    // the torrent never stands finished (wanting nothing) and both seeds stay connected.
    void magnetGetsMetadataFromTheSeeder()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Mag"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(6 * kMiB + 1, 3)}}, 2 * kMiB);
        // Slow enough that the torrent is not complete (and a seed itself) while we look.
        swarm::Seeder seeder(t, kMiB), second(t, kMiB);
        QVERIFY(seeder.ready() && second.ready());
        seeder.closeRedundantConnections();
        second.closeRedundantConnections();
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(QByteArray(), t.magnet(seeder.port()), &error, nullptr, {0, t.files[0].path});
        QVERIFY2(s, qPrintable(error));
        swarm::connectToSeeder(s->handle(), second.port());
        QTRY_VERIFY_WITH_TIMEOUT(s->metadataReady, svd::test::waitMs(20000));
        QCOMPARE(s->numFiles(), 1);
        QCOMPARE(s->infoHashKey(), t.infoHash);
        QCOMPARE(s->servedBytes(), qint64(6 * kMiB + 1));
        QVERIFY(s->events().metadataAt >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(s->peerCounts().numPeers, 2, svd::test::waitMs(5000));
        QTest::qWait(svd::test::waitMs(500));
        QCOMPARE(s->peerCounts().numPeers, 2);
        const int reader = s->openReader(0);
        QCOMPARE(readRange(*s, reader, 3 * kMiB - 10, 2 * kMiB, 2 * kMiB), t.files[0].data.mid(3 * kMiB - 10, 2 * kMiB));

        QVERIFY(!engine.open(QByteArray("not bencoded"), QString(), &error));
        QVERIFY(error.startsWith(QStringLiteral("bad .torrent: ")));
        QVERIFY(!engine.open(QByteArray(), QStringLiteral("magnet:?xt=urn:btih:zz"), &error));
        QVERIFY(error.startsWith(QStringLiteral("bad magnet: ")));
        QVERIFY(!engine.open(QByteArray(), QString(), &error));
        QCOMPARE(error, QStringLiteral("no .torrent and no magnet"));
    }

    // A torrent nobody seeds: reads block until cancelled, woken for a seek or shut down.
    void cancelAndShutdownUnblockReaders()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Dead"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(3 * kMiB, 4)}}, 256 * kKiB);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(s);
        s->addFile(0);
        const int reader = s->openReader(0);

        // A seek's wake fails the read waiting then, never with 0 (the end of the file), and
        // reads of missing pieces fail at once until the seek reaches the stream: the player's
        // demuxer would otherwise resync on the bytes after the failed read and wait for them.
        // Once no seek waits (it went into the player's own cache), reads wait again.
        const auto seek = std::chrono::steady_clock::now();
        {
            BackgroundRead woken(*s, reader, 0, nullptr);
            QVERIFY(!woken.waitFor(std::chrono::milliseconds(300)));
            QCOMPARE(s->interruptStaleReads(0, seek), 1);
            QCOMPARE(woken.result(), qint64(-1));
        }
        char buf[16];
        QCOMPARE(s->read(reader, 300 * 1024, buf, sizeof buf, nullptr), qint64(-1));
        s->endStaleReads();
        std::atomic<bool> cancel{false};
        BackgroundRead blocked(*s, reader, 0, &cancel);
        QVERIFY(!blocked.waitFor(std::chrono::milliseconds(300)));
        QCOMPARE(s->interruptStaleReads(0, seek), 0);
        QVERIFY(!blocked.waitFor(std::chrono::milliseconds(300)));
        QElapsedTimer timer;
        timer.start();
        cancel = true;
        QCOMPARE(blocked.result(), qint64(-1));
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));

        BackgroundRead second(*s, reader, 1000, nullptr);
        QVERIFY(!second.waitFor(std::chrono::milliseconds(300)));
        timer.restart();
        engine.close(s);
        QCOMPARE(second.result(), qint64(-1));
        QVERIFY(timer.elapsed() < 1000);
        QCOMPARE(s->read(reader, 0, buf, sizeof buf, nullptr), qint64(-1));
        QVERIFY(!engine.find(s->id()));
    }

    // The torrent plans from its own state (served files, readers open and closed, pieces
    // held) and libtorrent ends up holding that plan's priorities.
    void readersMoveTheWindow()
    {
        QTemporaryDir dir;
        const int p = 256 * kKiB;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Win"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(64 * p, 5)},
                                           {QStringLiteral("ep.ass"), swarm::randomBytes(2 * p, 9)}},
                                          p);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(s);
        const StreamParams params = engine.config().streamParams;
        std::map<int, FileSpan> served{{0, {0, 64 * qint64(p)}}};
        std::vector<char> have(66, 0);
        ReadPositions readers{{{0, 30 * qint64(p) + 17}}, {}};
        auto holdsThePlan = [&] {
            const PiecePlan plan =
                planPieces(params, serveFiles(served, p, 66, params.headTailBytes), readers, have);
            return piecePriorities(*s) == plan.priorities && s->appliedPlan().deadlines == plan.deadlines;
        };

        s->addFile(0);
        const int reader = s->openReader(0);
        s->moveReader(reader, 30 * qint64(p) + 17);
        QVERIFY(holdsThePlan());
        for (const auto &e : s->staticPieces()) {
            s->onPieceFinished(e.first);
            have[size_t(e.first)] = 1;
        }
        QVERIFY(holdsThePlan());
        s->onPieceFinished(30);
        have[30] = 1;
        QVERIFY(holdsThePlan());
        s->addFile(1);
        served.emplace(1, FileSpan{64 * qint64(p), 2 * p});
        QVERIFY(holdsThePlan());
        s->closeReader(reader);
        readers = {{}, {{0, 30 * qint64(p) + 17}}};
        QVERIFY(holdsThePlan());
        s->removeFile(1);
        s->removeFile(0);
        QVERIFY(s->appliedPlan().deadlines.empty());
        QCOMPARE(piecePriorities(*s), std::vector<int>(66, 0));
    }

    // What libtorrent itself holds against the plan after a start, a jump ahead and one back
    // (all deadlines reset) and a step on (single deadlines dropped and added): libtorrent
    // changes the priority of a piece whose deadline it sets or clears on its own.
    void libtorrentHoldsThePlan()
    {
        QTemporaryDir dir;
        const int p = 64 * kKiB;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Plan"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(256 * p, 31)}}, p);
        swarm::Seeder seeder(t, 128 * kKiB);
        QVERIFY(seeder.ready());
        EngineConfig cfg = engineConfig(dir.filePath(QStringLiteral("app")));
        cfg.streamParams.readAheadBytes = 32 * p;
        cfg.streamParams.urgentBytes = 8 * p;
        cfg.streamParams.headTailBytes = 2 * p;
        TorrentEngine engine(cfg);
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(s, qPrintable(error));
        QString why;
        // get_piece_priorities() answers after every call posted before it; the plan may move
        // on meanwhile when a piece finishes, so a difference has to last to count.
        auto priorities = [&] {
            const std::vector<int> plan = s->appliedPlan().priorities;
            const std::vector<int> held = piecePriorities(*s);
            for (size_t i = 0; i < plan.size(); ++i)
                if (held.at(i) != plan[i])
                    return why = QStringLiteral("piece %1: libtorrent %2, plan %3")
                                     .arg(i)
                                     .arg(held[i])
                                     .arg(plan[i]);
            return why = QString();
        };
        auto requests = [&] {
            const std::vector<int> plan = s->appliedPlan().priorities;
            for (const lt::partial_piece_info &q : s->handle().get_download_queue())
                for (int b = 0; b < q.blocks_in_piece; ++b)
                    if (q.blocks[b].state == lt::block_info::requested &&
                        plan.at(size_t(int(q.piece_index))) == 0)
                        return why = QStringLiteral("piece %1 requested, the plan does not want it")
                                         .arg(int(q.piece_index));
            return why = QString();
        };

        s->addFile(0);
        const int reader = s->openReader(0);
        QVERIFY2(priorities().isEmpty(), qPrintable(why));
        swarm::connectToSeeder(s->handle(), seeder.port());
        QTRY_VERIFY_WITH_TIMEOUT(s->events().headTailDoneAt >= 0, 20000);
        for (int piece : {64, 128, 120, 122}) {
            s->moveReader(reader, piece * qint64(p));
            QTRY_VERIFY2_WITH_TIMEOUT(priorities().isEmpty(), qPrintable(why), 3000);
        }
        QVERIFY(!s->appliedPlan().deadlines.empty());
        QTRY_VERIFY2_WITH_TIMEOUT(requests().isEmpty(), qPrintable(why), 8000);
    }

    // A file its only seeder has half of, read as far as it goes: the piece map for display
    // is what libtorrent holds, what the window asks it for, and where the reader is.
    void pieceMapOfAHalfSeededFile()
    {
        QTemporaryDir dir;
        const int p = 128 * kKiB;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Half"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(128 * p, 21)}}, p);
        QFile seedFile(t.saveDir + QLatin1Char('/') + t.files[0].path);
        QVERIFY(seedFile.open(QIODevice::ReadWrite));
        QVERIFY(seedFile.seek(64 * qint64(p)));
        seedFile.write(QByteArray(64 * p, '\0'));
        seedFile.close();
        swarm::Seeder seeder(t, 0, true);
        QVERIFY(seeder.ready());
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY2(s, qPrintable(error));
        s->addFile(0);
        swarm::connectToSeeder(s->handle(), seeder.port());
        const int reader = s->openReader(0);
        QCOMPARE(readRange(*s, reader, 0, 64 * qint64(p), p).size(), 64 * p);
        QTRY_COMPARE_WITH_TIMEOUT(s->handle().status().num_pieces, 64, 10000);

        const StreamTorrent::PieceMap map = s->pieceMap(0);
        QCOMPARE(map.firstPiece, 0);
        QCOMPARE(map.states.size(), 128);
        QCOMPARE(map.readPiece, 63);
        const std::vector<int> prio = piecePriorities(*s);
        QByteArray expected;
        for (int i = 0; i < 128; ++i)
            expected += s->handle().have_piece(i) ? 'd' : prio[size_t(i)] > 0 ? 'w' : '.';
        QCOMPARE(map.states, expected);
        // The tail and the next pieces are asked for.
        QCOMPARE(map.states.count('d'), 64);
        QCOMPARE(map.states.at(64), 'w');
        QCOMPARE(map.states.at(127), 'w');
    }

    void closeDeletesFolderAndReopenWaits()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Again"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(2 * kMiB, 6)}}, 256 * kKiB);
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        const QString leftover = QDir(engine.config().cacheDir).filePath(QStringLiteral("abc123"));
        QDir().mkpath(leftover);
        QFile(leftover + QStringLiteral("/x")).open(QIODevice::WriteOnly);

        QString error;
        auto first = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(first);
        first->addFile(0);
        swarm::connectToSeeder(first->handle(), seeder.port());
        const int reader = first->openReader(0);
        QCOMPARE(readRange(*first, reader, 0, 100, 256 * kKiB).size(), 100);
        QVERIFY(engine.cacheBytes() > 0);

        // The start-up purge removes leftovers, never open torrents.
        engine.purgeCache();
        QVERIFY(!QDir(leftover).exists());
        QVERIFY(QDir(first->downloadFolder()).exists());

        const QString oldFolder = first->downloadFolder();
        engine.close(first);
        auto second = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(second);
        QVERIFY(second->id() != first->id());
        // open() returned only after the session deleted the old files.
        QVERIFY(!QFile::exists(oldFolder + QStringLiteral("/Again/ep.mkv")));
        engine.waitForRemovals();
        QVERIFY(!QDir(oldFolder).exists());
        QVERIFY(logHas(QStringLiteral("engine: cache folder %1 deleted").arg(oldFolder)));
        QVERIFY(QDir(second->downloadFolder()).exists());
    }

    void storageErrorFailsReaders()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Broken"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(2 * kMiB, 7)}}, 256 * kKiB);
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app")), true));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(s);
        s->addFile(0);
        const int reader = s->openReader(0);
        ReadDeadline guard(std::chrono::seconds(30));
        BackgroundRead blocked(*s, reader, 0, &guard.flag);
        swarm::connectToSeeder(s->handle(), seeder.port());
        QVERIFY(blocked.waitFor(std::chrono::seconds(20)));
        QCOMPARE(blocked.result(), qint64(-1));
        QVERIFY(!guard.flag);
        QVERIFY(s->storageFailed);
        QVERIFY(!s->diskFull);
        QVERIFY(!s->storageErrorMessage().isEmpty());
        // The failure wakes the reader before its log line is written.
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("[%1] STORAGE ERROR: ").arg(s->id())),
                                 svd::test::waitMs(5000));

        QVERIFY(isDiskFullError(boost::system::errc::make_error_code(boost::system::errc::no_space_on_device)));
        QVERIFY(isDiskFullError(boost::system::error_code(ENOSPC, boost::system::system_category())));
        QVERIFY(!isDiskFullError(boost::system::errc::make_error_code(boost::system::errc::io_error)));
        QVERIFY(!isDiskFullError({}));
    }

    void dhtStateIsKeptWithoutNodes()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("app"));
        QDir().mkpath(root + QStringLiteral("/state"));
        const QString dat = root + QStringLiteral("/state/dht.dat");
        {
            QFile f(dat);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("this is not bencoded");
        }
        {
            TorrentEngine engine(engineConfig(root));
            QVERIFY(logHas(QStringLiteral("engine: DHT state unreadable: ")));
            QVERIFY(logHas(QStringLiteral("engine: loopback only (SVD_LOOPBACK_ONLY)")));
            QCOMPARE(engine.dhtNodes.load(), 0);
        }
        QVERIFY(logHas(QStringLiteral("engine: DHT has no nodes, keeping the saved DHT state")));
        QFile f(dat);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("this is not bencoded"));
    }

    void resolveFile()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Show"),
                                          {{QStringLiteral("Season 1/Ep 01.mkv"), QByteArray(1000, 'a')},
                                           {QStringLiteral("Season 1/Ep 02.mkv"), QByteArray(1000, 'b')},
                                           {QStringLiteral("subs/ep01.ass"), QByteArray(10, 'c')}},
                                          256 * kKiB);
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(s);
        QCOMPARE(s->filePath(1), QStringLiteral("Show/Season 1/Ep 02.mkv"));
        QCOMPARE(s->resolveFile(1, QString()), 1);
        QCOMPARE(s->resolveFile(1, QStringLiteral("show\\season 1\\EP 02.mkv")), 1);
        QCOMPARE(s->resolveFile(0, QStringLiteral("Show/Season 1/Ep 02.mkv")), 1);
        QCOMPARE(s->resolveFile(7, QStringLiteral("Other Root/Season 1/ep 02.MKV")), 1);
        QCOMPARE(s->resolveFile(0, QStringLiteral("Show/Season 2/Ep 01.mkv")), -1);
        QCOMPARE(s->resolveFile(9, QString()), -1);
        QCOMPARE(s->fileSize(9), qint64(-1));
        s->addFile(0);
        s->addFile(2);
        QCOMPARE(s->servedBytes(), qint64(1010));
    }
};

int runTorrentEngineTests(int argc, char **argv)
{
    TestTorrentEngine t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_torrent.moc"
