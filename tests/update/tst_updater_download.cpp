// The updater's downloads: resuming, the server's faults, the download folder's state,
// verification and throttling.
#include "tst_updater.h"

#include "disk/volumes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using svd::Updater;
using svd::update::CheckResult;

void TestUpdater::freshDownloadThenAlreadyVerified()
{
    offer(manifest());
    Updater u(config());
    QSignalSpy ready(&u, &Updater::updateReady);
    QCOMPARE(runCheck(u).kind, CheckResult::Available);
    const QList<QVariant> done = waitDownload(u);
    QVERIFY2(done.at(0).toBool(), qPrintable(done.at(1).toString()));
    const QString path = done.at(1).toString();
    QVERIFY(path.endsWith(QStringLiteral("/") + QLatin1String(kFile)));
    QCOMPARE(ready.size(), 1);
    QCOMPARE(u.preparedInstaller(), path);
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), installer_);
    QCOMPARE(QFileInfo(downloadRoot()).permissions() & (QFile::ReadOther | QFile::ReadGroup), QFile::Permissions());
    const QJsonObject state = QJsonDocument::fromJson([&] {
                                  QFile s(downloadRoot() + QStringLiteral("/state.json"));
                                  s.open(QIODevice::ReadOnly);
                                  return s.readAll();
                              }()).object();
    QCOMPARE(QByteArray::fromBase64(state.value(QStringLiteral("manifest")).toString().toLatin1()), manifest());
    QCOMPARE(QFileInfo(path).dir().dirName(), state.value(QStringLiteral("dir")).toString());

    // The same manifest again: no second download.
    QSignalSpy finished(&u, &Updater::downloadFinished);
    QCOMPARE(runCheck(u).kind, CheckResult::Available);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(1).toString(), path);
    QCOMPARE(downloadRequests(), 1);

    // A new updater (a restart) finds the file on disk and only re-verifies it.
    Updater again(config());
    QCOMPARE(runCheck(again).kind, CheckResult::Available);
    QVERIFY(waitDownload(again).at(0).toBool());
    QCOMPARE(downloadRequests(), 1);

    // Nothing offered any more: the download goes.
    updateAnswer_ = LocalServer::Response{204, {}, {}, -1, -1};
    QCOMPARE(runCheck(again).kind, CheckResult::UpToDate);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(again.preparedInstaller().isEmpty());
}

void TestUpdater::resumeAfterDrop()
{
    Updater u(config());
    // A transfer that breaks after its headers is reported by the network's
    // error text (or, when Qt sees no error, as incomplete), never by its status.
    auto brokenAfter = [](const QString &message, int bytes) {
        const QString kept = QStringLiteral("%1 of 1000 bytes").arg(bytes);
        return !message.startsWith(QLatin1String("HTTP")) &&
               (message == QStringLiteral("Connection closed (%1 kept for resuming)").arg(kept) ||
                message == QStringLiteral("incomplete: %1 (kept for resuming)").arg(kept));
    };
    QList<QVariant> done = failAfter400Bytes(u);
    QVERIFY(!done.at(0).toBool());
    QVERIFY2(brokenAfter(done.at(1).toString(), 400), qPrintable(done.at(1).toString()));
    const QString part = partFile(downloadRoot());
    QCOMPARE(QFileInfo(part).size(), qint64(400));

    // The resumed 206 breaks as well, 200 bytes further.
    download_ = [this](const LocalServer::Request &r) {
        LocalServer::Response resp = LocalServer::serveBytes(r, installer_);
        resp.dropAfter = 200;
        return resp;
    };
    runCheck(u);
    const QString second = waitDownload(u).at(1).toString();
    QVERIFY2(brokenAfter(second, 600), qPrintable(second));
    QCOMPARE(server_->requests.last().headers.value("range"), QByteArray("bytes=400-"));

    download_ = [this](const LocalServer::Request &r) { return LocalServer::serveBytes(r, installer_); };
    Updater next(config()); // state.json leads it to the same folder
    runCheck(next);
    done = waitDownload(next);
    QVERIFY2(done.at(0).toBool(), qPrintable(done.at(1).toString()));
    QCOMPARE(server_->requests.last().headers.value("range"), QByteArray("bytes=600-"));
    QCOMPARE(QFileInfo(done.at(1).toString()).dir(), QFileInfo(part).dir());
    QVERIFY(!QFileInfo::exists(part));
}

