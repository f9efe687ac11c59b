#pragma once

// The program itself on a loopback swarm: the demo backend with one generated
// title and one seeder, and a way to run sorvanta-desktop against them.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace svd::test {

class HoleSwarm
{
public:
    HoleSwarm();
    ~HoleSwarm();

    // Generates the title and starts backend and seeder; the reason when it could
    // not (QSKIP-worthy when a binary is missing: `skip` is set then).
    QString start(bool *skip);
    void stop();

    QString baseUrl() const { return m_base; }
    QString fixture() const { return m_fixture; }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // Loopback-only, sandbox-off environment with its own settings below `scratch`.
    QProcessEnvironment childEnv(const QString &scratch) const;

    struct Run {
        QProcessEnvironment env;
        QString folder;     // below the swarm's scratch folder: log, home
        QString doneMarker; // the log line that ends the run early
        int capSeconds = 60;
        // Called once when `marker` first shows in the log.
        QString marker;
        std::function<void()> onMarker;
    };
    // The program's log; "(neither finished nor quit)" appended when it ran past the cap.
    QString runApp(const QStringList &args, const Run &run) const;

private:
    QString m_app;
    QString m_base;
    QString m_fixture;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_seeder;
};

// The lines of a run's log that start with "(" (the run's own verdicts) and its tail,
// for a failure message (QtTest cuts long ones short).
QByteArray runDiagnostics(const QString &log);

} // namespace svd::test
