#include "video/videooutput.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace svd;

namespace {

struct Env {
    QTemporaryDir dir;
    QSettings settings{dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat};
};

bool resolve(Env &e, const QStringList &args, VideoOutputConfig *out, QString *err = nullptr, QString envMode = {},
             QString envFlip = {})
{
    return resolveVideoOutputFrom({args, envMode, envFlip}, e.settings, out, err);
}

} // namespace

class TestVideoOutput : public QObject {
    Q_OBJECT
private slots:
    void optionForms();
    void precedenceAndRemembering();
    void badValues();
    void describeText();
};

void TestVideoOutput::optionForms()
{
    const QStringList a = {QStringLiteral("x"), QStringLiteral("--video-mode"), QStringLiteral("glwidget")};
    const QStringList b = {QStringLiteral("--video-mode=glwidget")};
    QCOMPARE(rawOptionValue(a, QStringLiteral("--video-mode")), QStringLiteral("glwidget"));
    QCOMPARE(rawOptionValue(b, QStringLiteral("--video-mode")), QStringLiteral("glwidget"));
    // A trailing option without value is absent, not an empty value.
    QVERIFY(rawOptionValue({QStringLiteral("--video-mode")}, QStringLiteral("--video-mode")).isNull());
    QVERIFY(rawOptionValue({QStringLiteral("--video-modex=1")}, QStringLiteral("--video-mode")).isNull());

    Env e;
    VideoOutputConfig c;
    QVERIFY(resolve(e, {QStringLiteral("--video-mode")}, &c));
    QCOMPARE(c.mode, VideoMode::Window);
    QCOMPARE(c.modeSource, QStringLiteral("default"));
    QVERIFY(resolve(e, {QStringLiteral("--mac-video-mode"), QStringLiteral(" GLWidget ")}, &c));
    QCOMPARE(c.mode, VideoMode::GlWidget);
    QCOMPARE(c.modeSource, QStringLiteral("--video-mode, remembered"));
    // --video-mode wins over its second name.
    QVERIFY(resolve(e, {QStringLiteral("--mac-video-mode=glwidget"), QStringLiteral("--video-mode=window")}, &c));
    QCOMPARE(c.mode, VideoMode::Window);
}

void TestVideoOutput::precedenceAndRemembering()
{
    Env e;
    VideoOutputConfig c;
    QVERIFY(resolve(e, {QStringLiteral("--video-mode=wid")}, &c));
    QCOMPARE(e.settings.value(QStringLiteral("video/mode")).toString(), QStringLiteral("wid"));
    QCOMPARE(c.mode, VideoMode::Window);
    QCOMPARE(c.modeSource, QStringLiteral("--video-mode, remembered; wid is Windows-only -> window"));

    QVERIFY(resolve(e, {QStringLiteral("--video-mode=glwidget")}, &c));
    // Remembered value next time.
    QVERIFY(resolve(e, {}, &c));
    QCOMPARE(c.mode, VideoMode::GlWidget);
    QCOMPARE(c.modeSource, QStringLiteral("remembered (--video-mode auto resets)"));
    // Environment beats the settings store; an unparsable one is skipped.
    QVERIFY(resolve(e, {}, &c, nullptr, QStringLiteral("window")));
    QCOMPARE(c.mode, VideoMode::Window);
    QCOMPARE(c.modeSource, QStringLiteral("SVD_VIDEO_MODE"));
    QVERIFY(resolve(e, {}, &c, nullptr, QStringLiteral("metal")));
    QCOMPARE(c.mode, VideoMode::GlWidget);

    // auto forgets even with the environment variable set, and ignores it.
    QVERIFY(resolve(e, {QStringLiteral("--video-mode"), QStringLiteral("auto")}, &c, nullptr, QStringLiteral("glwidget")));
    QCOMPARE(c.mode, VideoMode::Window);
    QCOMPARE(c.modeSource, QStringLiteral("default"));
    QVERIFY(!e.settings.contains(QStringLiteral("video/mode")));

    // Flip: remembered, cleared by auto, environment in between.
    QVERIFY(resolve(e, {QStringLiteral("--video-flip=OFF")}, &c));
    QCOMPARE(e.settings.value(QStringLiteral("video/flip")).toString(), QStringLiteral("off"));
    QVERIFY(resolve(e, {}, &c));
    QCOMPARE(c.flipY, 0);
    QCOMPARE(c.flipSource, QStringLiteral("remembered (--video-flip auto resets)"));
    QVERIFY(resolve(e, {}, &c, nullptr, {}, QStringLiteral("yes")));
    QCOMPARE(c.flipY, 1);
    QCOMPARE(c.flipSource, QStringLiteral("SVD_VIDEO_FLIP"));
    QVERIFY(resolve(e, {QStringLiteral("--video-flip"), QStringLiteral("auto")}, &c));
    QVERIFY(!e.settings.contains(QStringLiteral("video/flip")));
    QCOMPARE(c.flipY, -1);

    // Values remembered by an older version that no longer parse are ignored.
    e.settings.setValue(QStringLiteral("video/mode"), QStringLiteral("metal"));
    e.settings.setValue(QStringLiteral("video/flip"), QStringLiteral("sideways"));
    QVERIFY(resolve(e, {}, &c));
    QCOMPARE(c.mode, VideoMode::Window);
    QCOMPARE(c.modeSource, QStringLiteral("default"));
    QCOMPARE(c.flipY, -1);
}

void TestVideoOutput::badValues()
{
    Env e;
    e.settings.setValue(QStringLiteral("video/mode"), QStringLiteral("glwidget"));
    VideoOutputConfig c;
    QString err;
    QVERIFY(!resolve(e, {QStringLiteral("--video-mode=vulkan")}, &c, &err));
    QCOMPARE(err, QStringLiteral("--video-mode must be wid, window, glwidget or auto"));
    QCOMPARE(e.settings.value(QStringLiteral("video/mode")).toString(), QStringLiteral("glwidget"));
    QVERIFY(!resolve(e, {QStringLiteral("--video-flip"), QStringLiteral("2")}, &c, &err));
    QCOMPARE(err, QStringLiteral("--video-flip must be on, off or auto"));
}

void TestVideoOutput::describeText()
{
    VideoOutputConfig c;
    QCOMPARE(c.describe(), QStringLiteral("video output window (default), flip-y 1 (auto)"));
    c.flipY = 0;
    c.flipSource = QStringLiteral("SVD_VIDEO_FLIP");
    QCOMPARE(c.describe(), QStringLiteral("video output window (default), flip-y 0 (SVD_VIDEO_FLIP)"));
    c.mode = VideoMode::Wid;
    c.modeSource = QStringLiteral("x");
    QCOMPARE(c.describe(), QStringLiteral("video output wid (x)"));
    QCOMPARE(videoModeName(VideoMode(7)), QByteArray());
}

int runVideoOutputTests(int argc, char **argv)
{
    TestVideoOutput t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_videooutput.moc"
