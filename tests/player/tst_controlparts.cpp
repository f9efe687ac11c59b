// The decisions of the parts the playback controller is made of, fed cases without a player,
// a torrent or a swarm: which source comes next, when a source is silent or stalled, and when
// the next episode may be prepared.

#include "disk/cachebudget.h"
#include "player/failoverpolicy.h"
#include "player/nextepisodeprep.h"
#include "player/sourcerace.h"
#include "tests/player/testsupport.h"
#include "torrent/streamtorrent.h"

#include <QTest>

using namespace svd;

namespace {

constexpr qint64 MiB = disk::kMiB;

QList<SourceInfo> sourcesWithHashes(const QStringList &hashes)
{
    QList<SourceInfo> sources;
    for (const QString &h : hashes) {
        SourceInfo s;
        s.infoHash = h;
        sources.append(s);
    }
    return sources;
}

} // namespace

class TestControlParts : public QObject {
    Q_OBJECT

private slots:
    void nextCandidate_data()
    {
        QTest::addColumn<QStringList>("hashes");
        QTest::addColumn<QList<int>>("givenUp");
        QTest::addColumn<int>("after");
        QTest::addColumn<bool>("started");
        QTest::addColumn<int>("next");
        const QStringList abc{QStringLiteral("aa"), QStringLiteral("bb"), QStringLiteral("cc")};
        QTest::newRow("the following one") << abc << QList<int>{} << 0 << false << 1;
        QTest::newRow("the same swarm is skipped")
            << QStringList{QStringLiteral("aa"), QStringLiteral("AA"), QStringLiteral("bb")} << QList<int>{} << 0
            << false << 2;
        QTest::newRow("a given-up one is skipped") << abc << QList<int>{1} << 0 << false << 2;
        QTest::newRow("none after the last before the start") << abc << QList<int>{} << 2 << false << -1;
        QTest::newRow("an earlier one in mid-episode") << abc << QList<int>{0} << 2 << true << 1;
        QTest::newRow("nothing but the same swarm")
            << QStringList{QStringLiteral("aa"), QStringLiteral("aa")} << QList<int>{} << 1 << true << -1;
    }
    void nextCandidate()
    {
        QFETCH(QStringList, hashes);
        QFETCH(QList<int>, givenUp);
        QFETCH(int, after);
        QFETCH(bool, started);
        QFETCH(int, next);
        FailoverPolicy policy(nullptr, 45, 30);
        for (int i : givenUp)
            policy.giveUp(i, nullptr);
        QCOMPARE(policy.nextCandidate(sourcesWithHashes(hashes), after, started), next);
    }

    // Sources left in mid-episode wait until all others failed, then get one retry.
    void givenUpSourcesRetriedOnce()
    {
        FailoverPolicy policy(nullptr, 45, 30);
        policy.giveUp(1, nullptr);
        QCOMPARE(policy.admit(1, 3), 2);
        QCOMPARE(policy.admit(3, 3), 1);
        QCOMPARE(policy.admit(2, 3), 2);
        QCOMPARE(policy.admit(3, 3), 3);
    }

