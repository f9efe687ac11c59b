// The player on a desktop session bus, end to end: the program's player-only
// window plays a loopback episode while this test is the desktop: a fake
// org.freedesktop.ScreenSaver that records inhibitions, and an MPRIS client.
// Runs under dbus-run-session (a private bus).

#include "tests/common/genepisodes.h"
#include "tests/common/timescale.h"
#include "tests/torrent/swarm/loopbackswarm.h"
#include "tools/backend/testbackend.h"
#include "tools/demo/tracker.h"
#include "ui/idleinhibitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <limits>
#include <memory>

using namespace svd;

namespace {

const QString kMpris = QStringLiteral("org.mpris.MediaPlayer2.sorvanta");
const QString kMprisPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerIface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kSaver = QStringLiteral("org.freedesktop.ScreenSaver");

} // namespace

// What a desktop's screen saver service records of its callers.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    QSet<uint> active;
    int inhibits = 0;
    QStringList events;

public slots:
    uint Inhibit(const QString &, const QString &)
    {
        ++inhibits;
        active.insert(m_next);
        events << QStringLiteral("inhibit %1").arg(m_next);
        return m_next++;
    }
    void UnInhibit(uint cookie)
    {
        active.remove(cookie);
        events << QStringLiteral("release %1").arg(cookie);
    }

private:
    uint m_next = 1;
};

class TestDesktop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void playerOnTheSessionBus();
    void inhibitorNeverWaitsOnTheBus();

public slots:
    void onSeeked(qlonglong position) { m_seeked << position; }
    void onPropertiesChanged(const QString &iface, const QVariantMap &changed, const QStringList &)
    {
        if (iface == kPlayerIface && changed.contains(QStringLiteral("PlaybackStatus")))
            m_statuses << changed.value(QStringLiteral("PlaybackStatus")).toString();
    }

private:
    void startProgram(QProcess *proc);
    QVariant prop(const QString &iface, const QString &name);
    bool setPlayerProp(const QString &name, const QVariant &value);
    bool call(const QString &iface, const QString &method, const QVariantList &args = {});
    QString log() const;

    QTemporaryDir m_tmp;
    QElapsedTimer m_clock;
    TestBackend m_backend;
    demo::Tracker m_tracker{300}; // the seeder announces once; it must not be forgotten
    test::GeneratedEpisodes m_gen;
    std::unique_ptr<swarm::Seeder> m_seeder;
    QDBusConnection m_saverBus{QString()};
    FakeScreenSaver m_saver;
    QList<qlonglong> m_seeked;
    QStringList m_statuses;
};

void TestDesktop::initTestCase()
{
    if (!QDBusConnection::sessionBus().isConnected())
        QSKIP("no session bus: run under dbus-run-session");
    QVERIFY(m_tmp.isValid());
    m_clock.start();
    m_backend.addHandler([this](const HttpRequest &r) { return m_tracker.handle(r, m_clock.elapsed() / 1000.0); });
    QVERIFY(m_backend.listen());
    const QString announce = m_backend.baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/announce");
    m_gen = test::generateEpisodes(QStringLiteral("desktop"),
                                   {QStringLiteral("--episodes"), QStringLiteral("1"), QStringLiteral("--sources"),
                                    QStringLiteral("main:256"), QStringLiteral("--height"), QStringLiteral("240"),
                                    QStringLiteral("--video-kbps"), QStringLiteral("300"), QStringLiteral("--announce"),
                                    announce});
    QVERIFY2(m_gen.ok(), qPrintable(m_gen.error));
    const QString hash = m_gen.source(1, QStringLiteral("main")).value(QStringLiteral("infoHash")).toString();
    m_seeder = swarm::seedExisting(m_gen.seedDir(hash), m_gen.torrentPath(hash));
    QVERIFY(m_seeder);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_tracker.counts(QByteArray::fromHex(hash.toLatin1()), m_clock.elapsed() / 1000.0).seeders >= 1,
        test::waitMs(15000));

    // The screen saver lives on a connection of its own, as a desktop's would,
    // so that it can leave the bus while the program plays.
    m_saverBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-saver"));
    QVERIFY(m_saverBus.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &m_saver,
                                      QDBusConnection::ExportAllSlots));
    QVERIFY(m_saverBus.registerService(kSaver));

    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.connect(QString(), kMprisPath, kPlayerIface, QStringLiteral("Seeked"), this,
                        SLOT(onSeeked(qlonglong))));
    QVERIFY(bus.connect(QString(), kMprisPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("PropertiesChanged"), this,
                        SLOT(onPropertiesChanged(QString, QVariantMap, QStringList))));
}

void TestDesktop::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-saver"));
}

