#pragma once

#include "localserver.h"
#include "testkey.h"
#include "update/updater.h"

#include <QObject>
#include <QTemporaryDir>

#include <memory>
#include <optional>

// The update service against a real HTTP server on 127.0.0.1.
class TestUpdater : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void requestHeaders();
    void upToDateWipesOldDownload();
    void checkKinds_data();
    void checkKinds();
    void checkErrors();
    void redirects();
    void freshDownloadThenAlreadyVerified();
    void resumeAfterDrop();
    void downloadAnswerFaults();
    void badStateDirIgnored();
    void hashWorkerJoinedOnDestruction();
    void wrongContentRangeDiscardsPart();
    void ignoredRangeStartsOver();
    void digestMismatchDeletesAndRestartsFromZero();
    void oversizedBodyRefused();
    void diskSpaceRefusal();
    void fullPartVerifiedWithoutRequest();
    void staleFoldersCleaned();
    void scheduleIntervals();
    void throttledDownload();
    void configFromOptions();
    void commandLineExitCodes();
    void programModes();

private:
    static constexpr char kFile[] = "sorvanta-desktop_0.2.0_amd64.deb";
    static QByteArray sha256Hex(const QByteArray &data);
    static QStringList filesUnder(const QString &root);
    static QString partFile(const QString &root);

    svd::UpdaterConfig config() const;
    QByteArray manifest(const char *version = "0.2.0", const QByteArray &sha = {}, qint64 size = -1,
                        const char *minVersion = nullptr) const;
    void offer(const QByteArray &manifestBytes);
    svd::update::CheckResult runCheck(svd::Updater &u);
    QList<QVariant> waitDownload(svd::Updater &u);
    QString downloadRoot() const { return dir_->filePath(QStringLiteral("updates")); }
    int downloadRequests() const;
    // A first attempt that leaves a 400-byte .part (the connection drops).
    QList<QVariant> failAfter400Bytes(svd::Updater &u);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<LocalServer> server_;
    TestKey key_;
    QByteArray installer_;
    LocalServer::Response updateAnswer_;
    std::function<LocalServer::Response(const LocalServer::Request &)> download_;
    std::optional<QList<QVariant>> syncDownload_;
};