    // Two ticks `seconds` apart after the first frame; the data either grows between them or not.
    void stallReason_data()
    {
        QTest::addColumn<bool>("pausedForCache");
        QTest::addColumn<bool>("dataArrives");
        QTest::addColumn<int>("peers");
        QTest::addColumn<double>("buffered");
        QTest::addColumn<bool>("eofCached");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("reason");
        QTest::newRow("stalled with no data") << true << false << 3 << 0.0 << false << 9.0
                                              << QStringLiteral("stalled 9 s with no data");
        QTest::newRow("stalled but data arrives") << true << true << 3 << 0.0 << false << 9.0 << QString();
        QTest::newRow("stalled briefly") << true << false << 3 << 0.0 << false << 7.0 << QString();
        QTest::newRow("no peers, buffer running dry")
            << false << true << 0 << 4.0 << false << 6.0 << QStringLiteral("no peers for 6 s, 4.0 s buffered");
        QTest::newRow("no peers, buffer full") << false << true << 0 << 20.0 << false << 6.0 << QString();
        QTest::newRow("no peers, end buffered") << false << true << 0 << 4.0 << true << 6.0 << QString();
    }
    void stallReason()
    {
        QFETCH(bool, pausedForCache);
        QFETCH(bool, dataArrives);
        QFETCH(int, peers);
        QFETCH(double, buffered);
        QFETCH(bool, eofCached);
        QFETCH(double, seconds);
        QFETCH(QString, reason);
        FailoverPolicy policy(nullptr, 45, 30);
        policy.resetWatch(100.0);
        FailoverPolicy::Sample s{100.0, 1000, peers, pausedForCache, buffered, eofCached};
        QCOMPARE(policy.stallReason(s), QString());
        s.now += seconds;
        if (dataArrives)
            s.bytesDone += 65536;
        QCOMPARE(policy.stallReason(s), reason);
    }

    void silentSource_data()
    {
        QTest::addColumn<int>("known");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<int>("connections");
        QTest::addColumn<int>("peers");
        QTest::addColumn<qint64>("payload");
        QTest::addColumn<double>("secondsOpen");
        QTest::addColumn<int>("silence");
        using S = SourceRace::Silence;
        QTest::newRow("a connected peer") << 2 << 0 << 1 << 1 << qint64(0) << 5.0 << int(S::None);
        QTest::newRow("quiet for 1 s") << 0 << 0 << 0 << 0 << qint64(0) << 1.0 << int(S::None);
        QTest::newRow("quiet for 2 s") << 0 << 0 << 0 << 0 << qint64(0) << 2.5 << int(S::NoPeers);
        QTest::newRow("every known peer dropped us") << 3 << 3 << 0 << 0 << qint64(0) << 0.5 << int(S::AllPeersDropped);
        QTest::newRow("one still connecting") << 3 << 2 << 1 << 0 << qint64(0) << 0.5 << int(S::None);
        QTest::newRow("dropped after sending data") << 1 << 1 << 0 << 0 << qint64(5000) << 0.5 << int(S::None);
    }
    void silentSource()
    {
        QFETCH(int, known);
        QFETCH(int, dropped);
        QFETCH(int, connections);
        QFETCH(int, peers);
        QFETCH(qint64, payload);
        QFETCH(double, secondsOpen);
        QFETCH(int, silence);
        PeerCounts st;
        st.valid = true;
        st.listPeers = known;
        st.droppedPeers = dropped;
        st.numConnections = connections;
        st.numPeers = peers;
        st.payloadDownloaded = payload;
        QCOMPARE(int(SourceRace::silence(st, secondsOpen)), silence);
    }

    // With 4 MiB heads and tails the preparation wants 80 MiB to spare under the cap.
    void roomToPrepare_data()
    {
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<qint64>("held");
        QTest::addColumn<qint64>("leaving");
        QTest::addColumn<bool>("room");
        QTest::newRow("room to spare") << 1024 * MiB << 900 * MiB << qint64(0) << true;
        QTest::newRow("just enough") << 1000 * MiB << 920 * MiB << qint64(0) << true;
        QTest::newRow("a little short") << 1000 * MiB << 921 * MiB << qint64(0) << false;
        QTest::newRow("a dropped preparation still on disk") << 1024 * MiB << 900 * MiB << 50 * MiB << false;
    }
    void roomToPrepare()
    {
        QFETCH(qint64, cap);
        QFETCH(qint64, held);
        QFETCH(qint64, leaving);
        QFETCH(bool, room);
        QCOMPARE(NextEpisodePrep::roomToPrepare(cap, held, leaving, 4 * MiB), room);
    }
};

SVD_REGISTER_TEST(TestControlParts)
#include "tst_controlparts.moc"