void TestUpdater::downloadAnswerFaults()
{
    Updater u(config());
    failAfter400Bytes(u);
    const QString part = partFile(downloadRoot());
    // Each answer to the resumed request ("bytes=400-") fails before any byte is written.
    auto resumeWith = [&](const LocalServer::Response &answer) {
        download_ = [answer](const LocalServer::Request &) { return answer; };
        runCheck(u);
        return waitDownload(u).at(1).toString();
    };
    const QByteArray range = "bytes 400-999/1000";
    QCOMPARE(resumeWith({206, {{"Content-Range", range}}, installer_.mid(400), 500, -1}),
             QStringLiteral("Content-Length 500, expected 600"));
    QCOMPARE(QFileInfo(part).size(), qint64(400));

    // Redirects of the download to another host or scheme: refused before they are followed.
    LocalServer other;
    const QByteArray path = QByteArray("/api/desktop/download/") + kFile;
    const QByteArray elsewhere[] = {"http://localhost:" + QByteArray::number(other.serverPort()) + path,
                                    "https://127.0.0.1:" + QByteArray::number(server_->serverPort()) + path};
    for (const QByteArray &target : elsewhere) {
        QCOMPARE(resumeWith({302, {{"Location", target}}, {}, -1, -1}),
                 QStringLiteral("redirect to another origin refused: ") + QString::fromLatin1(target));
        QCOMPARE(QFileInfo(part).size(), qint64(400));
    }
    QVERIFY(other.requests.isEmpty());

    // 416: the server cannot serve that range, so the partial file cannot be trusted.
    QCOMPARE(resumeWith({416, {}, {}, -1, -1}), QStringLiteral("HTTP 416"));
    QVERIFY(partFile(downloadRoot()).isEmpty());
}

void TestUpdater::badStateDirIgnored()
{
    // A state.json naming the offered manifest but a "dir" outside the download
    // folder must not lead the download there.
    const QString victim = dir_->filePath(QStringLiteral("victim"));
    QVERIFY(QDir().mkpath(victim));
    QFile victimPart(victim + u'/' + QLatin1String(kFile) + QStringLiteral(".part"));
    QVERIFY(victimPart.open(QIODevice::WriteOnly));
    victimPart.write("keep");
    victimPart.close();
    QVERIFY(QDir().mkpath(downloadRoot()));
    QJsonObject state;
    state.insert(QStringLiteral("dir"), QStringLiteral("../victim"));
    state.insert(QStringLiteral("manifest"), QString::fromLatin1(manifest().toBase64()));
    state.insert(QStringLiteral("signature"), QString::fromLatin1(key_.sign(manifest()).toBase64()));
    QFile stateFile(downloadRoot() + QStringLiteral("/state.json"));
    QVERIFY(stateFile.open(QIODevice::WriteOnly));
    stateFile.write(QJsonDocument(state).toJson(QJsonDocument::Compact));
    stateFile.close();

    offer(manifest());
    Updater u(config());
    runCheck(u);
    const QList<QVariant> done = waitDownload(u);
    QVERIFY2(done.at(0).toBool(), qPrintable(done.at(1).toString()));
    const QFileInfo installer(done.at(1).toString());
    QCOMPARE(installer.dir().absolutePath(), QDir(downloadRoot()).absoluteFilePath(installer.dir().dirName()));
    QVERIFY(!server_->requests.last().headers.contains("range"));
    QVERIFY(victimPart.open(QIODevice::ReadOnly));
    QCOMPARE(victimPart.readAll(), QByteArray("keep"));
}

