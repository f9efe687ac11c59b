// Torrent streaming against real libtorrent sessions seeding on 127.0.0.1 and a headless libmpv.

#include "base/log.h"
#include "tests/common/timescale.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "torrent/streamprotocol.h"
#include "torrent/torrentengine.h"
#include "torrent/uploadcap.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <libtorrent/torrent_handle.hpp>
#include <mpv/client.h>
#include <mpv/stream_cb.h>

#include <clocale>
#include <thread>

using namespace svd;

namespace {

constexpr int kKiB = 1024;
constexpr int kMiB = 1024 * 1024;

QString g_logPath;

bool logHas(const QString &text)
{
    QFile f(g_logPath);
    return f.open(QIODevice::ReadOnly) && QString::fromUtf8(f.readAll()).contains(text);
}

EngineConfig engineConfig(const QString &root, bool storageError = false)
{
    EngineConfig cfg;
    cfg.stateDir = root + QStringLiteral("/state");
    cfg.cacheDir = root + QStringLiteral("/cache");
    cfg.testStorageError = storageError;
    return cfg;
}

// Cancels a blocked read after a while, so a broken swarm fails a test instead of hanging it.
class ReadDeadline
{
public:
    explicit ReadDeadline(std::chrono::seconds limit)
        : m_thread([this, limit] {
              std::unique_lock l(m_mutex);
              if (!m_cond.wait_for(l, limit, [this] { return m_done; }))
                  flag = true;
          })
    {
    }
    ~ReadDeadline()
    {
        {
            std::lock_guard l(m_mutex);
            m_done = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }
    std::atomic<bool> flag{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    std::thread m_thread;
};

// A read on its own thread. Joined with pthread primitives rather than std::future, whose
// futex wait ThreadSanitizer cannot see through.
class BackgroundRead
{
public:
    BackgroundRead(StreamTorrent &t, int reader, qint64 position, const std::atomic<bool> *cancel)
        : m_thread([this, &t, reader, position, cancel] {
              char buf[16];
              const qint64 n = t.read(reader, position, buf, sizeof buf, cancel);
              std::lock_guard l(m_mutex);
              m_result = n;
              m_done = true;
              m_cond.notify_all();
          })
    {
    }
    ~BackgroundRead() { m_thread.join(); }
    bool waitFor(std::chrono::milliseconds limit)
    {
        std::unique_lock l(m_mutex);
        return m_cond.wait_for(l, limit, [this] { return m_done; });
    }
    qint64 result()
    {
        waitFor(std::chrono::hours(1));
        std::lock_guard l(m_mutex);
        return m_result;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    qint64 m_result = 0;
    std::thread m_thread;
};

// Reads [from, from + count) through one reader, one piece at most per call as the player does.
QByteArray readRange(StreamTorrent &t, int reader, qint64 from, qint64 count, int pieceLength)
{
    ReadDeadline deadline(std::chrono::seconds(45));
    const std::atomic<bool> *cancel = &deadline.flag;
    QByteArray out;
    qint64 pos = from;
    while (out.size() < count) {
        QByteArray chunk(int(std::min<qint64>(count - out.size(), 3 * kMiB)), Qt::Uninitialized);
        const qint64 n = t.read(reader, pos, chunk.data(), chunk.size(), cancel);
        if (n <= 0)
            break;
        if (n > pieceLength)
            return QByteArray("read crossed a piece end");
        out.append(chunk.constData(), n);
        pos += n;
    }
    return out;
}

std::vector<int> piecePriorities(const StreamTorrent &t)
{
    std::vector<int> out;
    for (lt::download_priority_t p : t.handle().get_piece_priorities())
        out.push_back(static_cast<int>(static_cast<std::uint8_t>(p)));
    return out;
}

std::vector<int> filePriorities(const StreamTorrent &t)
{
    std::vector<int> out;
    for (lt::download_priority_t p : t.handle().get_file_priorities())
        out.push_back(static_cast<int>(static_cast<std::uint8_t>(p)));
    return out;
}

std::set<int> topPriorityPieces(const StreamTorrent &t)
{
    std::set<int> out;
    const auto prio = piecePriorities(t);
    for (size_t i = 0; i < prio.size(); ++i) {
        if (prio[i] == 7)
            out.insert(int(i));
    }
    return out;
}

} // namespace

// Window, deadline and head/tail rules on their own.
class TestStreamGeometry : public QObject
{
    Q_OBJECT
private slots:
    void windowAndHeadTail()
    {
        const StreamParams d;
        // 2 MiB pieces: 12-piece window, deadlines every 400 ms; head/tail two pieces deep.
        QCOMPARE(windowPieces(d.readAheadBytes, d.minWindowPieces, 2 * kMiB), 12);
        const auto ht = headTailPieces({{0, 9}}, 2 * kMiB, d.headTailBytes);
        const std::vector<std::pair<int, int>> expect = {{0, 0}, {9, 300}, {1, 200}, {8, 500}};
        QCOMPARE(ht, expect);

        // 16 MiB pieces: window 3, one head and one tail piece; 32 MiB pieces keep six in the cache.
        QCOMPARE(windowPieces(d.readAheadBytes, d.minWindowPieces, 16 * kMiB), 3);
        QCOMPARE(int(headTailPieces({{2, 7}}, 16 * kMiB, d.headTailBytes).size()), 2);
        QCOMPARE(pieceCacheLimit(16 * kMiB), qint64(96) * kMiB);
        QCOMPARE(pieceCacheLimit(32 * kMiB), qint64(192) * kMiB);
        QCOMPARE(pieceCacheLimit(256 * kKiB), qint64(96) * kMiB);

        // A one-piece file: that piece is head and tail, deadline 0.
        const auto one = headTailPieces({{4, 4}}, 2 * kMiB, d.headTailBytes);
        QCOMPARE(one, (std::vector<std::pair<int, int>>{{4, 0}}));

        // Two files sharing a boundary piece: the piece keeps its first deadline.
        const auto shared = headTailPieces({{0, 3}, {3, 6}}, 2 * kMiB, d.headTailBytes);
        QCOMPARE(std::count_if(shared.begin(), shared.end(), [](auto &e) { return e.first == 3; }), 1);
        QCOMPARE(std::find_if(shared.begin(), shared.end(), [](auto &e) { return e.first == 3; })->second, 300);

    }

    // The whole window is wanted, falling in priority with distance; only each file's first
    // piece while it starts and the next missing pieces of each window carry deadlines, one at
    // a time at the top; a file still starting ranks only the start of its windows.
    void windowPlan()
    {
        std::vector<char> have(40, 0);
        have[6] = have[7] = 1;
        const std::map<int, int> statics{{0, 0}, {39, 300}};
        // Reader at piece 5 of a file ending at 30 (started), reader at 33 of a file still starting.
        const WindowPlan plan =
            planWindow(statics, {0}, {0, 39}, {{5, 30, false}, {33, 39, true}}, have, 12, 3, 4, 400);
        QCOMPARE(plan.wanted.size(), size_t(1 + 12 + 7));
        QVERIFY(!plan.wanted.count(17));
        // The starting file's full window is wanted last: the torrent never runs out of wanted
        // pieces (and interest in its peers) between its last head/tail piece and the widening.
        QCOMPARE(plan.wanted.at(36), kSettledStaticPriority);
        const std::vector<std::pair<int, int>> deadlines{{0, 0},     {5, 0},  {8, 1200}, {9, 1600}, {10, 2000},
                                                         {33, 0}};
        QCOMPARE(plan.deadlines, deadlines);
        for (int piece : {0, 5, 33})
            QCOMPARE(plan.wanted.at(piece), kUrgentPriority);
        for (int piece : {8, 10, 34})
            QCOMPARE(plan.wanted.at(piece), kSoonPriority);
        QCOMPARE(plan.wanted.at(39), kReadAheadPriority); // the end after the reader's next pieces
        QCOMPARE(plan.wanted.at(11), 4);
        QCOMPARE(plan.wanted.at(16), kFarReadAheadPriority);
        // Heads and tails of a file already playing stay wanted, last and without deadline.
        const WindowPlan settled = planWindow(statics, {0}, {}, {}, have, 12, 3, 4, 400);
        QCOMPARE(settled.wanted.at(0), kSettledStaticPriority);
        QVERIFY(settled.deadlines.empty());
        // Clipped at the file end, the smaller deadline wins where windows overlap.
        const WindowPlan two = planWindow({}, {}, {}, {{28, 30, false}, {29, 30, false}}, have, 12, 3, 4, 400);
        QCOMPARE(two.deadlines, (std::vector<std::pair<int, int>>{{28, 0}, {29, 0}, {30, 400}}));
    }

    void fileSpans()
    {
        const int p = 256 * kKiB;
        QCOMPARE(pieceAt({p - 10, 100}, 9, p), 0);
        QCOMPARE(pieceAt({p - 10, 100}, 10, p), 1);
        QCOMPARE(piecesOf({p - 10, 100}, p).first, 0);
        QCOMPARE(piecesOf({p - 10, 100}, p).last, 1);
        // An empty file still sits on the piece at its offset.
        QCOMPARE(piecesOf({3 * p, 0}, p).first, 3);
        QCOMPARE(piecesOf({3 * p, 0}, p).last, 3);
    }
};

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
        QCOMPARE(s->appliedDeadlines(), (std::vector<std::pair<int, int>>{{range.first, 0}}));

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

    void magnetGetsMetadataFromTheSeeder()
    {
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Mag"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(6 * kMiB + 1, 3)}}, 2 * kMiB);
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(QByteArray(), t.magnet(seeder.port()), &error);
        QVERIFY2(s, qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(s->metadataReady, svd::test::waitMs(20000));
        QCOMPARE(s->numFiles(), 1);
        QCOMPARE(s->infoHashKey(), t.infoHash);
        QTRY_COMPARE_WITH_TIMEOUT(filePriorities(*s), std::vector<int>{0}, svd::test::waitMs(5000));
        s->addFile(0);
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

        // A seek's wake fails the one read waiting then, never with 0 (the end of the file), and
        // the next read waits again: it may follow a seek back into the player's own cache that
        // never reached the stream.
        const auto seek = std::chrono::steady_clock::now();
        {
            BackgroundRead woken(*s, reader, 0, nullptr);
            QVERIFY(!woken.waitFor(std::chrono::milliseconds(300)));
            QCOMPARE(s->interruptStaleReads(0, seek), 1);
            QCOMPARE(woken.result(), qint64(-1));
        }
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
        char buf[16];
        QCOMPARE(s->read(reader, 0, buf, sizeof buf, nullptr), qint64(-1));
        QVERIFY(!engine.find(s->id()));
    }

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
        s->addFile(0); // head 0..15, tail 48..63 (4 MiB each)
        const int reader = s->openReader(0);
        s->moveReader(reader, 30 * qint64(p) + 17);
        // Until the heads and tails are in, only the reader's piece and the file's first piece
        // carry deadlines; the next pieces of the window go before the other heads and tails.
        auto applied = s->appliedDeadlines();
        QCOMPARE(applied, (std::vector<std::pair<int, int>>{{0, 0}, {30, 0}}));
        const auto starting = piecePriorities(*s);
        QVERIFY(starting[31] > starting[48] && starting[32] > starting[63] && starting[48] > starting[40]);

        // The last head/tail piece opens the full window (24 MiB / 256 KiB = 96 pieces, clipped
        // at the file end): all wanted, deadlines only on the next 4 MiB.
        for (const auto &e : s->staticPieces())
            s->onPieceFinished(e.first);
        applied = s->appliedDeadlines();
        std::map<int, int> asMap(applied.begin(), applied.end());
        QCOMPARE(asMap.size(), size_t(16));
        QCOMPARE(asMap.at(30), 0);
        QCOMPARE(asMap.at(45), 15 * 400);
        const auto prio = piecePriorities(*s);
        for (int i = 30; i <= 47; ++i)
            QVERIFY(prio[size_t(i)] >= kReadAheadPriority);
        QCOMPARE(prio[29], 0);
        QCOMPARE(prio[47], kReadAheadPriority);

        // A finished deadline piece hands its deadline on.
        s->onPieceFinished(30);
        applied = s->appliedDeadlines();
        QCOMPARE(applied.front(), (std::pair<int, int>{31, 400}));
        QCOMPARE(applied.back(), (std::pair<int, int>{46, 16 * 400}));

        // A subtitle file served after the start gets its heads and tails first, and the
        // video's window stays as wide as it was.
        s->addFile(1);
        applied = s->appliedDeadlines();
        QCOMPARE(applied.size(), size_t(16 + 1));
        QCOMPARE(applied.back(), (std::pair<int, int>{64, 0}));
        QCOMPARE(piecePriorities(*s)[47], kReadAheadPriority);
        s->removeFile(1);
        applied = s->appliedDeadlines();

        // Inside the same piece nothing changes; closing the reader keeps its window.
        s->moveReader(reader, 30 * qint64(p) + 1000);
        QCOMPARE(s->appliedDeadlines(), applied);
        s->closeReader(reader);
        QCOMPARE(s->appliedDeadlines(), applied);
        s->removeFile(0);
        QVERIFY(s->appliedDeadlines().empty());
        QVERIFY(topPriorityPieces(*s).empty());
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
            const std::vector<int> plan = s->appliedPriorities();
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
            const std::vector<int> plan = s->appliedPriorities();
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
        s->moveReader(reader, 64 * qint64(p));
        QVERIFY2(priorities().isEmpty(), qPrintable(why));
        swarm::connectToSeeder(s->handle(), seeder.port());
        QTRY_VERIFY_WITH_TIMEOUT(s->events().headTailDoneAt >= 0, 20000);
        for (int piece : {128, 120, 122}) {
            s->moveReader(reader, piece * qint64(p));
            QTRY_VERIFY2_WITH_TIMEOUT(priorities().isEmpty(), qPrintable(why), 3000);
        }
        QVERIFY(!s->appliedDeadlines().empty());
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

class TestStreamProtocol : public QObject
{
    Q_OBJECT
private slots:
    void callbacks()
    {
        QCOMPARE(torrentUri(QStringLiteral("3fa9c01b2"), 4), QStringLiteral("svtorrent://3fa9c01b2/4"));
        QTemporaryDir dir;
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Proto"),
                                          {{QStringLiteral("ep.mkv"), swarm::randomBytes(3 * kMiB, 8)}}, 256 * kKiB);
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        QString error;
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(s);
        auto noMeta = engine.open(QByteArray(), QString::fromLatin1(swarm::randomBytes(20, 9).toHex().prepend("magnet:?xt=urn:btih:")), &error);
        QVERIFY(noMeta);

        const QStringList bad = {QStringLiteral("svtorrent://%1/x").arg(s->id()),
                                 QStringLiteral("svtorrent://%1/").arg(s->id()),
                                 QStringLiteral("svtorrent://%1/99999999999").arg(s->id()),
                                 QStringLiteral("svtorrent://ffffffffff1/0"),
                                 QStringLiteral("svtorrent://%1/0").arg(noMeta->id())};
        for (const QString &uri : bad) {
            mpv_stream_cb_info info{};
            QCOMPARE(openTorrentStream(&engine, uri.toUtf8().constData(), &info), -13);
            QVERIFY2(logHas(QStringLiteral("protocol: cannot open %1").arg(uri)), qPrintable(uri));
        }
        mpv_stream_cb_info info{};
        QCOMPARE(openTorrentStream(&engine, qPrintable(QStringLiteral("svtorrent://%1/3").arg(s->id())), &info), -13);

        s->addFile(0);
        swarm::connectToSeeder(s->handle(), seeder.port());
        QCOMPARE(openTorrentStream(&engine, qPrintable(torrentUri(s->id(), 0) + QStringLiteral("/ignored")), &info), 0);
        const qint64 size = t.files[0].data.size();
        QCOMPARE(info.size_fn(info.cookie), size);
        QCOMPARE(info.seek_fn(info.cookie, -1), qint64(MPV_ERROR_GENERIC));
        QCOMPARE(info.seek_fn(info.cookie, size + 1), qint64(MPV_ERROR_GENERIC));
        QCOMPARE(info.seek_fn(info.cookie, size), size);
        char byte;
        QCOMPARE(info.read_fn(info.cookie, &byte, 1), int64_t(0));
        QCOMPARE(info.seek_fn(info.cookie, 0), qint64(0));
        QByteArray got;
        while (got.size() < 1572864) {
            QByteArray chunk(1572864 - got.size(), Qt::Uninitialized);
            const int64_t n = info.read_fn(info.cookie, chunk.data(), uint64_t(chunk.size()));
            QVERIFY(n > 0);
            got.append(chunk.constData(), n);
        }
        QCOMPARE(got, t.files[0].data.left(1572864));
        info.cancel_fn(info.cookie);
        QCOMPARE(info.read_fn(info.cookie, &byte, 1), int64_t(-1));
        info.close_fn(info.cookie);
        QVERIFY(logHas(QStringLiteral("[%1] mpv closed stream file #0 at 1572864 (1.5 MiB read)").arg(s->id())));
        // A cancel that comes after the close never reaches the stream opened next, though
        // that one may live where the closed one did.
        mpv_stream_cb_info next{};
        QCOMPARE(openTorrentStream(&engine, qPrintable(torrentUri(s->id(), 0)), &next), 0);
        info.cancel_fn(info.cookie);
        QCOMPARE(next.read_fn(next.cookie, &byte, 1), int64_t(1));
        next.close_fn(next.cookie);

        // A stream keeps its torrent alive after the engine closed it; reads then fail at once.
        QCOMPARE(openTorrentStream(&engine, qPrintable(torrentUri(s->id(), 0)), &info), 0);
        engine.close(s);
        s.reset();
        QCOMPARE(info.read_fn(info.cookie, &byte, 1), int64_t(-1));
        info.close_fn(info.cookie);
    }

    void mpvPlaysATorrentStream()
    {
        QTemporaryDir dir;
        const QString clip = dir.filePath(QStringLiteral("clip.mkv"));
        QString error;
        QVERIFY2(swarm::makeVideoClip(clip, 2.0, &error), qPrintable(error));
        QFile f(clip);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const auto t = swarm::makeTorrent(dir.filePath(QStringLiteral("seed")), QStringLiteral("Clip"),
                                          {{QStringLiteral("clip.mkv"), f.readAll()}}, 256 * kKiB);
        swarm::Seeder seeder(t);
        QVERIFY(seeder.ready());
        TorrentEngine engine(engineConfig(dir.filePath(QStringLiteral("app"))));
        auto s = engine.open(t.torrentBytes, QString(), &error);
        QVERIFY(s);
        s->addFile(0);
        swarm::connectToSeeder(s->handle(), seeder.port());

        mpv_handle *mpv = mpv_create();
        QVERIFY(mpv);
        for (const char *opt : {"vo=null", "ao=null", "audio=no", "terminal=no", "ytdl=no", "idle=yes"}) {
            const QByteArray o(opt);
            const int eq = o.indexOf('=');
            mpv_set_option_string(mpv, o.left(eq).constData(), o.mid(eq + 1).constData());
        }
        QCOMPARE(mpv_initialize(mpv), 0);
        QVERIFY(installTorrentProtocol(mpv, &engine));
        const QByteArray uri = torrentUri(s->id(), 0).toUtf8();
        const char *cmd[] = {"loadfile", uri.constData(), nullptr};
        QCOMPARE(mpv_command(mpv, cmd), 0);
        bool loaded = false;
        int endReason = -1;
        int endError = 0;
        QElapsedTimer timer;
        timer.start();
        while (endReason < 0 && timer.elapsed() < 60000) {
            mpv_event *e = mpv_wait_event(mpv, 0.5);
            if (e->event_id == MPV_EVENT_FILE_LOADED)
                loaded = true;
            if (e->event_id == MPV_EVENT_END_FILE) {
                auto *end = static_cast<mpv_event_end_file *>(e->data);
                endReason = end->reason;
                endError = end->error;
            }
        }
        mpv_terminate_destroy(mpv);
        QVERIFY(loaded);
        QCOMPARE(endReason, int(MPV_END_FILE_REASON_EOF));
        QCOMPARE(endError, 0);
        QVERIFY(logHas(QStringLiteral("[%1] mpv opened stream file #0").arg(s->id())));
        QVERIFY(logHas(QStringLiteral("[%1] mpv closed stream file #0").arg(s->id())));
    }
};

int main(int argc, char **argv)
{
    // Nothing here may reach beyond this machine.
    qputenv("SVD_LOOPBACK_ONLY", "1");
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QTemporaryDir logDir;
    g_logPath = logDir.filePath(QStringLiteral("test.log"));
    logStart(g_logPath);
    int status = 0;
    TestStreamGeometry geometry;
    status |= QTest::qExec(&geometry, argc, argv);
    TestTorrentEngine engine;
    status |= QTest::qExec(&engine, argc, argv);
    TestStreamProtocol protocol;
    status |= QTest::qExec(&protocol, argc, argv);
    return status;
}

#include "tst_torrent.moc"
