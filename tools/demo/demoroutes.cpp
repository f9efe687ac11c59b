#include "tools/demo/demoroutes.h"

#include "base/log.h"
#include "tools/demo/tracker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace svd::demo {

namespace {

QString htmlEscaped(const QString &s)
{
    return s.toHtmlEscaped();
}

// A file of the update feed, the way a static web server answers for it.
HttpResponse serveFeed(const QString &feed, const HttpRequest &r)
{
    const QString path = r.path();
    QString file = QDir::cleanPath(feed + path);
    if (!file.startsWith(feed + QLatin1Char('/')))
        return HttpResponse::notFound();
    if (QFileInfo(file).isDir()) {
        if (!path.endsWith(QLatin1Char('/'))) {
            QUrl to = r.url;
            to.setPath(path + QLatin1Char('/'));
            return HttpResponse::redirect(to.toString(QUrl::FullyEncoded).toUtf8(), 301);
        }
        file += QStringLiteral("/index.html");
    }
    QFile f(file);
    if (!QFileInfo(file).isFile() || !f.open(QIODevice::ReadOnly))
        return HttpResponse::notFound();
    const bool html = file.endsWith(QLatin1String(".html"));
    return HttpResponse::bytes(f.readAll(), html ? "text/html; charset=utf-8" : "application/octet-stream");
}

} // namespace

QByteArray latestPage(const QString &platform, const QString &arch)
{
    const QString version = QString::fromLatin1(kAppVersion);
    const QString build = platform.isEmpty() ? QStringLiteral("—") : htmlEscaped(platform + QLatin1Char('/') + arch);
    const QString html = QStringLiteral(
        "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\">"
        "<title>Sorvanta Desktop — последняя версия</title>"
        "<link rel=\"stylesheet\" href=\"/style.css\"></head>"
        "<body><main class=\"page narrow\"><h1>Sorvanta Desktop %1</h1>"
        "<p class=\"lead\">Это последняя версия приложения. Обновлений нет.</p>"
        "<p class=\"muted\">Сборка: %2. Манифесты обновлений подписываются ключом Ed25519; "
        "демо-сервер новых версий не публикует.</p>"
        "<p><a class=\"button\" href=\"/\">К каталогу</a></p></main></body></html>\n")
                             .arg(htmlEscaped(version), build);
    return html.toUtf8();
}

void installDemoRoutes(TestBackend *backend, Tracker *tracker, const QString &siteDir, const QString &updateFeed)
{
    const QString index = QDir(siteDir).absoluteFilePath(QStringLiteral("index.html"));
    const QString feed = updateFeed.isEmpty() ? QString() : QDir(updateFeed).absolutePath();
    backend->addHandler([tracker, index, feed](const HttpRequest &r) -> std::optional<HttpResponse> {
        if (r.method != "GET" && r.method != "HEAD")
            return std::nullopt;
        if (std::optional<HttpResponse> t = tracker->handle(r, logClock()))
            return t;
        const QString path = r.path();
        if (!feed.isEmpty() && path.startsWith(QLatin1String("/api/desktop/")))
            return serveFeed(feed, r);
        if (path == QLatin1String("/api/desktop/update"))
            return HttpResponse::bytes(QByteArray(), QByteArray(), 204);
        if (path == QLatin1String("/api/desktop/latest")) {
            return HttpResponse::bytes(latestPage(r.query(QStringLiteral("platform")), r.query(QStringLiteral("arch"))),
                                       "text/html; charset=utf-8");
        }
        if (path.startsWith(QLatin1String("/api/desktop/")))
            return HttpResponse::notFound();
        if (path == QLatin1String("/") || path.startsWith(QLatin1String("/title/"))) {
            QFile f(index);
            if (f.open(QIODevice::ReadOnly))
                return HttpResponse::bytes(f.readAll(), "text/html; charset=utf-8");
        }
        return std::nullopt;
    });
}

} // namespace svd::demo
