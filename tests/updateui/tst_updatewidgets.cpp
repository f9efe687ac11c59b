#include "ui/updatebar.h"
#include "ui/updatedialog.h"
#include "ui/updateshot.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using svd::UpdateAction;
using svd::UpdateBar;
using svd::UpdateDialog;

namespace {

QColor textColor(QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

bool hasPixel(const QImage &image, QRgb rgb)
{
    const QImage img = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xffffff) == (rgb & 0xffffff))
                return true;
    return false;
}

} // namespace

class TestUpdateWidgets : public QObject {
    Q_OBJECT
private slots:
    void barTexts_data();
    void barTexts();
    void barErrorAndBusy();
    void dialogTextsAndButtons();
    void barShot();
};

void TestUpdateWidgets::barTexts_data()
{
    QTest::addColumn<QString>("notes");
    QTest::addColumn<int>("action");
    QTest::addColumn<bool>("showLater");
    QTest::addColumn<QString>("shownNotes");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("primary");

    QTest::newRow("install, two lines")
        << QStringLiteral("\n  Обновлённый плеер \n вторая строка  \n") << 0 << true
        << QStringLiteral("Обновлённый плеер") << QStringLiteral("Обновлённый плеер \n вторая строка")
        << QStringLiteral("Перезапустить и обновить");
    QTest::newRow("download, no notes")
        << QString() << 1 << false << QString() << QString() << QStringLiteral("Скачать");
}

void TestUpdateWidgets::barTexts()
{
    QFETCH(QString, notes);
    QFETCH(int, action);
    QFETCH(bool, showLater);

    UpdateBar bar;
    bar.setUpdate(QStringLiteral("0.2.0"), notes, UpdateAction(action), showLater);
    QCOMPARE(bar.titleLabel()->text(), QStringLiteral("Доступна версия 0.2.0"));
    QTEST(bar.notesLabel()->text(), "shownNotes");
    QTEST(bar.notesLabel()->toolTip(), "toolTip");
    QTEST(bar.primaryButton()->text(), "primary");
    QCOMPARE(!bar.laterButton()->isHidden(), showLater);

    QSignalSpy accept(&bar, &UpdateBar::acceptRequested);
    QSignalSpy later(&bar, &UpdateBar::laterRequested);
    bar.primaryButton()->click();
    bar.laterButton()->click();
    QCOMPARE(accept.size(), 1);
    QCOMPARE(later.size(), 1);
}

void TestUpdateWidgets::barErrorAndBusy()
{
    UpdateBar bar;
    bar.resize(900, 44);
    bar.show();
    bar.setUpdate(QStringLiteral("0.2.0"), QStringLiteral("notes"), UpdateAction::Install, true);
    QCOMPARE(textColor(bar.notesLabel()), QColor(0x9a, 0xa4, 0xb2));

    bar.setBusy(true);
    QVERIFY(!bar.primaryButton()->isEnabled());
    QVERIFY(!bar.laterButton()->isEnabled());

    // The error takes the notes' place in red, and the buttons come back.
    bar.setError(QStringLiteral("ошибка"));
    QCOMPARE(bar.notesLabel()->objectName(), QStringLiteral("UpdateError"));
    QCOMPARE(bar.notesLabel()->text(), QStringLiteral("ошибка"));
    QCOMPARE(textColor(bar.notesLabel()), QColor(0xf8, 0x71, 0x71));
    QVERIFY(bar.primaryButton()->isEnabled());
    QVERIFY(bar.laterButton()->isEnabled());

    // A new offer turns the label back into notes.
    bar.setBusy(true);
    bar.setUpdate(QStringLiteral("0.2.1"), QStringLiteral("next"), UpdateAction::Install, true);
    QCOMPARE(bar.notesLabel()->objectName(), QStringLiteral("UpdateNotes"));
    QCOMPARE(textColor(bar.notesLabel()), QColor(0x9a, 0xa4, 0xb2));
    QVERIFY(bar.primaryButton()->isEnabled());
}

void TestUpdateWidgets::dialogTextsAndButtons()
{
    QWidget parent;
    parent.show();
    UpdateDialog install(QStringLiteral("0.3.0"), QStringLiteral("  Важное исправление.\n"),
                         UpdateAction::Install, &parent);
    QStringList texts;
    for (QLabel *l : install.findChildren<QLabel *>())
        texts << l->text();
    QVERIFY(texts.contains(QStringLiteral("Требуется обновление до версии 0.3.0")));
    QVERIFY(texts.contains(QStringLiteral(
        "Эта версия больше не поддерживается. Приложение перезапустится и установит обновление.")));
    QVERIFY(texts.contains(QStringLiteral("Важное исправление.")));
    QCOMPARE(install.primaryButton()->text(), QStringLiteral("Перезапустить и обновить"));
    QVERIFY(install.primaryButton()->isDefault());

    UpdateDialog download(QStringLiteral("0.3.0"), QStringLiteral(" \n "), UpdateAction::Download, &parent);
    QVERIFY(!download.findChild<QLabel *>(QStringLiteral("UpdateNotes")));
    QCOMPARE(download.primaryButton()->text(), QStringLiteral("Скачать"));
    bool found = false;
    for (QLabel *l : download.findChildren<QLabel *>())
        found |=
            l->text() ==
            QStringLiteral("Эта версия больше не поддерживается. Скачайте новую версию и установите её.");
    QVERIFY(found);

    download.show();
    QVERIFY(QTest::qWaitForWindowExposed(&download));
    QVERIFY(!download.errorLabel()->isVisible());
    download.setError(QStringLiteral("плохо"));
    QVERIFY(download.errorLabel()->isVisible());
    QCOMPARE(download.errorLabel()->text(), QStringLiteral("плохо"));
    download.setError(QString());
    QVERIFY(!download.errorLabel()->isVisible());

    // Escape, the close button and "Выйти" all ask to quit; none closes the dialog.
    QSignalSpy quit(&download, &UpdateDialog::quitRequested);
    QSignalSpy accept(&download, &UpdateDialog::acceptRequested);
    QTest::keyClick(&download, Qt::Key_Escape);
    download.close();
    download.quitButton()->click();
    QCOMPARE(quit.size(), 3);
    QVERIFY(download.isVisible());
    download.primaryButton()->click();
    QCOMPARE(accept.size(), 1);
    QCOMPARE(quit.size(), 3);
}

void TestUpdateWidgets::barShot()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("shot.png"));
    QCOMPARE(svd::runUpdateBarShot(path), 0);

    const QImage bar(path);
    const QImage dialog(dir.filePath(QStringLiteral("shot-dialog.png")));
    const QImage download(dir.filePath(QStringLiteral("shot-download.png")));
    QCOMPARE(bar.size(), QSize(1280, 44));
    QCOMPARE(download.size(), QSize(900, 44));
    QVERIFY2(dialog.width() >= 460 && dialog.height() >= 120,
             qPrintable(QStringLiteral("%1x%2").arg(dialog.width()).arg(dialog.height())));
    // Styled, not blank: dark background and the blue primary button in each.
    for (const QImage *img : {&bar, &dialog, &download}) {
        QVERIFY(hasPixel(*img, qRgb(0x11, 0x13, 0x18)));
        QVERIFY(hasPixel(*img, qRgb(0x3b, 0x82, 0xf6)));
    }

    QCOMPARE(svd::runUpdateBarShot(dir.filePath(QStringLiteral("missing/shot.png"))), 1);
}

int runUpdateWidgetTests(int argc, char **argv)
{
    TestUpdateWidgets t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_updatewidgets.moc"
