// The piece geometry and the window plan on their own: no session, no threads.

#include "tests/torrent/testsupport.h"
#include "torrent/windowplan.h"

#include <QtTest>

using namespace svd;
using namespace svd::test;

namespace {

// A torrent of 64 KiB pieces: file 0 fills pieces 0 to 23, file 1 pieces 24 to 27. Windows of
// eight pieces, three of them with deadlines, heads and tails two pieces deep: file 0's are
// 0, 1, 22 and 23, file 1's 24, 25, 26 and 27.
constexpr int kPiece = 64 * kKiB;
constexpr int kPieces = 28;
const std::map<int, FileSpan> kFiles{{0, {0, 24 * qint64(kPiece)}},
                                     {1, {24 * qint64(kPiece), 4 * kPiece - 100}}};

StreamParams planParams()
{
    StreamParams params;
    params.readAheadBytes = 8 * kPiece;
    params.urgentBytes = 3 * kPiece;
    params.headTailBytes = 2 * kPiece;
    return params;
}

// One digit a piece, then the deadlines as "piece:ms".
QString describe(const PiecePlan &plan)
{
    QString text;
    for (int p : plan.priorities)
        text += QString::number(p);
    text += QLatin1Char('|');
    for (const auto &[piece, ms] : plan.deadlines)
        text += QStringLiteral(" %1:%2").arg(piece).arg(ms);
    return text;
}

// Readers at byte positions of file 0.
PiecePlan planOf(const QList<int> &servedFiles, const QList<int> &held, const QList<qint64> &open,
                 qint64 closed)
{
    std::map<int, FileSpan> spans;
    for (int f : servedFiles)
        spans.emplace(f, kFiles.at(f));
    const StreamParams params = planParams();
    std::vector<char> have(kPieces, 0);
    for (int p : held)
        have[size_t(p)] = 1;
    ReadPositions readers;
    for (qint64 position : open)
        readers.open.push_back({0, position});
    if (closed >= 0)
        readers.lastClosed[0] = closed;
    return planPieces(params, serveFiles(spans, kPiece, kPieces, params.headTailBytes), readers, have);
}

QString describe(const DeadlineSteps &steps)
{
    QStringList parts;
    if (steps.clearAll)
        parts << QStringLiteral("clear");
    for (int piece : steps.reset)
        parts << QStringLiteral("reset %1").arg(piece);
    for (const auto &[piece, ms] : steps.set)
        parts << QStringLiteral("set %1:%2").arg(piece).arg(ms);
    return parts.join(QStringLiteral(", "));
}

} // namespace