namespace {

// Whether this process holds `path` open (Linux: the links of /proc/self/fd).
bool openHere(const QString &path)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System)) {
        if (fd.symLinkTarget() == path)
            return true;
    }
    return false;
}

} // namespace

void TestUpdater::hashWorkerJoinedOnDestruction()
{
    // A .part that already holds every byte is hashed on a worker thread. The
    // updater goes away mid-hash: its worker must stop and be joined, not go on
    // reading the file (or report to a dead object) afterwards.
    const qint64 size = svd::update::kMaxInstallerBytes; // 2 GiB, sparse: seconds to hash
    const QByteArray m = manifest("0.2.0", QByteArray(64, 'a'), size);
    const QString sub = QStringLiteral("0123456789abcdef0123456789abcdef");
    QVERIFY(QDir().mkpath(downloadRoot() + u'/' + sub));
    const QString part = downloadRoot() + u'/' + sub + u'/' + QLatin1String(kFile) + QStringLiteral(".part");
    QFile f(part);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
    f.close();
    QJsonObject state;
    state.insert(QStringLiteral("dir"), sub);
    state.insert(QStringLiteral("manifest"), QString::fromLatin1(m.toBase64()));
    state.insert(QStringLiteral("signature"), QString::fromLatin1(key_.sign(m).toBase64()));
    QFile stateFile(downloadRoot() + QStringLiteral("/state.json"));
    QVERIFY(stateFile.open(QIODevice::WriteOnly));
    stateFile.write(QJsonDocument(state).toJson(QJsonDocument::Compact));
    stateFile.close();
    svd::disk::setFakeFreeBytes(4 * size);

    offer(m);
    auto u = std::make_unique<Updater>(config());
    QCOMPARE(runCheck(*u).kind, CheckResult::Available);
    QTRY_VERIFY_WITH_TIMEOUT(openHere(QFileInfo(part).canonicalFilePath()), 10000);
    QVERIFY(u->busy());
    const QString canonical = QFileInfo(part).canonicalFilePath();
    u.reset();
    QVERIFY(!openHere(canonical));
    QCOMPARE(downloadRequests(), 0);
}

void TestUpdater::wrongContentRangeDiscardsPart()
{
    Updater u(config());
    failAfter400Bytes(u);
    QVERIFY(!partFile(downloadRoot()).isEmpty());
    download_ = [this](const LocalServer::Request &) {
        return LocalServer::Response{206, {{"Content-Range", "bytes 0-999/1000"}}, installer_.mid(400), -1, -1};
    };
    runCheck(u);
    const QList<QVariant> done = waitDownload(u);
    QCOMPARE(done.at(1).toString(), QStringLiteral("unexpected Content-Range 'bytes 0-999/1000' (have 400 of 1000)"));
    QVERIFY(partFile(downloadRoot()).isEmpty());
}

void TestUpdater::ignoredRangeStartsOver()
{
    Updater u(config());
    failAfter400Bytes(u);
    // The server now ignores Range and sends everything with 200.
    download_ = [this](const LocalServer::Request &) { return LocalServer::Response{200, {}, installer_, -1, -1}; };
    runCheck(u);
    const QList<QVariant> done = waitDownload(u);
    QVERIFY2(done.at(0).toBool(), qPrintable(done.at(1).toString()));
    QCOMPARE(server_->requests.last().headers.value("range"), QByteArray("bytes=400-"));
    QFile f(done.at(1).toString());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), installer_);
}

