#pragma once

// Test helper: runs the gen-episodes tool (tools/gen-episodes) and reads back
// what it made. Link nothing extra; add `add_dependencies(test_<module>
// gen-episodes)` so the tool is built before the test.
//
//   auto gen = svd::test::generateEpisodes(QStringLiteral("mytest"),
//       {"--episodes", "2", "--sources", "dead:256:dead,good:2048", "--announce", trackerUrl});
//   QVERIFY2(gen.ok(), qPrintable(gen.error));
//   gen.fixturePath                 -> fixture JSON for FixtureProvider / TestBackend
//   gen.source(1, "good")           -> that source's JSON object of episode 1
//   gen.seedDir(hash)               -> save path to seed that torrent from
//   gen.torrentPath(hash)           -> its .torrent file
//
// Output goes to $SVD_BINARY_DIR/test-episodes/<name> (reused when the options
// are unchanged); encoded media is cached in ~/.cache/sorvanta-test-media (or
// $SVD_TEST_MEDIA_CACHE), so only the first run pays for ffmpeg.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace svd::test {

struct GeneratedEpisodes {
    QString dir;
    QString fixturePath;
    QJsonObject fixture;
    QString error;

    bool ok() const { return error.isEmpty(); }

    QJsonObject episode(int number) const
    {
        for (const QJsonValue &v : fixture.value(QLatin1String("episodes")).toArray())
            if (v.toObject().value(QLatin1String("episode")).toInt() == number)
                return v.toObject();
        return {};
    }
    QJsonObject source(int episodeNumber, const QString &id) const
    {
        for (const QJsonValue &v : episode(episodeNumber).value(QLatin1String("sources")).toArray())
            if (v.toObject().value(QLatin1String("id")).toString() == id)
                return v.toObject();
        return {};
    }
    QString seedDir(const QString &infoHash) const { return dir + QStringLiteral("/seed/") + infoHash; }
    QString torrentPath(const QString &infoHash) const
    {
        return dir + QStringLiteral("/torrents/") + infoHash + QStringLiteral(".torrent");
    }
};

inline QString genEpisodesBinary()
{
    const QString fromEnv = qEnvironmentVariable("SVD_GEN_EPISODES");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/tools/gen-episodes");
}

// `name` picks the output folder; `args` are gen-episodes options other than --out.
inline GeneratedEpisodes generateEpisodes(const QString &name, const QStringList &args, int timeoutMs = 600000)
{
    GeneratedEpisodes g;
    QString root = qEnvironmentVariable("SVD_BINARY_DIR");
    if (root.isEmpty())
        root = QDir::tempPath();
    g.dir = root + QStringLiteral("/test-episodes/") + name;
    QProcess proc;
    proc.start(genEpisodesBinary(), QStringList{QStringLiteral("--out"), g.dir} + args);
    if (!proc.waitForFinished(timeoutMs) || proc.exitStatus() != QProcess::NormalExit || proc.exitCode() != 0) {
        g.error = QStringLiteral("gen-episodes failed (%1): %2")
                      .arg(proc.errorString(), QString::fromLocal8Bit(proc.readAllStandardError()));
        return g;
    }
    g.fixturePath = QString::fromUtf8(proc.readAllStandardOutput()).trimmed();
    QFile f(g.fixturePath);
    if (!f.open(QIODevice::ReadOnly)) {
        g.error = QStringLiteral("cannot read ") + g.fixturePath;
        return g;
    }
    g.fixture = QJsonDocument::fromJson(f.readAll()).object();
    return g;
}

} // namespace svd::test
