#include "tests/player/testsupport.h"

#include <QCoreApplication>
#include <QMetaMethod>
#include <QTest>

#include <clocale>
#include <memory>
#include <vector>

namespace {

bool hasTestFunction(const QObject &t, const QByteArray &name)
{
    const QMetaObject *mo = t.metaObject();
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        if (mo->method(i).name() == name)
            return true;
    return false;
}

} // namespace

// Several test classes in one executable: function names given on the command
// line go to the class that has them; options go to every class.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // libmpv refuses to start under a non-C numeric locale.
    std::setlocale(LC_NUMERIC, "C");
    svd::test::startTestLog();

    std::vector<std::unique_ptr<QObject>> tests;
    for (const svd::test::TestFactory &make : svd::test::testRegistry())
        tests.push_back(make());

    QStringList options;
    QList<QByteArray> functions;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a.startsWith('-'))
            options << QString::fromLocal8Bit(a);
        else
            functions << a.split(':').first();
    }
    int failed = 0;
    for (const auto &t : tests) {
        QStringList args{QString::fromLocal8Bit(argv[0])};
        args << options;
        bool any = functions.isEmpty();
        for (const QByteArray &f : functions) {
            if (hasTestFunction(*t, f)) {
                args << QString::fromLatin1(f);
                any = true;
            }
        }
        if (any)
            failed += QTest::qExec(t.get(), args);
    }
    return failed;
}
