#pragma once

// Inside the lab (swarmlab.cpp, labprocs.cpp, labchecks.cpp): one process it runs, a seeder
// or a helper (a DHT node, the slow leecher).
#include "tools/swarmlab/swarmlab.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QSet>

#include <memory>

namespace svd::lab {

struct SwarmLab::Seeder {
    SeederState state;
    int index = -1;     // in m_seeders; -1 for a helper
    QString name;       // of a helper, in messages
    QString contentDir;
    int relayId = -1;
    std::unique_ptr<QProcess> proc;
    std::unique_ptr<QFile> log;
    QByteArray pending; // output not yet split into lines
    QSet<int> dhtHeard; // a DHT node: the ports it heard announce themselves
};

} // namespace svd::lab
