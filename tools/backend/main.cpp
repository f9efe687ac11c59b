// svd-backend: a local stand-in for the site's backend, for tests and demos.
#include "base/log.h"
#include "tools/backend/testbackend.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

using svd::HttpFault;

namespace {

bool parseFault(const QString &spec, QString *prefix, HttpFault *fault)
{
    // PREFIX=KIND[:DELAYMS] or PREFIX=delay:MS
    const qsizetype eq = spec.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return false;
    *prefix = spec.left(eq);
    const QStringList parts = spec.mid(eq + 1).split(QLatin1Char(':'));
    const QString kind = parts.value(0);
    bool ok = true;
    if (kind == QLatin1String("500"))
        fault->kind = HttpFault::ServerError;
    else if (kind == QLatin1String("html"))
        fault->kind = HttpFault::Html;
    else if (kind == QLatin1String("empty"))
        fault->kind = HttpFault::EmptyBody;
    else if (kind == QLatin1String("truncated"))
        fault->kind = HttpFault::TruncatedBody;
    else if (kind == QLatin1String("hang"))
        fault->kind = HttpFault::Hang;
    else if (kind != QLatin1String("delay"))
        return false;
    if (parts.size() > 1)
        fault->delayMs = parts.at(1).toInt(&ok);
    return ok && parts.size() <= 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svd-backend"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Local backend for tests and demos. Listens on 127.0.0.1 and serves\n"
        "  GET /api/anime/{id}/torrents?episode=N   episode sources JSON (404 when unknown)\n"
        "  GET /api/torrents/{hash}/file            the .torrent (application/x-bittorrent)\n"
        "from fixture files (as written by gen-episodes), plus optional static folders.\n"
        "Prints \"listening on http://127.0.0.1:PORT\" once ready."));
    p.addHelpOption();
    p.addOption({QStringLiteral("port"), QStringLiteral("Port (0 = ephemeral, the default)."), QStringLiteral("n"),
                 QStringLiteral("0")});
    p.addOption({QStringLiteral("fixtures"), QStringLiteral("Fixture file or folder; repeatable."),
                 QStringLiteral("path")});
    p.addOption({QStringLiteral("static"),
                 QStringLiteral("Serve a folder: URLPREFIX=DIR (e.g. /=site); repeatable."), QStringLiteral("spec")});
    p.addOption({QStringLiteral("fault"),
                 QStringLiteral("Misbehave below a path prefix: PREFIX=KIND[:MS] with KIND one of "
                                "500, html, empty, truncated, hang, delay (e.g. /api/torrents=html, "
                                "/api/anime=delay:3000); repeatable."),
                 QStringLiteral("spec")});
    p.addOption({QStringLiteral("log-requests"), QStringLiteral("Log every request with its user agent.")});
    p.process(app);

    svd::TestBackend backend;
    backend.setLogRequests(p.isSet(QStringLiteral("log-requests")));
    for (const QString &f : p.values(QStringLiteral("fixtures"))) {
        QString error;
        if (!backend.loadFixtures(f, &error))
            svd::logLine(QStringLiteral("backend: fixtures: ") + error);
    }
    for (const QString &s : p.values(QStringLiteral("static"))) {
        const qsizetype eq = s.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            std::fprintf(stderr, "--static wants URLPREFIX=DIR\n");
            return 2;
        }
        backend.addStaticDir(s.left(eq), s.mid(eq + 1));
    }
    for (const QString &s : p.values(QStringLiteral("fault"))) {
        QString prefix;
        HttpFault fault;
        if (!parseFault(s, &prefix, &fault)) {
            std::fprintf(stderr, "bad --fault %s\n", s.toLocal8Bit().constData());
            return 2;
        }
        backend.setFault(prefix, fault);
    }
    bool ok = false;
    const int port = p.value(QStringLiteral("port")).toInt(&ok);
    if (!ok || port < 0 || port > 65535 || !backend.listen(quint16(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%s\n", p.value(QStringLiteral("port")).toLocal8Bit().constData());
        return 1;
    }
    for (const auto &[anime, episode] : backend.episodeKeys())
        svd::logLine(QStringLiteral("backend: anime %1 episode %2").arg(anime).arg(episode));
    std::printf("listening on %s\n", backend.baseUrl().toString().toUtf8().constData());
    std::fflush(stdout);
    return app.exec();
}
