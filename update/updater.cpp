#include "update/updater.h"

#include "base/log.h"
#include "update/updaterreply.h"
#include "update/urlpolicy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QThread>

namespace svd {

using update::CheckResult;
using update::Manifest;
using update::abortReason;
using update::abortWith;
using update::httpStatus;

namespace {

constexpr int kCheckTimeoutMs = 20000;
constexpr int kMaxRedirects = 3;
constexpr int kRetryMs = 1800000;
constexpr int kLongMs = 19800000;
constexpr int kLongJitterMs = 3600000;
constexpr int kMaxRetries = 2;
const char kAbortReason[] = "svdAbortReason";

} // namespace

namespace update {

QString abortReason(const QNetworkReply *reply)
{
    return reply->property(kAbortReason).toString();
}

void abortWith(QNetworkReply *reply, const QString &reason)
{
    reply->setProperty(kAbortReason, reason);
    reply->abort();
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace update

Updater::Updater(UpdaterConfig config, QObject *parent) : QObject(parent), config_(std::move(config))
{
    qRegisterMetaType<update::CheckResult>();
    qRegisterMetaType<update::Manifest>();
    nam_ = new QNetworkAccessManager(this);
    nam_->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
    checkTimer_.setSingleShot(true);
    connect(&checkTimer_, &QTimer::timeout, this, &Updater::check);
    throttleTimer_.setSingleShot(true);
    throttleTimer_.setInterval(50);
    connect(&throttleTimer_, &QTimer::timeout, this, [this] {
        if (downloadReply_)
            onDownloadData(downloadReply_, false);
    });
}

Updater::~Updater()
{
    // Aborting emits finished synchronously; the handlers must not run on a
    // half-destroyed updater.
    for (QNetworkReply *r : {checkReply_.data(), downloadReply_.data()}) {
        if (r) {
            disconnect(r, nullptr, this, nullptr);
            r->abort();
        }
    }
    throttleTimer_.stop();
    if (hashThread_) {
        hashCancel_->store(true);
        hashThread_->wait();
        delete hashThread_;
    }
    if (dl_.part)
        dl_.part->close();
    if (lock_)
        lock_->close();
}

QUrl Updater::updateUrl() const
{
    return update::updateUrlFor(config_.baseUrl, config_.build);
}

QUrl Updater::downloadUrl(const QString &file) const
{
    return update::downloadUrlFor(config_.baseUrl, file);
}

QUrl Updater::latestUrl() const
{
    return update::latestUrlFor(config_.baseUrl, config_.build);
}

void Updater::startSchedule(int ms)
{
    if (config_.checksOff)
        return;
    scheduled_ = true;
    checkTimer_.start(ms);
}

int Updater::nextCheckInMs() const
{
    return checkTimer_.isActive() ? checkTimer_.remainingTime() : -1;
}

bool Updater::busy() const
{
    return checkReply_ || downloadReply_ || hashing_;
}

QNetworkReply *Updater::get(const QUrl &url, int timeoutMs, bool json, qint64 rangeStart)
{
    QNetworkRequest req(url);
    if (rangeStart > 0)
        req.setRawHeader("Range", "bytes=" + QByteArray::number(rangeStart) + '-');
    req.setHeader(QNetworkRequest::UserAgentHeader, nativeUserAgent());
    if (json)
        req.setRawHeader("Accept", "application/json");
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    req.setMaximumRedirectsAllowed(kMaxRedirects);
    req.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = nam_->get(req);
    connect(reply, &QNetworkReply::redirected, this,
            [this, reply](const QUrl &location) { vetRedirect(reply, location); });
    return reply;
}

void Updater::vetRedirect(QNetworkReply *reply, const QUrl &location)
{
    const QUrl target = reply->url().resolved(location);
    QUrl bare = target;
    bare.setQuery(QString());
    bare.setFragment(QString());
    if (update::isSameOrigin(config_.baseUrl, target) && update::isAllowedBase(bare)) {
        emit reply->redirectAllowed();
        return;
    }
    abortWith(reply, QStringLiteral("redirect to another origin refused: %1").arg(target.toString()));
}

// ---- check -------------------------------------------------------------------

void Updater::check()
{
    if (busy() || config_.checksOff)
        return;
    QString why;
    if (!update::isAllowedBase(config_.baseUrl, &why)) {
        finishCheck({CheckResult::Error,
                     QStringLiteral("update base %1 refused: %2").arg(config_.baseUrl.toString(), why),
                     {}});
        return;
    }
    if (config_.build.platform.isEmpty() || config_.build.arch.isEmpty()) {
        finishCheck({CheckResult::Error, QStringLiteral("updates are not supported on this platform"), {}});
        return;
    }
    cleanupStale();
    const QUrl url = updateUrl();
    logLine(QStringLiteral("update: checking %1").arg(url.toString()));
    QNetworkReply *reply = get(url, kCheckTimeoutMs, true, 0);
    checkReply_ = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > update::kMaxResponseBytes && abortReason(reply).isEmpty())
            abortWith(reply, QStringLiteral("response larger than %1 bytes").arg(update::kMaxResponseBytes));
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onCheckFinished(reply); });
}

