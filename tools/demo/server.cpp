// svd-demo-server: the demo's local backend. The test backend's API (episode
// sources and .torrent files from fixtures) plus the demo site, a loopback
// tracker and the update endpoints, all on one 127.0.0.1 port.
#include "base/log.h"
#include "tools/backend/testbackend.h"
#include "tools/demo/demoroutes.h"
#include "tools/demo/tracker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svd-demo-server"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Local backend of the demo, on 127.0.0.1 only:\n"
        "  /api/anime/{id}/torrents?episode=N, /api/torrents/{hash}/file   from fixture files\n"
        "  /announce, /tracker/stats                                      loopback BitTorrent tracker\n"
        "  /api/desktop/update, /download/, /latest   update endpoints: the --update-feed folder, else 204\n"
        "  /, /title/...                                                  the demo site\n"
        "Prints \"listening on http://127.0.0.1:PORT\" once ready."));
    p.addHelpOption();
    p.addOption({QStringLiteral("port"), QStringLiteral("Port (0 = ephemeral, the default)."), QStringLiteral("n"),
                 QStringLiteral("0")});
    p.addOption({QStringLiteral("fixtures"), QStringLiteral("Fixture file or folder; repeatable."),
                 QStringLiteral("path")});
    p.addOption({QStringLiteral("site"), QStringLiteral("Folder of the demo site (required)."), QStringLiteral("dir")});
    p.addOption({QStringLiteral("interval"), QStringLiteral("Tracker announce interval in seconds (15)."),
                 QStringLiteral("s"), QStringLiteral("15")});
    p.addOption({QStringLiteral("log-requests"), QStringLiteral("Log every request.")});
    p.addOption({QStringLiteral("update-feed"),
                 QStringLiteral("Serve /api/desktop/ from this folder (made by tools/release/make-feed)."),
                 QStringLiteral("dir")});
    p.process(app);

    const QString site = p.value(QStringLiteral("site"));
    if (site.isEmpty() || !QFileInfo(site + QStringLiteral("/index.html")).isFile()) {
        std::fprintf(stderr, "--site must name a folder with index.html\n");
        return 2;
    }
    bool ok = false;
    const int interval = p.value(QStringLiteral("interval")).toInt(&ok);
    if (!ok || interval < 1 || interval > 3600) {
        std::fprintf(stderr, "--interval must be 1..3600\n");
        return 2;
    }

    svd::TestBackend backend;
    svd::demo::Tracker tracker(interval);
    backend.setLogRequests(p.isSet(QStringLiteral("log-requests")));
    for (const QString &f : p.values(QStringLiteral("fixtures"))) {
        QString error;
        if (!backend.loadFixtures(f, &error)) {
            std::fprintf(stderr, "fixtures: %s\n", error.toLocal8Bit().constData());
            return 2;
        }
    }
    svd::demo::installDemoRoutes(&backend, &tracker, site, p.value(QStringLiteral("update-feed")));
    backend.addStaticDir(QStringLiteral("/"), site);

    const int port = p.value(QStringLiteral("port")).toInt(&ok);
    if (!ok || port < 0 || port > 65535 || !backend.listen(quint16(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%s\n", p.value(QStringLiteral("port")).toLocal8Bit().constData());
        return 1;
    }
    svd::logLine(QStringLiteral("demo-server: %1 episodes").arg(backend.episodeKeys().size()));
    std::printf("listening on %s\n", backend.baseUrl().toString().toUtf8().constData());
    std::fflush(stdout);
    return app.exec();
}