class TestWindowPlan : public QObject
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
        QCOMPARE(std::find_if(shared.begin(), shared.end(), [](auto &e) { return e.first == 3; })->second,
                 300);
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

    // While a file starts, its first piece and the reader's next piece carry the deadlines and
    // its other heads and tails follow the reader's next pieces (which fall in priority, so a
    // peer sends them in reading order), the end of the file (an index) before the head; head pieces the reader is already past are not wanted;
    // the rest of the window waits at the lowest priority. Once the heads and tails are in, they wait there themselves and
    // the window opens in full, falling in priority with distance, with deadlines on its next
    // three missing pieces, one at a time at the top.
    void plans_data()
    {
        QTest::addColumn<QList<int>>("served");
        QTest::addColumn<QList<int>>("held");
        QTest::addColumn<QList<qint64>>("open");
        QTest::addColumn<qint64>("closed");
        QTest::addColumn<QString>("plan");
        const QList<int> ends{0, 1, 22, 23};
        const qint64 at10 = 10 * qint64(kPiece) + 17;
        QTest::newRow("served, no reader yet")
            << QList<int>{0} << QList<int>{} << QList<qint64>{} << qint64(-1)
            << QStringLiteral("7300000000000000000000440000| 0:0");
        QTest::newRow("start")
            << QList<int>{0} << QList<int>{} << QList<qint64>{at10} << qint64(-1)
            << QStringLiteral("7000000000765111110000440000| 0:0 10:0");
        // A reader past the end reads the last piece: the index of an MP4 without fast start.
        QTest::newRow("start at the tail")
            << QList<int>{0} << QList<int>{} << QList<qint64>{24 * qint64(kPiece) + 5000} << qint64(-1)
            << QStringLiteral("7300000000000000000000470000| 0:0 23:0");
        QTest::newRow("heads and tails in")
            << QList<int>{0} << ends << QList<qint64>{at10} << qint64(-1)
            << QStringLiteral("1100000000766443320000110000| 10:0 11:400 12:800");
        QTest::newRow("a piece in hands its deadline on")
            << QList<int>{0} << (ends + QList<int>{10}) << QList<qint64>{at10} << qint64(-1)
            << QStringLiteral("1100000000576643320000110000| 11:400 12:800 13:1200");
        // The player jumped into the file before a head piece came in: that piece waits for a
        // seek back, out of the way of the reader's pieces, and holds the start no longer.
        QTest::newRow("a head piece jumped over")
            << QList<int>{0} << QList<int>{0, 22, 23} << QList<qint64>{at10} << qint64(-1)
            << QStringLiteral("1000000000766443320000110000| 10:0 11:400 12:800");
        QTest::newRow("clipped at the file end")
            << QList<int>{0} << ends << QList<qint64>{21 * qint64(kPiece)} << qint64(-1)
            << QStringLiteral("1100000000000000000007550000| 21:0");
        // Where windows overlap, the higher priority and the earlier deadline win.
        QTest::newRow("two readers")
            << QList<int>{0} << ends << QList<qint64>{at10, 12 * qint64(kPiece)} << qint64(-1)
            << QStringLiteral("1100000000767664433200110000| 10:0 11:400 12:0 13:400 14:800");
        // Another file starting does not narrow the window of one already playing.
        QTest::newRow("a file served later")
            << QList<int>{0, 1} << ends << QList<qint64>{at10} << qint64(-1)
            << QStringLiteral("1100000000766443320000117444| 10:0 11:400 12:800 24:0");
        QTest::newRow("a closed reader keeps its window")
            << QList<int>{0} << ends << QList<qint64>{} << at10
            << QStringLiteral("1100000000766443320000110000| 10:0 11:400 12:800");
        QTest::newRow("an open reader replaces it")
            << QList<int>{0} << ends << QList<qint64>{at10} << 3 * qint64(kPiece)
            << QStringLiteral("1100000000766443320000110000| 10:0 11:400 12:800");
        QTest::newRow("nothing served")
            << QList<int>{} << ends << QList<qint64>{at10} << qint64(-1)
            << QStringLiteral("0000000000000000000000000000|");
    }

    void plans()
    {
        QFETCH(QList<int>, served);
        QFETCH(QList<int>, held);
        QFETCH(QList<qint64>, open);
        QFETCH(qint64, closed);
        QFETCH(QString, plan);
        QCOMPARE(describe(planOf(served, held, open, closed)), plan);
    }

    // A reader of a started file moves on from piece 10. A step keeps the deadlines libtorrent
    // already has (set again, they would start over from now); a jump ahead past the deadline
    // pieces, or back by more than one piece, replaces them all, so libtorrent cancels the
    // requests still out for the old place.
    void moves_data()
    {
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("steps");
        QTest::newRow("one on") << 11 << QStringLiteral("reset 10, set 13:800");
        QTest::newRow("to the last deadline piece")
            << 13 << QStringLiteral("reset 10, reset 11, reset 12, set 13:0, set 14:400, set 15:800");
        QTest::newRow("jump ahead") << 14 << QStringLiteral("clear, set 14:0, set 15:400, set 16:800");
        QTest::newRow("one back") << 9 << QStringLiteral("reset 12, set 9:0");
        QTest::newRow("jump back") << 8 << QStringLiteral("clear, set 8:0, set 9:400, set 10:800");
    }

    void moves()
    {
        QFETCH(int, to);
        QFETCH(QString, steps);
        const QList<int> ends{0, 1, 22, 23};
        const PiecePlan before = planOf({0}, ends, {10 * qint64(kPiece)}, -1);
        const PiecePlan after = planOf({0}, ends, {to * qint64(kPiece)}, -1);
        QCOMPARE(describe(deadlineSteps(before, after, isJump(planParams(), kPiece, 10, to))), steps);
    }
};

int runWindowPlanTests(int argc, char **argv)
{
    TestWindowPlan t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_windowplan.moc"