void Updater::onCheckFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (checkReply_ == reply)
        checkReply_ = nullptr;
    const QString reason = abortReason(reply);
    const int status = httpStatus(reply);
    CheckResult r;
    if (!reason.isEmpty()) {
        r = {CheckResult::Error, reason, {}};
    } else if (status == 200 && reply->error() == QNetworkReply::NoError) {
        QByteArray bytes, signature;
        QString error;
        if (!update::parseUpdateResponse(reply->readAll(), &bytes, &signature, &error))
            r = {CheckResult::Rejected, QStringLiteral("bad response: %1").arg(error), {}};
        else
            r = CheckResult::fromVerdict(
                update::evaluateManifest(bytes, signature, config_.publicKey, config_.build));
    } else if (status == 204) {
        r = {CheckResult::UpToDate, QStringLiteral("nothing newer published (204)"), {}};
    } else if (status > 0) {
        r = {CheckResult::Error, QStringLiteral("HTTP %1").arg(status), {}};
    } else {
        r = {CheckResult::Error, QStringLiteral("network: %1").arg(reply->errorString()), {}};
    }
    finishCheck(r);
}

void Updater::finishCheck(const CheckResult &r)
{
    if (r.kind == CheckResult::Error)
        logLine(QStringLiteral("update: check failed: %1").arg(r.message));
    else if (r.kind == CheckResult::Rejected)
        logLine(QStringLiteral("update: ERROR manifest rejected: %1").arg(r.message));
    else
        logLine(QStringLiteral("update: %1: %2").arg(CheckResult::name(r.kind), r.message));

    if ((r.kind == CheckResult::UpToDate || r.kind == CheckResult::Ignored) && !lockHeld()) {
        forgetPrepared();
        wipe();
    }
    emit checked(r);
    // The next check is planned before a download starts, so that a download
    // failing right away gets its own (shorter) retry instead of this one.
    scheduleNext(r.kind == CheckResult::Rejected || r.kind == CheckResult::Error);

    if (r.kind == CheckResult::Manual) {
        emit manualUpdate(r.manifest);
    } else if (r.kind == CheckResult::Available) {
        if (!config_.installInPlace) {
            emit manualUpdate(r.manifest);
        } else if (!preparedPath_.isEmpty() && preparedManifest_.raw == r.manifest.raw &&
                   QFileInfo::exists(preparedPath_)) {
            logLine(QStringLiteral("update: %1 already downloaded and verified").arg(preparedPath_));
            emit downloadFinished(true, preparedPath_);
            emit updateReady(preparedManifest_, preparedPath_);
        } else {
            startDownload(r.manifest);
        }
    }
}

void Updater::scheduleNext(bool failure)
{
    if (!scheduled_)
        return;
    if (failure && retries_ <= kMaxRetries) {
        ++retries_;
        checkTimer_.start(kRetryMs);
        return;
    }
    if (!failure)
        retries_ = 0;
    checkTimer_.start(kLongMs + int(QRandomGenerator::global()->bounded(kLongJitterMs + 1)));
}

// ---- install -----------------------------------------------------------------

bool Updater::prepareInstall(QString *error)
{
    if (preparedPath_.isEmpty()) {
        if (error)
            *error = QStringLiteral("no verified installer");
        return false;
    }
    // Without a lock there is nothing to re-verify against; the verified file
    // stays for the manual route instead of being thrown away.
    if (!InstallerLock::supported()) {
        InstallerLock().open(preparedPath_, preparedManifest_.size, preparedManifest_.sha256, error);
        return false;
    }
    lock_ = std::make_unique<InstallerLock>();
    QString why;
    if (lock_->open(preparedPath_, preparedManifest_.size, preparedManifest_.sha256, &why)) {
        logLine(QStringLiteral("update: %1 locked and re-verified").arg(preparedPath_));
        return true;
    }
    lock_.reset();
    logLine(QStringLiteral("update: ERROR installer failed re-verification: %1 - deleted").arg(why));
    QFile::remove(preparedPath_);
    forgetPrepared();
    if (error)
        *error = why;
    return false;
}

QStringList Updater::installerArguments(const QString &logPath)
{
    QStringList args{QStringLiteral("/VERYSILENT"),         QStringLiteral("/SUPPRESSMSGBOXES"),
                     QStringLiteral("/NORESTART"),          QStringLiteral("/CLOSEAPPLICATIONS"),
                     QStringLiteral("/NORESTARTAPPLICATIONS"), QStringLiteral("/RELAUNCH=1")};
    if (!logPath.isEmpty())
        args.append(QStringLiteral("/LOG=%1").arg(QDir::toNativeSeparators(logPath)));
    return args;
}

bool Updater::launchPrepared(const QString &logPath, QString *error, qint64 *pid)
{
    if (!lockHeld()) {
        if (error)
            *error = QStringLiteral("installer not prepared");
        return false;
    }
    const QStringList args = installerArguments(logPath);
    qint64 started = 0;
    QString why;
    if (!lock_->launch(args, &why, &started)) {
        logLine(QStringLiteral("update: ERROR installer not started: %1").arg(why));
        if (error)
            *error = why;
        return false;
    }
    logLine(QStringLiteral("update: started %1 %2 (pid %3)").arg(preparedPath_, args.join(u' ')).arg(started));
    if (pid)
        *pid = started;
    return true;
}

} // namespace svd
