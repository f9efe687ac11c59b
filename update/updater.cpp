#include "update/updater.h"

#include "base/log.h"
#include "update/crypto.h"
#include "update/freespace.h"
#include "update/urlpolicy.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>

#include <atomic>
#include <limits>

namespace svd {

using update::CheckResult;
using update::Manifest;

namespace {

constexpr int kCheckTimeoutMs = 20000;
constexpr int kDownloadTimeoutMs = 60000;
constexpr int kMaxRedirects = 3;
constexpr qint64 kReadBufferBytes = 262144;
constexpr qint64 kStateMaxBytes = 524288;
constexpr qint64 kReserveBytes = 1073741824;
constexpr int kRetryMs = 1800000;
constexpr int kLongMs = 19800000;
constexpr int kLongJitterMs = 3600000;
constexpr int kMaxRetries = 2;
const char kAbortReason[] = "svdAbortReason";

struct SavedState {
    QString dir;
    QByteArray manifest;
    QByteArray signature;
};

const QRegularExpression &hexDirRe()
{
    static const QRegularExpression re(QStringLiteral("^[0-9a-f]{32}\\z"));
    return re;
}

QString statePath(const QString &downloadDir)
{
    return downloadDir + QStringLiteral("/state.json");
}

std::optional<SavedState> readState(const QString &downloadDir)
{
    QFile f(statePath(downloadDir));
    if (!f.open(QIODevice::ReadOnly) || f.size() > kStateMaxBytes)
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(f.read(kStateMaxBytes + 1)).object();
    SavedState s;
    s.dir = o.value(QLatin1String("dir")).toString();
    s.manifest = QByteArray::fromBase64(o.value(QLatin1String("manifest")).toString().toLatin1());
    s.signature = QByteArray::fromBase64(o.value(QLatin1String("signature")).toString().toLatin1());
    if (!hexDirRe().match(s.dir).hasMatch() || s.manifest.isEmpty())
        return std::nullopt;
    return s;
}

bool writeState(const QString &downloadDir, const QString &dir, const Manifest &m)
{
    QJsonObject o;
    o.insert(QStringLiteral("dir"), dir);
    o.insert(QStringLiteral("manifest"), QString::fromLatin1(m.raw.toBase64()));
    o.insert(QStringLiteral("signature"), QString::fromLatin1(m.signature.toBase64()));
    QSaveFile f(statePath(downloadDir));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QJsonDocument(o).toJson(QJsonDocument::Compact));
    return f.commit();
}

void makeOwnerOnly(const QString &path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The 32-hex download subfolders of `downloadDir`, hidden ones included, never
// following links.
QStringList hexSubfolders(const QString &downloadDir)
{
    QStringList out;
    const QDir d(downloadDir);
    const QFileInfoList entries =
        d.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::System);
    for (const QFileInfo &fi : entries) {
        if (fi.isSymLink() || fi.isJunction() || !hexDirRe().match(fi.fileName()).hasMatch())
            continue;
        out.append(fi.fileName());
    }
    return out;
}

QString randomDirName()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

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

} // namespace

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

// ---- download folder ---------------------------------------------------------

QString Updater::prepareDir(const Manifest &m)
{
    const QString root = config_.downloadDir;
    QDir().mkpath(root);
    makeOwnerOnly(root);
    if (const auto s = readState(root); s && s->manifest == m.raw && QFileInfo(root + u'/' + s->dir).isDir())
        return root + u'/' + s->dir;
    wipe();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name = randomDirName();
        const QString path = root + u'/' + name;
        if (QFileInfo::exists(path) || !QDir().mkdir(path))
            continue;
        makeOwnerOnly(path);
        if (writeState(root, name, m))
            return path;
        QDir(path).removeRecursively();
        break;
    }
    return {};
}

void Updater::cleanupStale()
{
    if (lockHeld())
        return;
    const QString root = config_.downloadDir;
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return;
    QString keep;
    if (const auto s = readState(root);
        s && update::validateManifest(s->manifest, config_.build).kind == update::ManifestVerdict::Available)
        keep = s->dir;
    bool kept = false;
    for (const QString &name : hexSubfolders(root)) {
        if (name == keep) {
            kept = true;
            continue;
        }
        const QString path = root + u'/' + name;
        if (QDir(path).removeRecursively())
            logLine(QStringLiteral("update: removed old download %1").arg(path));
    }
    if (!kept) {
        QFile::remove(statePath(root));
        if (!preparedPath_.isEmpty() && QFileInfo(preparedPath_).absoluteFilePath().startsWith(
                                            QFileInfo(root).absoluteFilePath() + u'/'))
            forgetPrepared();
    }
}

