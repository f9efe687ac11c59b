// The updater's download: a resumable, throttled transfer into the download folder,
// hashed while it arrives (or on a worker thread afterwards) and verified against the
// manifest before it counts as prepared.
#include "update/updater.h"

#include "base/log.h"
#include "update/crypto.h"
#include "update/freespace.h"
#include "update/updaterreply.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QThread>

#include <atomic>
#include <limits>

namespace svd {

using update::Manifest;
using update::abortReason;
using update::httpStatus;

namespace {

constexpr int kDownloadTimeoutMs = 60000;
constexpr qint64 kReadBufferBytes = 262144;
constexpr qint64 kReserveBytes = 1073741824;

} // namespace

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

} // namespace svd