void TestUpdater::digestMismatchDeletesAndRestartsFromZero()
{
    offer(manifest("0.2.0", sha256Hex("something else")));
    Updater u(config());
    runCheck(u);
    QList<QVariant> done = waitDownload(u);
    QCOMPARE(done.at(1).toString(), QStringLiteral("size / SHA-256 mismatch, file deleted"));
    QVERIFY(filesUnder(downloadRoot()) == QStringList{QStringLiteral("state.json")});
    runCheck(u);
    waitDownload(u);
    QVERIFY(!server_->requests.last().headers.contains("range"));

    // The mismatch found only after a resumed download (no running hash) is caught too.
    download_ = [this](const LocalServer::Request &r) {
        QByteArray corrupt = installer_;
        corrupt[900] = char(corrupt[900] ^ 1);
        LocalServer::Response resp = LocalServer::serveBytes(r, r.headers.contains("range") ? corrupt : installer_);
        if (!r.headers.contains("range"))
            resp.dropAfter = 400;
        return resp;
    };
    offer(manifest());
    runCheck(u);
    QVERIFY(!waitDownload(u).at(0).toBool());
    runCheck(u);
    done = waitDownload(u);
    QCOMPARE(done.at(1).toString(), QStringLiteral("size / SHA-256 mismatch, file deleted"));
    QVERIFY(partFile(downloadRoot()).isEmpty());
}

void TestUpdater::oversizedBodyRefused()
{
    offer(manifest());
    download_ = [this](const LocalServer::Request &) {
        return LocalServer::Response{200, {}, installer_ + QByteArray(500, 'x'), -1, -1};
    };
    Updater u(config());
    runCheck(u);
    QCOMPARE(waitDownload(u).at(1).toString(), QStringLiteral("Content-Length 1500, expected 1000"));
    QVERIFY(partFile(downloadRoot()).isEmpty());
    // Without a Content-Length the byte count itself has to stop it.
    download_ = [this](const LocalServer::Request &) {
        return LocalServer::Response{200, {}, installer_ + QByteArray(500, 'x'), -2, -1};
    };
    runCheck(u);
    QCOMPARE(waitDownload(u).at(1).toString(), QStringLiteral("server sent more than manifest.size (1000) bytes"));
    QVERIFY(partFile(downloadRoot()).isEmpty());
}

void TestUpdater::diskSpaceRefusal()
{
    const qint64 MiB = 1048576;
    offer(manifest("0.2.0", {}, 600 * MiB));
    svd::disk::setFakeFreeBytes(2048 * MiB);
    Updater u(config());
    runCheck(u);
    const QList<QVariant> done = waitDownload(u);
    QCOMPARE(done.at(1).toString(),
             QStringLiteral("not enough disk space: 2.0 GiB free in %1, need 2.2 GiB (download 600 MiB + install "
                            "600 MiB + reserve 1.0 GiB); retrying later")
                 .arg(QDir::toNativeSeparators(downloadRoot())));
    QCOMPARE(downloadRequests(), 0);
}

void TestUpdater::fullPartVerifiedWithoutRequest()
{
    Updater u(config());
    failAfter400Bytes(u);
    QFile part(partFile(downloadRoot()));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.write(installer_);
    part.close();
    runCheck(u);
    const QList<QVariant> done = waitDownload(u);
    QVERIFY2(done.at(0).toBool(), qPrintable(done.at(1).toString()));
    QCOMPARE(downloadRequests(), 1);
}

void TestUpdater::throttledDownload()
{
    installer_ = QByteArray(1200000, 'k');
    offer(manifest());
    svd::UpdaterConfig c = config();
    c.maxBytesPerSec = 1000000;
    Updater u(c);
    QElapsedTimer t;
    t.start();
    runCheck(u);
    const QList<QVariant> done = waitDownload(u);
    QVERIFY2(done.at(0).toBool(), qPrintable(done.at(1).toString()));
    // 1.2 MB at 1 MB/s: the limit is kept, give or take the last buffered slice.
    QVERIFY2(t.elapsed() >= 600, qPrintable(QString::number(t.elapsed())));
}
