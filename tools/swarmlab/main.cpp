// svd-swarmlab: runs one swarm lab scenario on 127.0.0.1 until SIGTERM or Ctrl-C.
// Prints one JSON line once the seeders listen ({"event":"ready", tracker, torrent,
// seeders}), a line when a seeder starts late, leaves or fails, one when the network drops
// ({"event":"drop", at_s, for_s, cuts, epoch_s: the wall clock}), and at exit a line
// with the bytes each seeder's relay sent to leechers ({"event":"stopped", ...}).
#include "tools/swarmlab/scenario.h"
#include "tools/swarmlab/swarmlab.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

void printJson(QJsonObject o, const char *event)
{
    o.insert(QStringLiteral("event"), QLatin1String(event));
    std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svd-swarmlab"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Runs a swarm lab scenario (tracker, seeders, relays) on 127.0.0.1."));
    p.addHelpOption();
    p.addOption({QStringLiteral("scenario"), QStringLiteral("Scenario name."), QStringLiteral("name")});
    p.addOption({QStringLiteral("scenarios"), QStringLiteral("Scenario file (default: scenarios.txt next to this program)."),
                 QStringLiteral("file"), QCoreApplication::applicationDirPath() + QStringLiteral("/scenarios.txt")});
    p.addOption({QStringLiteral("list"), QStringLiteral("Print the scenarios as JSON lines and exit.")});
    p.addOption({QStringLiteral("torrent"), QStringLiteral("The episode's .torrent."), QStringLiteral("file")});
    p.addOption({QStringLiteral("content"), QStringLiteral("Folder holding its content."), QStringLiteral("dir")});
    p.addOption({QStringLiteral("work"), QStringLiteral("Work folder (default: a temporary one)."), QStringLiteral("dir")});
    p.addOption({QStringLiteral("no-relay"), QStringLiteral("Relays only where a seeder has latency (relay cost check).")});
    p.addOption({QStringLiteral("drop-at"), QStringLiteral("A network outage this many seconds after the first leecher."),
                 QStringLiteral("s")});
    p.addOption({QStringLiteral("drop-for"), QStringLiteral("How long the outage lasts (default 30)."), QStringLiteral("s"),
                 QStringLiteral("30")});
    p.addOption({QStringLiteral("drop-cuts"),
                 QStringLiteral("The outage also closes every connection open when it starts.")});
    p.process(app);

    QList<svd::lab::Scenario> scenarios;
    QString error;
    if (!svd::lab::loadScenarios(p.value(QStringLiteral("scenarios")), &scenarios, &error)) {
        std::fprintf(stderr, "svd-swarmlab: %s\n", qPrintable(error));
        return 2;
    }
    if (p.isSet(QStringLiteral("list"))) {
        for (const svd::lab::Scenario &s : scenarios)
            printJson({{QStringLiteral("name"), s.name},
                       {QStringLiteral("piece_kib"), s.pieceKiB},
                       {QStringLiteral("media"), s.media},
                       {QStringLiteral("seeders"), int(s.seeders.size())},
                       {QStringLiteral("about"), s.about}},
                      "scenario");
        return 0;
    }
    const QString name = p.value(QStringLiteral("scenario"));
    const svd::lab::Scenario *scenario = nullptr;
    for (const svd::lab::Scenario &s : scenarios)
        if (s.name == name)
            scenario = &s;
    if (!scenario || !p.isSet(QStringLiteral("torrent")) || !p.isSet(QStringLiteral("content"))) {
        std::fprintf(stderr, "svd-swarmlab: need --scenario NAME (one of the file's), --torrent and --content\n");
        return 2;
    }
    QTemporaryDir tmp;
    svd::lab::SwarmLab::Options o;
    o.torrentFile = p.value(QStringLiteral("torrent"));
    o.contentDir = p.value(QStringLiteral("content"));
    o.workDir = p.isSet(QStringLiteral("work")) ? p.value(QStringLiteral("work")) : tmp.path();
    o.relays = !p.isSet(QStringLiteral("no-relay"));
    if (p.isSet(QStringLiteral("drop-at"))) {
        o.dropAtSec = p.value(QStringLiteral("drop-at")).toDouble();
        o.dropForSec = p.value(QStringLiteral("drop-for")).toDouble();
        o.dropCuts = p.isSet(QStringLiteral("drop-cuts"));
    }

    svd::lab::SwarmLab lab;
    QObject::connect(&lab, &svd::lab::SwarmLab::seederFailed, [](int i, const QString &why) {
        printJson({{QStringLiteral("seeder"), i}, {QStringLiteral("why"), why}}, "failed");
    });
    if (!lab.start(*scenario, o, &error) || !lab.waitStarted(30000, &error)) {
        std::fprintf(stderr, "svd-swarmlab: %s\n", qPrintable(error));
        return 1;
    }
    // Connected after the wait: "started" lines are for seeders with a start delay.
    QObject::connect(&lab, &svd::lab::SwarmLab::seederStarted, [&lab](int i) {
        printJson({{QStringLiteral("seeder"), i}, {QStringLiteral("endpoint"), lab.seeder(i).endpoint()}}, "started");
    });
    QObject::connect(&lab, &svd::lab::SwarmLab::seederLeft, [&lab](int i) {
        printJson({{QStringLiteral("seeder"), i}, {QStringLiteral("at_s"), lab.leecherClock()}}, "left");
    });
    QObject::connect(&lab, &svd::lab::SwarmLab::dropStarted, [cuts = o.dropCuts](double at, double lasts) {
        // The wall clock too: a program under test puts its own events on it.
        printJson({{QStringLiteral("at_s"), at}, {QStringLiteral("for_s"), lasts}, {QStringLiteral("cuts"), cuts},
                   {QStringLiteral("epoch_s"), double(QDateTime::currentMSecsSinceEpoch()) / 1000.0}}, "drop");
    });
    printJson(lab.describe(), "ready");

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (g_stop)
            QCoreApplication::quit();
    });
    poll.start(50);
    app.exec();

    lab.stop();
    QJsonObject end = lab.describe();
    double total = 0;
    for (const QJsonValue &v : end.value(QStringLiteral("seeders")).toArray())
        total += qMax(0.0, v.toObject().value(QStringLiteral("bytes_to_leechers")).toDouble());
    end.insert(QStringLiteral("bytes_to_leechers"), total);
    printJson(end, "stopped");
    return 0;
}
