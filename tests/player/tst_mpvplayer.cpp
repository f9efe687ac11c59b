#include "player/mpvplayer.h"
#include "tests/common/timescale.h"
#include "tests/player/testsupport.h"

#include <QSignalSpy>
#include <QTest>

using namespace svd;
using svd::test::LogMark;

namespace {

MpvPlayer::InitOptions headless()
{
    MpvPlayer::InitOptions o;
    o.headless = true;
    return o;
}

QVariantList audioTracks(const MpvPlayer &p)
{
    return p.tracksOfType(QStringLiteral("audio"));
}

} // namespace

class TestMpvPlayer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_clip = test::makeClip(QStringLiteral("clip.mkv"), 6);
        m_dub = test::makeAudio(QStringLiteral("dub.mka"), 6, 880, QStringLiteral("rus"));
        QVERIFY2(!m_clip.isEmpty() && !m_dub.isEmpty(), "ffmpeg could not generate the test media");
    }

    void inertWithoutHandle()
    {
        MpvPlayer p;
        QVERIFY(!p.isInitialized());
        QVERIFY(!p.getProp(QStringLiteral("mpv-version")).isValid());
        bool called = false;
        p.commandAsync({QStringLiteral("stop")}, [&](int) { called = true; });
        p.command({QStringLiteral("stop")});
        p.setProp(QStringLiteral("pause"), true);
        p.loadFile(m_clip, {m_dub});
        p.setReadAhead(true);
        p.reinitVideo();
        p.pump();
        QVERIFY(!called);
        QSignalSpy gone(&p, &MpvPlayer::aboutToDestroy);
        p.destroy();
        QCOMPARE(gone.count(), 0);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+$"))
                    .match(MpvPlayer::clientApiVersion())
                    .hasMatch());
    }

    // Every fixed option must be one this libmpv knows; a renamed option only
    // shows up as a log line, so the log is what we check.
    void initAppliesOptionsAndLogs()
    {
        LogMark log;
        MpvPlayer p;
        QVERIFY(p.init(headless(), nullptr));
        const QString text = log.text();
        QVERIFY2(!text.contains(QStringLiteral("mpv: option")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("mpv: command keybind")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral(" (client API ") + MpvPlayer::clientApiVersion() +
                              QStringLiteral(") headless")));
        const int at = text.indexOf(QStringLiteral("mpv: ffmpeg "));
        QVERIFY(at >= 0);
        const QString buildLine = text.mid(at).section(QLatin1Char('\n'), 0, 0);
        QVERIFY(buildLine.section(QStringLiteral("; build: "), 1).size() <= 400);
        QCOMPARE(p.getProp(QStringLiteral("volume-max")).toDouble(), 130.0);

        QSignalSpy gone(&p, &MpvPlayer::aboutToDestroy);
        bool handleDuringSignal = false;
        connect(&p, &MpvPlayer::aboutToDestroy, this, [&] { handleDuringSignal = p.handle() != nullptr; });
        p.destroy();
        p.destroy();
        QCOMPARE(gone.count(), 1);
        QVERIFY(handleDuringSignal);
        QVERIFY(!p.getProp(QStringLiteral("vo")).isValid());
    }

    void playsWithExternalAudioAndReplaces()
    {
        MpvPlayer p;
        QVERIFY(p.init(headless(), nullptr));
        QSignalSpy started(&p, &MpvPlayer::startFile);
        QSignalSpy loaded(&p, &MpvPlayer::fileLoaded);
        QSignalSpy restart(&p, &MpvPlayer::playbackRestart);
        QSignalSpy idle(&p, &MpvPlayer::idleChanged);

        p.loadFile(m_clip, {m_dub});
        QTRY_VERIFY_WITH_TIMEOUT(restart.count() >= 1, svd::test::waitMs(15000));
        QCOMPARE(loaded.count(), 1);
        QVERIFY(started.count() >= 1);
        QVERIFY(started.last().at(0).toLongLong() > 0);
        QVERIFY(idle.count() >= 1);
        QCOMPARE(idle.last().at(0).toBool(), false);
        QTRY_COMPARE_WITH_TIMEOUT(audioTracks(p).size(), 2, svd::test::waitMs(5000));
        int external = 0;
        for (const QVariant &t : audioTracks(p))
            external += t.toMap().value(QStringLiteral("external")).toBool() ? 1 : 0;
        QCOMPARE(external, 1);
        QCOMPARE(p.tracksOfType(QStringLiteral("video")).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(p.cachedProp(QStringLiteral("time-pos")).toDouble() > 0.0,
                                 svd::test::waitMs(10000));

        // A replace with no external audio must not keep the previous dub file.
        const long long firstEntry = started.last().at(0).toLongLong();
        QSignalSpy ended(&p, &MpvPlayer::endFile);
        p.loadFile(m_clip, {});
        QTRY_VERIFY_WITH_TIMEOUT(loaded.count() == 2, svd::test::waitMs(15000));
        QVERIFY(ended.count() >= 1);
        QCOMPARE(ended.first().at(2).toLongLong(), firstEntry);
        QTRY_COMPARE_WITH_TIMEOUT(audioTracks(p).size(), 1, svd::test::waitMs(5000));

        // With a video track selected, re-selecting it for a new render
        // context leaves the same track selected.
        LogMark log;
        p.reinitVideo();
        QVERIFY(log.contains(QStringLiteral("mpv: re-selecting video track 1 for a new render context")));
        QCOMPARE(p.getProp(QStringLiteral("vid")).toLongLong(), 1LL);
    }

    void missingFileEndsWithError()
    {
        MpvPlayer p;
        QVERIFY(p.init(headless(), nullptr));
        QSignalSpy ended(&p, &MpvPlayer::endFile);
        p.loadFile(test::mediaDir() + QStringLiteral("/missing.mkv"), {});
        QTRY_VERIFY_WITH_TIMEOUT(ended.count() >= 1, svd::test::waitMs(10000));
        QCOMPARE(ended.last().at(0).toInt(), 4); // error
        QVERIFY(ended.last().at(1).toInt() < 0);
    }

    void asyncCompletions()
    {
        MpvPlayer p;
        QVERIFY(p.init(headless(), nullptr));
        int okResult = 1;
        bool okCalledInline = false;
        bool inCall = true;
        p.commandAsync({QStringLiteral("set"), QStringLiteral("pause"), QStringLiteral("yes")}, [&](int rc) {
            okResult = rc;
            okCalledInline = inCall;
        });
        int badResult = 1;
        p.commandAsync({QStringLiteral("no-such-command")}, [&](int rc) { badResult = rc; });
        QVERIFY(badResult < 0); // refused at once, completion called at once
        inCall = false;
        QTRY_COMPARE_WITH_TIMEOUT(okResult, 0, svd::test::waitMs(5000));
        QVERIFY(!okCalledInline);
        QCOMPARE(p.getProp(QStringLiteral("pause")).toBool(), true);
        // A command without completion function must not disturb the others.
        p.commandAsync({QStringLiteral("set"), QStringLiteral("pause"), QStringLiteral("no")}, nullptr);
        int third = 1;
        p.commandAsync({QStringLiteral("set"), QStringLiteral("mute"), QStringLiteral("yes")},
                       [&](int rc) { third = rc; });
        QTRY_COMPARE_WITH_TIMEOUT(third, 0, svd::test::waitMs(5000));
    }

    void keyBindingsBecomeClientMessages()
    {
        MpvPlayer p;
        QVERIFY(p.init(headless(), nullptr));
        QSignalSpy msgs(&p, &MpvPlayer::clientMessage);
        QSignalSpy shutdown(&p, &MpvPlayer::shutdownRequested);
        for (const char *key : {">", "<", "N", "P", "q"})
            p.command({QStringLiteral("keypress"), QLatin1String(key)});
        QTRY_COMPARE_WITH_TIMEOUT(msgs.count(), 4, svd::test::waitMs(5000));
        const QStringList expect = {QStringLiteral("next"), QStringLiteral("prev"), QStringLiteral("next"),
                                    QStringLiteral("prev")};
        for (int i = 0; i < 4; ++i)
            QCOMPARE(msgs.at(i).at(0).toStringList(), (QStringList{QStringLiteral("svd"), expect[i]}));
        QTest::qWait(200);
        QCOMPARE(shutdown.count(), 0); // "q" is unbound
        QVERIFY(p.isInitialized());
    }

    void readAheadNeverExceedsOptions()
    {
        const auto check = [](MpvPlayer &p, qlonglong maxBytes, qlonglong backBytes, double secs) {
            QCOMPARE(p.getProp(QStringLiteral("demuxer-max-bytes")).toLongLong(), maxBytes);
            QCOMPARE(p.getProp(QStringLiteral("demuxer-max-back-bytes")).toLongLong(), backBytes);
            QCOMPARE(p.getProp(QStringLiteral("cache-secs")).toDouble(), secs);
            QCOMPARE(p.getProp(QStringLiteral("demuxer-readahead-secs")).toDouble(), secs);
        };
        constexpr qlonglong MiB = 1048576;
        MpvPlayer def;
        QVERIFY(def.init(headless(), nullptr));
        check(def, 300 * MiB, 32 * MiB, 300);
        def.setReadAhead(true);
        check(def, 64 * MiB, 16 * MiB, 60);
        def.setReadAhead(false);
        check(def, 300 * MiB, 32 * MiB, 300);

        MpvPlayer small;
        MpvPlayer::InitOptions o = headless();
        o.demuxerMaxMiB = 40;
        o.demuxerBackMiB = 8;
        o.cacheSecs = 30;
        QVERIFY(small.init(o, nullptr));
        small.setReadAhead(true);
        check(small, 40 * MiB, 8 * MiB, 30);
    }

private:
    QString m_clip;
    QString m_dub;
};

SVD_REGISTER_TEST(TestMpvPlayer)

#include "tst_mpvplayer.moc"