void Updater::wipe()
{
    const QString root = config_.downloadDir;
    if (root.isEmpty())
        return;
    for (const QString &name : hexSubfolders(root)) {
        const QString path = root + u'/' + name;
        if (!QDir(path).removeRecursively())
            logLine(QStringLiteral("update: could not delete %1 (in use?)").arg(path));
    }
    QFile::remove(statePath(root));
}

void Updater::forgetPrepared()
{
    preparedManifest_ = Manifest{};
    preparedPath_.clear();
}

// ---- download ----------------------------------------------------------------

void Updater::startDownload(const Manifest &m)
{
    dl_ = Download{};
    dl_.manifest = m;
    dl_.dir = prepareDir(m);
    if (dl_.dir.isEmpty()) {
        downloadFailed(QStringLiteral("cannot create a download folder in %1").arg(config_.downloadDir), false);
        return;
    }
    const QString finalPath = dl_.dir + u'/' + m.file;
    const QString partPath = finalPath + QStringLiteral(".part");
    if (QFileInfo::exists(finalPath)) {
        logLine(QStringLiteral("update: %1 is on disk; verifying").arg(finalPath));
        hashAsync(finalPath, m, dl_.dir);
        return;
    }

    const qint64 have = qBound<qint64>(0, QFileInfo(partPath).size(), m.size);
    const qint64 need = 2 * m.size - have + kReserveBytes;
    const qint64 free = update::freeBytesFor(config_.downloadDir);
    if (free >= 0 && free < need) {
        downloadFailed(QStringLiteral("not enough disk space: %1 free in %2, need %3 (download %4 + install %5 + "
                                      "reserve %6); retrying later")
                           .arg(update::formatSize(free), QDir::toNativeSeparators(config_.downloadDir),
                                update::formatSize(need), update::formatSize(m.size - have),
                                update::formatSize(m.size), update::formatSize(kReserveBytes)),
                       false);
        return;
    }

    dl_.part = std::make_unique<QFile>(partPath);
    if (!dl_.part->open(QIODevice::ReadWrite)) {
        downloadFailed(QStringLiteral("cannot write %1: %2").arg(partPath, dl_.part->errorString()), false);
        return;
    }
    qint64 offset = dl_.part->size();
    if (offset > m.size)
        offset = 0;
    if (!dl_.part->resize(offset) || !dl_.part->seek(offset)) {
        downloadFailed(QStringLiteral("cannot prepare %1: %2").arg(partPath, dl_.part->errorString()), true);
        return;
    }
    if (offset == m.size) {
        dl_.part->close();
        dl_.part.reset();
        hashAsync(partPath, m, dl_.dir);
        return;
    }

    dl_.written = offset;
    dl_.startOffset = offset;
    if (offset == 0)
        dl_.sha = std::make_unique<update::Sha256>();
    dl_.clock.start();
    const QUrl url = downloadUrl(m.file);
    logLine(QStringLiteral("update: downloading %1 (%2 bytes)%3")
                .arg(url.toString(), QString::number(m.size),
                     offset > 0 ? QStringLiteral(", resuming at %1").arg(offset) : QString()));
    QNetworkReply *reply = get(url, kDownloadTimeoutMs, false, offset);
    downloadReply_ = reply;
    if (config_.maxBytesPerSec > 0) {
        reply->setReadBufferSize(kReadBufferBytes);
        logLine(QStringLiteral("update: download throttled to %1 MB/s")
                    .arg(double(config_.maxBytesPerSec) / 1000000.0, 0, 'f', 1));
    }
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onDownloadData(reply, false); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onDownloadFinished(reply); });
}

void Updater::recordError(const QString &error, bool discard)
{
    dl_.error = error;
    dl_.discard = discard;
}

