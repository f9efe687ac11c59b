#pragma once

// Everything a site needs to play, on 127.0.0.1 and inside the test process:
// the local backend (episode API, .torrent files, a tracker and a site page at
// /title/...) and a libtorrent seeder the tracker hands out.
//   anime 2602 "Demo 2602", episodes 1 and 2 in one torrent, seeded
//   anime 910404 "Nobody Seeds", episode 1, its only source has no peers
#include "tests/common/genepisodes.h"
#include "tools/backend/testbackend.h"
#include "tools/demo/tracker.h"

#include <QElapsedTimer>
#include <QString>
#include <QUrl>

#include <memory>

namespace svd::swarm {
class Seeder;
}

namespace svd::test {

class WebSwarm {
public:
    static constexpr qint64 kSeeded = 2602;
    static constexpr qint64 kUnseeded = 910404;
    static constexpr qint64 kSlow = 2603;

    WebSwarm();
    ~WebSwarm();

    // Generates the episodes (cached between runs) and starts serving and
    // seeding; false with `error()` set when anything is missing.
    bool start();
    QString error() const { return m_error; }

    // Adds anime 2603 "Slow 2603": one 60 s 720p episode whose seeder uploads at most
    // `bytesPerSec` (slower than the video plays). For the statistics screenshots.
    bool addSlowTitle(int bytesPerSec);

    QUrl baseUrl() const { return m_backend.baseUrl(); }
    QUrl sitePage(const QString &path) const;
    TestBackend *backend() { return &m_backend; }

private:
    bool fail(const QString &error);
    bool seed(const GeneratedEpisodes &episodes, std::unique_ptr<swarm::Seeder> *seeder, int bytesPerSec);
    double now() const { return m_clock.elapsed() / 1000.0; }

    TestBackend m_backend;
    demo::Tracker m_tracker{300};
    QElapsedTimer m_clock;
    std::unique_ptr<swarm::Seeder> m_seeder;
    std::unique_ptr<swarm::Seeder> m_slowSeeder;
    QString m_error;
};

} // namespace svd::test
