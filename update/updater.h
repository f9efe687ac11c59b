#pragma once

#include "update/crypto.h"
#include "update/installerlock.h"
#include "update/manifest.h"
#include "update/updaterconfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QThread;

namespace svd {

// Background update service: checks the signed manifest, downloads the
// installer with resume and throttling into a private folder, verifies it and
// keeps the verified result for an install at exit. Lives on the GUI thread;
// only the file hash runs on a short-lived worker thread.
//
// Signals for the user interface: `checked` after every check; `manualUpdate`
// when the user has to fetch the release from the browser (latestUrl());
// `updateReady` once a verified installer is on disk (then prepareInstall() and,
// after the event loop, launchPrepared()); `downloadFinished` for every
// download outcome.
class Updater : public QObject {
    Q_OBJECT
public:
    explicit Updater(UpdaterConfig config, QObject *parent = nullptr);
    ~Updater() override;

    // Starts periodic checks; the first one after `ms`.
    void startSchedule(int ms);
    bool busy() const;

    bool prepareInstall(QString *error = nullptr);
    bool launchPrepared(const QString &logPath, QString *error = nullptr, qint64 *pid = nullptr);
    static QStringList installerArguments(const QString &logPath);
    // Bytes a throttled transfer may have taken by now, saturating instead of
    // overflowing for any rate.
    static qint64 allowance(qint64 startOffset, qint64 bytesPerSec, qint64 elapsedMs, qint64 written);

    QUrl updateUrl() const;
    QUrl downloadUrl(const QString &file) const;
    QUrl latestUrl() const;

    const UpdaterConfig &config() const { return config_; }
    // Milliseconds until the next scheduled check, -1 when none is pending.
    int nextCheckInMs() const;
    int retryCount() const { return retries_; }
    // The verified installer, empty when there is none.
    QString preparedInstaller() const { return preparedPath_; }

public slots:
    void check();

signals:
    void checked(const svd::update::CheckResult &result);
    void manualUpdate(const svd::update::Manifest &manifest);
    void updateReady(const svd::update::Manifest &manifest, const QString &installerPath);
    void downloadFinished(bool ok, const QString &pathOrError);

private:
    struct Download {
        update::Manifest manifest;
        QString dir;
        std::unique_ptr<QFile> part;
        qint64 written = 0;
        qint64 startOffset = 0;
        QElapsedTimer clock;
        std::unique_ptr<update::Sha256> sha;
        QString error;
        bool discard = false;
        bool headersExamined = false;
    };

    QNetworkReply *get(const QUrl &url, int timeoutMs, bool json, qint64 rangeStart);
    void vetRedirect(QNetworkReply *reply, const QUrl &location);
    void onCheckFinished(QNetworkReply *reply);
    void finishCheck(const update::CheckResult &result);
    void scheduleNext(bool failure);

    QString prepareDir(const update::Manifest &manifest);
    void startDownload(const update::Manifest &manifest);
    void examineHeaders(QNetworkReply *reply);
    void onDownloadData(QNetworkReply *reply, bool final);
    void onDownloadFinished(QNetworkReply *reply);
    void recordError(const QString &error, bool discard);
    void downloadFailed(const QString &message, bool discard);
    void hashAsync(const QString &path, const update::Manifest &manifest, const QString &dir);
    void onHashed(const QString &path, const update::Manifest &manifest, const QString &dir,
                  const QByteArray &sha256, qint64 size, const QString &error);

    void cleanupStale();
    void wipe();
    void forgetPrepared();
    bool lockHeld() const { return lock_ && lock_->isOpen(); }

    UpdaterConfig config_;
    QNetworkAccessManager *nam_ = nullptr;
    QTimer checkTimer_;
    QTimer throttleTimer_;
    bool scheduled_ = false;
    int retries_ = 0;
    QPointer<QNetworkReply> checkReply_;
    QPointer<QNetworkReply> downloadReply_;
    bool hashing_ = false;
    // The running hash worker; joined (after asking it to stop) by the destructor
    // so that it never reads a file or reports to an updater that is gone.
    QThread *hashThread_ = nullptr;
    std::shared_ptr<std::atomic<bool>> hashCancel_;
    Download dl_;
    update::Manifest preparedManifest_;
    QString preparedPath_;
    std::unique_ptr<InstallerLock> lock_;
};

} // namespace svd
