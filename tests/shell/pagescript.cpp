#include "pagescript.h"

#include "tests/common/timescale.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>
#include <QWebEnginePage>

#include <memory>
#include <utility>

namespace svd::test {

QVariant evalJs(QWebEnginePage *page, const QString &code, int ms)
{
    // The callback may come after a time-out; it must not write to a dead frame.
    auto result = std::make_shared<std::pair<bool, QVariant>>(false, QVariant());
    page->runJavaScript(code, [result](const QVariant &v) { *result = {true, v}; });
    if (!QTest::qWaitFor([&] { return result->first; }, waitMs(ms)))
        qWarning("script did not answer: %s", qPrintable(code.left(300)));
    return result->second;
}

QVariant awaitJs(QWebEnginePage *page, const QString &expr, int ms)
{
    static int counter = 0;
    const QString slot = QStringLiteral("window.__await%1").arg(++counter);
    evalJs(page,
           QStringLiteral("%1 = undefined; Promise.resolve(%2).then(function (r) { %1 = JSON.stringify([r]); })")
               .arg(slot, expr));
    QVariant v;
    (void)QTest::qWaitFor(
        [&] {
            v = evalJs(page, slot);
            return v.isValid() && !v.isNull();
        },
        waitMs(ms));
    return QJsonDocument::fromJson(v.toString().toUtf8()).toVariant().toList().value(0);
}

void prepareWebTestEnvironment(const QString &home)
{
    for (const char *var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(var, (home + QLatin1Char('/') + QLatin1String(var)).toUtf8());
    if (!qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
                "--no-sandbox --disable-background-networking --disable-component-update --disable-sync");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

QString readTestLog()
{
    QFile f(qEnvironmentVariable("SVD_TEST_LOG"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace svd::test