void Updater::examineHeaders(QNetworkReply *reply)
{
    dl_.headersExamined = true;
    const qint64 size = dl_.manifest.size;
    const int status = httpStatus(reply);
    if (status == 200) {
        if (dl_.startOffset > 0) {
            logLine(QStringLiteral("update: server ignored the Range request; starting over"));
            dl_.startOffset = 0;
            dl_.written = 0;
            if (!dl_.part->resize(0) || !dl_.part->seek(0)) {
                recordError(QStringLiteral("cannot truncate %1").arg(dl_.part->errorString()), false);
                return;
            }
            dl_.sha = std::make_unique<update::Sha256>();
            dl_.clock.restart();
        }
    } else if (status == 206) {
        static const QRegularExpression re(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)\\z"));
        const QString header = QString::fromLatin1(reply->rawHeader("Content-Range")).trimmed();
        const QRegularExpressionMatch m = re.match(header);
        if (!m.hasMatch() || m.captured(1).toLongLong() != dl_.startOffset ||
            m.captured(2).toLongLong() + 1 != size || m.captured(3).toLongLong() != size) {
            recordError(QStringLiteral("unexpected Content-Range '%1' (have %2 of %3)")
                            .arg(header, QString::number(dl_.startOffset), QString::number(size)),
                        true);
            return;
        }
    } else {
        recordError(QStringLiteral("HTTP %1").arg(status), status == 416);
        return;
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != size - dl_.startOffset)
        recordError(QStringLiteral("Content-Length %1, expected %2").arg(length.toLongLong()).arg(size - dl_.startOffset),
                    status == 200);
}

void Updater::onDownloadData(QNetworkReply *reply, bool final)
{
    if (reply != downloadReply_ || !dl_.part || !dl_.error.isEmpty())
        return;
    if (!dl_.headersExamined) {
        examineHeaders(reply);
        if (!dl_.error.isEmpty()) {
            reply->abort();
            return;
        }
    }
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return;
    qint64 take = available;
    if (config_.maxBytesPerSec > 0 && !final) {
        const qint64 allowance =
            Updater::allowance(dl_.startOffset, config_.maxBytesPerSec, dl_.clock.elapsed(), dl_.written);
        if (allowance < available) {
            take = qMax<qint64>(0, allowance);
            if (!throttleTimer_.isActive())
                throttleTimer_.start();
        }
    }
    if (take == 0)
        return;
    if (dl_.written + take > dl_.manifest.size) {
        recordError(QStringLiteral("server sent more than manifest.size (%1) bytes").arg(dl_.manifest.size), true);
        reply->abort();
        return;
    }
    const QByteArray chunk = reply->read(take);
    if (dl_.part->write(chunk) != chunk.size()) {
        recordError(QStringLiteral("write error: %1").arg(dl_.part->errorString()), false);
        reply->abort();
        return;
    }
    if (dl_.sha)
        dl_.sha->add(chunk.constData(), chunk.size());
    dl_.written += chunk.size();
}

qint64 Updater::allowance(qint64 startOffset, qint64 bytesPerSec, qint64 elapsedMs, qint64 written)
{
    qint64 earned = 0;
    if (qMulOverflow(bytesPerSec, elapsedMs, &earned))
        return std::numeric_limits<qint64>::max();
    return startOffset + earned / 1000 - written;
}

void Updater::onDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != downloadReply_)
        return;
    if (dl_.error.isEmpty() && !abortReason(reply).isEmpty())
        recordError(abortReason(reply), false);
    throttleTimer_.stop();
    const int status = httpStatus(reply);
    if (dl_.error.isEmpty() && !dl_.headersExamined && status > 0)
        examineHeaders(reply);
    if (dl_.error.isEmpty() && reply->error() == QNetworkReply::NoError)
        onDownloadData(reply, true);
    downloadReply_ = nullptr;
    const QString partPath = dl_.part ? dl_.part->fileName() : QString();
    if (dl_.part) {
        dl_.part->flush();
        dl_.part->close();
        dl_.part.reset();
    }
    const qint64 size = dl_.manifest.size;
    if (!dl_.error.isEmpty()) {
        downloadFailed(dl_.error, dl_.discard);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // Error statuses ended in examineHeaders already; a 200 or 206 here
        // broke after its headers, and the network error says why.
        const QString what = status >= 400 ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
        downloadFailed(
            QStringLiteral("%1 (%2 of %3 bytes kept for resuming)").arg(what).arg(dl_.written).arg(size),
            status == 416);
        return;
    }
    if (dl_.written != size) {
        downloadFailed(QStringLiteral("incomplete: %1 of %2 bytes (kept for resuming)").arg(dl_.written).arg(size),
                       false);
        return;
    }
    if (dl_.sha && dl_.sha->total == size) {
        const QByteArray hex = dl_.sha->hexResult();
        dl_.sha.reset();
        logLine(QStringLiteral("update: download done in %1 s (hashed while downloading)")
                    .arg(double(dl_.clock.elapsed()) / 1000.0, 0, 'f', 1));
        onHashed(partPath, dl_.manifest, dl_.dir, hex, size, hex.isEmpty() ? QStringLiteral("SHA-256 failed") : QString());
        return;
    }
    hashAsync(partPath, dl_.manifest, dl_.dir);
}

