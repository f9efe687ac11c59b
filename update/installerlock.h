#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace svd {

// Keeps a verified installer open so that nobody can swap it between the
// verification and the launch. Only Windows can hold a file that way; on this
// platform every operation refuses.
class InstallerLock {
public:
    static bool supported();

    bool open(const QString &path, qint64 size, const QByteArray &sha256, QString *error = nullptr);
    bool reverify(QString *error = nullptr);
    bool launch(const QStringList &arguments, QString *error = nullptr, qint64 *pid = nullptr);
    void close();
    bool isOpen() const { return open_; }

private:
    bool open_ = false;
};

} // namespace svd