void TestDesktop::startProgram(QProcess *proc)
{
    const QString home = m_tmp.path();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/xdgcache"));
    proc->setProcessEnvironment(env);
    proc->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc->start(qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/app/sorvanta-desktop"),
                {QStringLiteral("--play-fixture"), m_gen.fixturePath, QStringLiteral("--no-api"),
                 QStringLiteral("--no-update"), QStringLiteral("--window-geometry"), QStringLiteral("0,0,640,400"),
                 QStringLiteral("--cache-dir"), home + QStringLiteral("/cache"), QStringLiteral("--log"),
                 home + QStringLiteral("/run.log")});
    QVERIFY(proc->waitForStarted());
}

QVariant TestDesktop::prop(const QString &iface, const QString &name)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(kMpris, kMprisPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    msg << iface << name;
    const QDBusMessage reply = QDBusConnection::sessionBus().call(msg, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

bool TestDesktop::setPlayerProp(const QString &name, const QVariant &value)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(kMpris, kMprisPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Set"));
    msg << kPlayerIface << name << QVariant::fromValue(QDBusVariant(value));
    return QDBusConnection::sessionBus().call(msg, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

bool TestDesktop::call(const QString &iface, const QString &method, const QVariantList &args)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(kMpris, kMprisPath, iface, method);
    msg.setArguments(args);
    return QDBusConnection::sessionBus().call(msg, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

QString TestDesktop::log() const
{
    QFile f(m_tmp.filePath(QStringLiteral("run.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Play, pause, play, seek, the screen saver leaving and coming back, stop and
// quit: one inhibition while it plays and none otherwise; the desktop's
// commands reach the player; the volume set from the desktop is there again
// on the next start.
void TestDesktop::playerOnTheSessionBus()
{
    QProcess proc;
    startProgram(&proc);
    const auto status = [this] { return prop(kPlayerIface, QStringLiteral("PlaybackStatus")).toString(); };
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Playing"), test::waitMs(30000));
    QTRY_COMPARE_WITH_TIMEOUT(m_saver.active.size(), 1, test::waitMs(30000));

    const QVariantMap meta = qdbus_cast<QVariantMap>(prop(kPlayerIface, QStringLiteral("Metadata")));
    QCOMPARE(meta.value(QStringLiteral("xesam:title")).toString(), QStringLiteral("Gen Test — серия 1"));
    QVERIFY(meta.value(QStringLiteral("mpris:length")).toLongLong() > 60 * 1000000LL);
    const QString track = meta.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>().path();
    QVERIFY2(track.startsWith(QLatin1String("/tv/sorvanta/")), qPrintable(track));
    QCOMPARE(prop(QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("DesktopEntry")).toString(),
             QStringLiteral("tv.sorvanta.Desktop"));

    QVERIFY(call(kPlayerIface, QStringLiteral("PlayPause")));
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Paused"), test::waitMs(5000));
    QTRY_VERIFY_WITH_TIMEOUT(m_saver.active.isEmpty(), test::waitMs(5000));
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(QStringLiteral("Paused")), test::waitMs(5000));
    QVERIFY(call(kPlayerIface, QStringLiteral("PlayPause")));
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Playing"), test::waitMs(5000));
    QTRY_COMPARE_WITH_TIMEOUT(m_saver.active.size(), 1, test::waitMs(5000));
    QCOMPARE(m_saver.inhibits, 2);

    // Seek 20 s on: the Seeked signal says where playback went on.
    m_seeked.clear();
    const qlonglong before = prop(kPlayerIface, QStringLiteral("Position")).toLongLong();
    QVERIFY(call(kPlayerIface, QStringLiteral("Seek"), {QVariant::fromValue(qlonglong(20000000))}));
    QTRY_VERIFY_WITH_TIMEOUT(!m_seeked.isEmpty(), test::waitMs(15000));
    QVERIFY2(qAbs(m_seeked.constLast() - (before + 20000000)) < 3000000,
             qPrintable(QStringLiteral("from %1 to %2 us").arg(before).arg(m_seeked.constLast())));

    QVERIFY(setPlayerProp(QStringLiteral("Volume"), 0.55));
    QTRY_COMPARE_WITH_TIMEOUT(prop(kPlayerIface, QStringLiteral("Volume")).toDouble(), 0.55, test::waitMs(5000));
    // A Volume that is no number is refused (not taken as 0, and remembered);
    // Rate 0 is a Pause.
    QVERIFY(setPlayerProp(QStringLiteral("Volume"), std::numeric_limits<double>::quiet_NaN()));
    QVERIFY(setPlayerProp(QStringLiteral("Rate"), 0.0));
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Paused"), test::waitMs(5000));
    QTRY_VERIFY_WITH_TIMEOUT(m_saver.active.isEmpty(), test::waitMs(5000));
    QCOMPARE(prop(kPlayerIface, QStringLiteral("Volume")).toDouble(), 0.55);
    QVERIFY(call(kPlayerIface, QStringLiteral("PlayPause")));
    QTRY_COMPARE_WITH_TIMEOUT(m_saver.active.size(), 1, test::waitMs(5000));

    // The screen saver leaves (its inhibitions with it) and comes back.
    QVERIFY(m_saverBus.unregisterService(kSaver));
    m_saver.active.clear();
    QTRY_COMPARE_WITH_TIMEOUT(log().count(QStringLiteral("left the session bus")), 1, test::waitMs(5000));
    QCOMPARE(status(), QStringLiteral("Playing"));
    QVERIFY(m_saverBus.registerService(kSaver));
    QTRY_COMPARE_WITH_TIMEOUT(m_saver.active.size(), 1, test::waitMs(5000));

    // Seeking past the end, even by the largest offset there is, is Next.
    QVERIFY(call(kPlayerIface, QStringLiteral("Seek"), {QVariant::fromValue(std::numeric_limits<qlonglong>::max())}));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("episode 2 via")), test::waitMs(5000));

    QVERIFY(call(kPlayerIface, QStringLiteral("Stop")));
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Stopped"), test::waitMs(5000));
    QTRY_VERIFY_WITH_TIMEOUT(m_saver.active.isEmpty(), test::waitMs(5000));
    QVERIFY(call(QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("Quit")));
    QSignalSpy done(&proc, &QProcess::finished);
    QVERIFY(done.wait(test::waitMs(20000)));
    QCOMPARE(proc.exitCode(), 0);
    QVERIFY(m_saver.active.isEmpty());
    QCOMPARE(log().count(QStringLiteral("left the session bus")), 1);
    qInfo("screen saver saw: %s", qPrintable(m_saver.events.join(QStringLiteral(", "))));

    // The next start: the volume is where the desktop left it, and quitting
    // while it plays releases the inhibition on the way out.
    QProcess again;
    startProgram(&again);
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Playing"), test::waitMs(30000));
    QCOMPARE(prop(kPlayerIface, QStringLiteral("Volume")).toDouble(), 0.55);
    QTRY_COMPARE_WITH_TIMEOUT(m_saver.active.size(), 1, test::waitMs(30000));
    QVERIFY(call(QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("Quit")));
    QSignalSpy againDone(&again, &QProcess::finished);
    QVERIFY(againDone.wait(test::waitMs(20000)));
    QCOMPARE(again.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_saver.active.isEmpty(), test::waitMs(5000));
}

// With the bus daemon stopped, play/pause toggles return at once (no call waits
// for the bus); once it runs again one inhibition stands for the last "play",
// and a "pause" while the Inhibit call is on its way releases what it brings.
void TestDesktop::inhibitorNeverWaitsOnTheBus()
{
    QDBusMessage pidOf = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                        QStringLiteral("/org/freedesktop/DBus"),
                                                        QStringLiteral("org.freedesktop.DBus"),
                                                        QStringLiteral("GetConnectionUnixProcessID"));
    pidOf << QStringLiteral("org.freedesktop.DBus");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(pidOf);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const pid_t daemon = pid_t(reply.arguments().value(0).toUInt());
    QVERIFY(daemon > 0);
    const int before = m_saver.inhibits;
    m_saver.active.clear();

    IdleInhibitor inhibitor(QStringLiteral("test"));
    QVERIFY(::kill(daemon, SIGSTOP) == 0);
    auto resume = qScopeGuard([daemon] { ::kill(daemon, SIGCONT); });
    QElapsedTimer clock;
    clock.start();
    for (bool want : {true, false, true, false, true})
        inhibitor.setWanted(want);
    const qint64 took = clock.elapsed();
    ::kill(daemon, SIGCONT);
    resume.dismiss();
    QVERIFY2(took < 500, qPrintable(QStringLiteral("%1 ms").arg(took)));
    QTRY_VERIFY_WITH_TIMEOUT(inhibitor.held(), test::waitMs(5000));
    QTRY_COMPARE(m_saver.active.size(), 1);
    QCOMPARE(m_saver.inhibits - before, 1);

    inhibitor.setWanted(false);
    QTRY_VERIFY(m_saver.active.isEmpty());
    // The saver answers on this thread: its Inhibit runs after the "pause".
    inhibitor.setWanted(true);
    inhibitor.setWanted(false);
    QTRY_COMPARE(m_saver.inhibits - before, 2);
    QTRY_VERIFY(m_saver.active.isEmpty());
    QVERIFY(!inhibitor.held());
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
