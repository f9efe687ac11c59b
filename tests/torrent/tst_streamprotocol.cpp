// The "svtorrent" stream protocol against a real torrent session and a headless libmpv.

#include "tests/torrent/swarm/loopbackswarm.h"
#include "tests/torrent/testsupport.h"
#include "torrent/streamprotocol.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <mpv/client.h>
#include <mpv/stream_cb.h>

using namespace svd;
using namespace svd::test;

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

int runStreamProtocolTests(int argc, char **argv)
{
    TestStreamProtocol t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_streamprotocol.moc"
