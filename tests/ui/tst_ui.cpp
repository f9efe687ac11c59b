#include "ui/playericons.h"
#include "ui/playertexts.h"
#include "ui/seekslider.h"

#include <QImage>
#include <QTest>

using namespace svd;

class TestUi : public QObject {
    Q_OBJECT
private slots:
    void timeTexts();
    void speedTexts();
    void reasons();
    void iconsAreDrawn();
    void sliderPaintsBufferedRanges();
};

void TestUi::timeTexts()
{
    QCOMPARE(fmtTime(59.9), QStringLiteral("00:59"));
    QCOMPARE(fmtTime(0), QStringLiteral("00:00"));
    QCOMPARE(fmtTime(3599.99), QStringLiteral("59:59"));
    QCOMPARE(fmtTime(3600), QStringLiteral("1:00:00"));
    QCOMPARE(fmtTime(36061), QStringLiteral("10:01:01"));
    QCOMPARE(fmtTime(-0.5), QStringLiteral("--:--"));
}

void TestUi::speedTexts()
{
    QCOMPARE(speedText(1000000), QStringLiteral("1.0 МБ/с"));
    QCOMPARE(speedText(999999), QStringLiteral("1000 КБ/с"));
    QCOMPARE(speedText(0), QStringLiteral("0 КБ/с"));
    QCOMPARE(speedText(2550000), QStringLiteral("2.5 МБ/с"));
}

void TestUi::reasons()
{
    QCOMPARE(userReason(QStringLiteral(" low-disk-space: 10 MB free ")), QStringLiteral("мало свободного места на диске"));
    QCOMPARE(userReason(QStringLiteral("no-torrent-source: blocked")), QStringLiteral("она недоступна в приложении"));
    QCOMPARE(userReason(QStringLiteral("no-torrent-source: blocked by x")),
             QStringLiteral("для неё пока нет видео в приложении"));
    QCOMPARE(userReason(QStringLiteral("storage-error: disk full")), QStringLiteral("не удалось записать видео на диск"));
    QCOMPARE(userReason(QStringLiteral("playback error: x")), QStringLiteral("ошибка воспроизведения"));
    QCOMPARE(userReason(QStringLiteral("player-init-failed")), QStringLiteral("не удалось запустить плеер"));
    QCOMPARE(userReason(QStringLiteral("all-sources-failed: a: no peers")),
             QStringLiteral("видео не загружается, попробуйте позже"));
    QCOMPARE(userReason(QStringLiteral("all-sources-failed: b: did not start in 45 s")),
             QStringLiteral("видео не загружается, попробуйте позже"));
    // Case matters: the reasons are machine-readable.
    QCOMPARE(userReason(QStringLiteral("Low-disk-space")), QStringLiteral("не удалось загрузить видео"));
}

void TestUi::iconsAreDrawn()
{
    auto img = [](PlayerIcon i) { return playerIcon(i).pixmap(64, 64).toImage(); };
    const QImage play = img(PlayerIcon::Play);
    QCOMPARE(play.size(), QSize(64, 64));
    QCOMPARE(qAlpha(play.pixel(0, 0)), 0);
    QVERIFY(qAlpha(play.pixel(25, 32)) > 200);
    QCOMPARE(QColor(play.pixel(25, 32)).rgb() & 0xffffff, QColor(0xe6, 0xe6, 0xe6).rgb() & 0xffffff);
    const QImage pause = img(PlayerIcon::Pause);
    QVERIFY(qAlpha(pause.pixel(22, 32)) > 200);
    QCOMPARE(qAlpha(pause.pixel(31, 32)), 0); // the gap between the bars
    // Fullscreen brackets sit at the outer corners, exit-fullscreen ones inside.
    const QImage fs = img(PlayerIcon::Fullscreen);
    const QImage exitFs = img(PlayerIcon::ExitFullscreen);
    QVERIFY(qAlpha(fs.pixel(18, 12)) > 200);
    QCOMPARE(qAlpha(exitFs.pixel(18, 12)), 0);
    QVERIFY(qAlpha(exitFs.pixel(24, 20)) > 200);
    QVERIFY(img(PlayerIcon::Muted) != img(PlayerIcon::Volume));
}

void TestUi::sliderPaintsBufferedRanges()
{
    SeekSlider s;
    s.resize(212, 20);
    QCOMPARE(s.maximum(), 10000);
    QCOMPARE(s.focusPolicy(), Qt::NoFocus);
    s.setValue(0);
    s.setBuffered({{50, 100}}, 100);
    const QImage img = s.grab().toImage();
    const QRgb empty = img.pixel(60, 10);   // 27 % of the groove: not buffered
    const QRgb buffered = img.pixel(160, 10); // 77 %: buffered
    QVERIFY(empty != buffered);
    QVERIFY(qGray(buffered) > qGray(empty));
}

#include "tst_ui.moc"
QObject *makeTestUi() { return new TestUi; }
