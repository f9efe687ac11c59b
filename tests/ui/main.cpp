#include <QApplication>
#include <QTest>

#include <clocale>
#include <memory>

QObject *makeTestUi();
QObject *makeTestPlayerView();

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C"); // libmpv needs the C numeric locale
    int status = 0;
    for (auto make : {makeTestUi, makeTestPlayerView}) {
        std::unique_ptr<QObject> t(make());
        status |= QTest::qExec(t.get(), argc, argv);
    }
    return status;
}