void Updater::downloadFailed(const QString &message, bool discard)
{
    if (dl_.part) {
        dl_.part->close();
        dl_.part.reset();
    }
    dl_.sha.reset();
    if (!dl_.dir.isEmpty() && !dl_.manifest.file.isEmpty()) {
        const QString finalPath = dl_.dir + u'/' + dl_.manifest.file;
        const QString partPath = finalPath + QStringLiteral(".part");
        const QFileInfo part(partPath);
        if (discard || (part.exists() && part.size() == 0))
            QFile::remove(partPath);
        if (discard)
            QFile::remove(finalPath);
    }
    logLine(QStringLiteral("update: download failed: %1").arg(message));
    emit downloadFinished(false, message);
    scheduleNext(true);
}

void Updater::hashAsync(const QString &path, const Manifest &manifest, const QString &dir)
{
    struct Result {
        QByteArray hex;
        qint64 size = 0;
        QString error;
        // Published by the worker, read here: Qt's queued hand-over is made of
        // atomics ThreadSanitizer cannot see, this release/acquire pair it can.
        std::atomic_bool done{false};
    };
    hashing_ = true;
    auto result = std::make_shared<Result>();
    hashCancel_ = std::make_shared<std::atomic<bool>>(false);
    QThread *thread = QThread::create([path, result, cancel = hashCancel_] {
        result->hex = update::sha256File(path, &result->size, &result->error, cancel.get());
        result->done.store(true, std::memory_order_release);
    });
    hashThread_ = thread;
    // `finished` is queued to this thread, after the worker's last touch of
    // `result`; the connection dies with the updater, whose destructor joins
    // the worker instead.
    connect(thread, &QThread::finished, this, [this, thread, path, manifest, dir, result] {
        thread->wait();
        delete thread;
        hashThread_ = nullptr;
        hashing_ = false;
        [[maybe_unused]] const bool done = result->done.load(std::memory_order_acquire);
        Q_ASSERT(done); // `finished` comes after the worker's function returned
        onHashed(path, manifest, dir, result->hex, result->size, result->error);
    });
    thread->start(QThread::LowestPriority);
}

void Updater::onHashed(const QString &path, const Manifest &m, const QString &dir, const QByteArray &sha256,
                       qint64 size, const QString &error)
{
    dl_.manifest = m;
    dl_.dir = dir;
    if (!error.isEmpty()) {
        downloadFailed(QStringLiteral("cannot hash %1: %2").arg(path, error), true);
        return;
    }
    if (size != m.size || sha256 != m.sha256) {
        QFile::remove(path);
        logLine(QStringLiteral("update: ERROR %1 failed verification (%2 bytes, sha256 %3; manifest %4 bytes, %5) - "
                               "deleted")
                    .arg(path)
                    .arg(size)
                    .arg(QString::fromLatin1(sha256))
                    .arg(m.size)
                    .arg(QString::fromLatin1(m.sha256)));
        downloadFailed(QStringLiteral("size / SHA-256 mismatch, file deleted"), true);
        return;
    }
    const QString finalPath = dir + u'/' + m.file;
    if (path != finalPath) {
        if (QFileInfo::exists(finalPath))
            QFile::remove(finalPath);
        if (!QFile::rename(path, finalPath)) {
            downloadFailed(QStringLiteral("cannot rename %1").arg(path), true);
            return;
        }
    }
    preparedManifest_ = m;
    preparedPath_ = finalPath;
    logLine(QStringLiteral("update: %1 verified (%2 bytes, sha256 %3)")
                .arg(finalPath)
                .arg(size)
                .arg(QString::fromLatin1(sha256)));
    emit downloadFinished(true, finalPath);
    emit updateReady(m, finalPath);
    if (scheduled_) {
        retries_ = 0;
        scheduleNext(false);
    }
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
