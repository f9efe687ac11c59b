#include "tst_updater.h"

#include "base/log.h"
#include "disk/volumes.h"
#include "update/updatecli.h"

#include <QCommandLineParser>
#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

using svd::Updater;
using svd::update::CheckResult;

namespace {

const char kFile[] = "sorvanta-desktop_0.2.0_amd64.deb";

QByteArray sha256Hex(const QByteArray &data)
{
    svd::update::Sha256 s;
    s.add(data.constData(), data.size());
    return s.hexResult();
}

// Every file below `root`, relative, sorted.
QStringList filesUnder(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

QString partFile(const QString &root)
{
    for (const QString &f : filesUnder(root))
        if (f.endsWith(QLatin1String(".part")))
            return root + u'/' + f;
    return {};
}

} // namespace

void TestUpdater::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    server_ = std::make_unique<LocalServer>();
    QVERIFY(server_->isListening());
    installer_.clear();
    for (int i = 0; i < 1000; ++i)
        installer_.append(char((i * 7919) & 0xff));
    updateAnswer_ = LocalServer::Response{204, {}, {}, -1, -1};
    download_ = [this](const LocalServer::Request &r) { return LocalServer::serveBytes(r, installer_); };
    server_->setHandler([this](const LocalServer::Request &r) {
        if (r.path.startsWith("/api/desktop/update"))
            return updateAnswer_;
        if (r.path == QByteArray("/api/desktop/download/") + kFile)
            return download_(r);
        return LocalServer::Response{404, {}, "no", -1, -1};
    });
}

void TestUpdater::cleanup()
{
    svd::disk::setFakeFreeBytes(-1);
    server_.reset();
    dir_.reset();
}

svd::UpdaterConfig TestUpdater::config() const
{
    svd::UpdaterConfig c;
    c.baseUrl = server_->base();
    c.publicKey = key_.publicKey();
    c.build = svd::update::runningBuild(QStringLiteral("stable"));
    c.downloadDir = downloadRoot();
    c.installInPlace = true;
    return c;
}

QByteArray TestUpdater::manifest(const char *version, const QByteArray &sha, qint64 size,
                                 const char *minVersion) const
{
    QJsonObject o;
    o.insert(QStringLiteral("version"), QLatin1String(version));
    o.insert(QStringLiteral("platform"), QStringLiteral("linux"));
    o.insert(QStringLiteral("arch"), QStringLiteral("x64"));
    o.insert(QStringLiteral("channel"), QStringLiteral("stable"));
    o.insert(QStringLiteral("file"), QLatin1String(kFile));
    o.insert(QStringLiteral("size"), size >= 0 ? size : installer_.size());
    o.insert(QStringLiteral("sha256"), QString::fromLatin1(sha.isEmpty() ? sha256Hex(installer_) : sha));
    o.insert(QStringLiteral("mandatory"), false);
    o.insert(QStringLiteral("minVersion"), minVersion ? QJsonValue(QLatin1String(minVersion)) : QJsonValue());
    o.insert(QStringLiteral("publishedAt"), QStringLiteral("2026-11-26T12:00:00Z"));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

void TestUpdater::offer(const QByteArray &m)
{
    updateAnswer_ = LocalServer::Response{200, {{"Content-Type", "application/json"}}, key_.envelope(m), -1, -1};
}

CheckResult TestUpdater::runCheck(Updater &u)
{
    QSignalSpy spy(&u, &Updater::checked);
    // A download can fail before check() returns; keep that outcome for waitDownload.
    syncDownload_.reset();
    auto conn = std::make_shared<QMetaObject::Connection>();
    *conn = connect(&u, &Updater::downloadFinished, this, [this, conn](bool ok, const QString &text) {
        syncDownload_ = QList<QVariant>{ok, text};
    });
    u.check();
    if (spy.isEmpty())
        spy.wait(10000);
    disconnect(*conn);
    if (spy.isEmpty())
        return CheckResult{CheckResult::Error, QStringLiteral("test: no checked signal"), {}};
    return spy.first().first().value<CheckResult>();
}

QList<QVariant> TestUpdater::waitDownload(Updater &u)
{
    if (syncDownload_) {
        const QList<QVariant> done = *syncDownload_;
        syncDownload_.reset();
        return done;
    }
    QSignalSpy spy(&u, &Updater::downloadFinished);
    if (spy.isEmpty() && !spy.wait(10000))
        return {false, QStringLiteral("test: no downloadFinished")};
    return spy.first();
}

QList<QVariant> TestUpdater::failAfter400Bytes(Updater &u)
{
    offer(manifest());
    download_ = [this](const LocalServer::Request &r) {
        LocalServer::Response resp = LocalServer::serveBytes(r, installer_);
        resp.dropAfter = 400;
        return resp;
    };
    runCheck(u);
    return waitDownload(u);
}

int TestUpdater::downloadRequests() const
{
    int n = 0;
    for (const auto &r : server_->requests)
        n += r.path.startsWith("/api/desktop/download/");
    return n;
}

void TestUpdater::requestHeaders()
{
    Updater u(config());
    QCOMPARE(runCheck(u).kind, CheckResult::UpToDate);
    QCOMPARE(server_->requests.size(), 1);
    const LocalServer::Request &r = server_->requests.first();
    QCOMPARE(r.headers.value("user-agent"), svd::nativeUserAgent().toLatin1());
    QCOMPARE(r.headers.value("accept"), QByteArray("application/json"));
    QVERIFY(!r.headers.contains("cookie"));
    const QUrlQuery q(QUrl(QString::fromLatin1(r.path)));
    QCOMPARE(q.queryItemValue(QStringLiteral("platform")), QStringLiteral("linux"));
    QCOMPARE(q.queryItemValue(QStringLiteral("version")), QStringLiteral("0.1.3"));
}

void TestUpdater::upToDateWipesOldDownload()
{
    const QString old = downloadRoot() + QStringLiteral("/0123456789abcdef0123456789abcdef");
    const QString keep = downloadRoot() + QStringLiteral("/not-a-download");
    QVERIFY(QDir().mkpath(old));
    QVERIFY(QDir().mkpath(keep));
    QFile(old + QStringLiteral("/x.part")).open(QIODevice::WriteOnly);
    Updater u(config());
    const CheckResult r = runCheck(u);
    QCOMPARE(r.kind, CheckResult::UpToDate);
    QCOMPARE(r.message, QStringLiteral("nothing newer published (204)"));
    QVERIFY(!QFileInfo::exists(old));
    QVERIFY(QFileInfo::exists(keep)); // only 32-hex folders are ours
}

void TestUpdater::checkKinds_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("minVersion");
    QTest::addColumn<bool>("badSignature");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("manualSignal");
    QTest::newRow("available, not in place -> manual offer") << QByteArray("0.2.0") << QByteArray() << false
                                                             << int(CheckResult::Available) << true;
    QTest::newRow("needs newer base -> manual") << QByteArray("0.2.0") << QByteArray("0.1.9") << false
                                                << int(CheckResult::Manual) << true;
    QTest::newRow("same version -> ignored") << QByteArray("0.1.3") << QByteArray() << false
                                             << int(CheckResult::Ignored) << false;
    QTest::newRow("bad signature -> rejected") << QByteArray("0.2.0") << QByteArray() << true
                                               << int(CheckResult::Rejected) << false;
}

void TestUpdater::checkKinds()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, minVersion);
    QFETCH(bool, badSignature);
    QFETCH(int, kind);
    QFETCH(bool, manualSignal);
    offer(manifest(version.constData(), {}, -1, minVersion.isEmpty() ? nullptr : minVersion.constData()));
    svd::UpdaterConfig c = config();
    c.installInPlace = false;
    if (badSignature)
        c.publicKey = TestKey().publicKey();
    Updater u(c);
    QSignalSpy manual(&u, &Updater::manualUpdate);
    const CheckResult r = runCheck(u);
    QCOMPARE(int(r.kind), kind);
    QCOMPARE(manual.size(), manualSignal ? 1 : 0);
    if (badSignature)
        QCOMPARE(r.message, QStringLiteral("bad signature: signature does not match"));
    if (manualSignal)
        QCOMPARE(manual.first().first().value<svd::update::Manifest>().version.toString(), QStringLiteral("0.2.0"));
    QCOMPARE(downloadRequests(), 0);
}

void TestUpdater::checkErrors()
{
    // Oversized answer: aborted while it arrives.
    updateAnswer_ = LocalServer::Response{200, {}, QByteArray(400000, ' '), -1, -1};
    {
        Updater u(config());
        const CheckResult r = runCheck(u);
        QCOMPARE(r.kind, CheckResult::Error);
        QCOMPARE(r.message, QStringLiteral("response larger than 262144 bytes"));
    }
    updateAnswer_ = LocalServer::Response{500, {}, "boom", -1, -1};
    {
        Updater u(config());
        QCOMPARE(runCheck(u).message, QStringLiteral("HTTP 500"));
    }
    updateAnswer_ = LocalServer::Response{200, {}, "{\"manifest\":\"x\"}", -1, -1};
    {
        Updater u(config());
        const CheckResult r = runCheck(u);
        QCOMPARE(r.kind, CheckResult::Rejected);
        QCOMPARE(r.message, QStringLiteral("bad response: response has no signature string"));
    }
    {
        svd::UpdaterConfig c = config();
        c.baseUrl = QUrl(QStringLiteral("http://update.example.net/"));
        Updater u(c);
        const CheckResult r = runCheck(u);
        QCOMPARE(r.message, QStringLiteral("update base http://update.example.net/ refused: plain http is only "
                                           "allowed for localhost"));
    }
    {
        svd::UpdaterConfig c = config();
        const quint16 port = server_->serverPort();
        server_.reset(); // nothing listens there any more
        c.baseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
        Updater u(c);
        const CheckResult r = runCheck(u);
        QCOMPARE(r.kind, CheckResult::Error);
        QVERIFY2(r.message.startsWith(QStringLiteral("network: ")), qPrintable(r.message));
    }
}

void TestUpdater::redirects()
{
    LocalServer other;
    other.setHandler([](const LocalServer::Request &) { return LocalServer::Response{204, {}, {}, -1, -1}; });
    // Same origin: followed.
    updateAnswer_ = LocalServer::Response{302, {{"Location", "/elsewhere"}}, {}, -1, -1};
    server_->setHandler([this](const LocalServer::Request &r) {
        if (r.path == "/elsewhere")
            return LocalServer::Response{204, {}, {}, -1, -1};
        return updateAnswer_;
    });
    {
        Updater u(config());
        QCOMPARE(runCheck(u).kind, CheckResult::UpToDate);
    }
    // Another port of the same host is another origin.
    const QByteArray target = other.base().toString().toLatin1() + "api";
    updateAnswer_ = LocalServer::Response{302, {{"Location", target}}, {}, -1, -1};
    Updater u(config());
    const CheckResult r = runCheck(u);
    QCOMPARE(r.kind, CheckResult::Error);
    QCOMPARE(r.message, QStringLiteral("redirect to another origin refused: ") + QString::fromLatin1(target));
    QVERIFY(other.requests.isEmpty());
}

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

void TestUpdater::staleFoldersCleaned()
{
    offer(manifest());
    Updater u(config());
    runCheck(u);
    const QString installer = waitDownload(u).at(1).toString();
    const QString staleDir = downloadRoot() + QStringLiteral("/ffffffffffffffffffffffffffffffff");
    QVERIFY(QDir().mkpath(staleDir));
    // A check keeps the current download (still offered) and drops the rest.
    runCheck(u);
    QVERIFY(QFileInfo::exists(installer));
    QVERIFY(!QFileInfo::exists(staleDir));
    // A build that has moved past the release drops it at the next check.
    svd::UpdaterConfig c = config();
    c.build.version = *svd::update::Version::parse(QStringLiteral("0.2.0"));
    updateAnswer_ = LocalServer::Response{500, {}, {}, -1, -1};
    Updater newer(c);
    runCheck(newer);
    QVERIFY(!QFileInfo::exists(installer));
    QVERIFY(!QFileInfo::exists(downloadRoot() + QStringLiteral("/state.json")));
}

void TestUpdater::scheduleIntervals()
{
    updateAnswer_ = LocalServer::Response{500, {}, {}, -1, -1};
    Updater u(config());
    u.startSchedule(3600000);
    const int thirtyMin = 1800000;
    for (int i = 1; i <= 3; ++i) {
        runCheck(u);
        QVERIFY2(qAbs(u.nextCheckInMs() - thirtyMin) < 5000, qPrintable(QString::number(u.nextCheckInMs())));
        QCOMPARE(u.retryCount(), i);
    }
    runCheck(u);
    QVERIFY(u.nextCheckInMs() > 19800000 - 5000 && u.nextCheckInMs() <= 23400000);
    QCOMPARE(u.retryCount(), 3);
    updateAnswer_ = LocalServer::Response{204, {}, {}, -1, -1};
    runCheck(u);
    QCOMPARE(u.retryCount(), 0);
    QVERIFY(u.nextCheckInMs() > 19800000 - 5000);
    // A failed download counts as a failure as well.
    offer(manifest());
    download_ = [](const LocalServer::Request &) { return LocalServer::Response{503, {}, {}, -1, -1}; };
    runCheck(u);
    QCOMPARE(waitDownload(u).at(1).toString(), QStringLiteral("HTTP 503"));
    QCOMPARE(u.retryCount(), 1);
    QVERIFY(qAbs(u.nextCheckInMs() - thirtyMin) < 5000);
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

void TestUpdater::configFromOptions()
{
    auto configFor = [](const QStringList &args, svd::UpdaterConfig *c, QString *error) {
        QCommandLineParser p;
        for (const char *name : {"update-url", "update-channel", "update-max-kbps", "update-test-key"})
            p.addOption({QString::fromLatin1(name), QString(), QStringLiteral("v")});
        for (const char *name : {"check-update", "no-update"})
            p.addOption({QString::fromLatin1(name), QString()});
        return p.parse(QStringList{QStringLiteral("prog")} + args) &&
               svd::updaterConfigFromOptions(p, QUrl(QStringLiteral("https://api.example.net/")), QStringLiteral("/d"),
                                             c, error);
    };
    svd::UpdaterConfig c;
    QString error;
    QVERIFY(configFor({}, &c, &error));
    QCOMPARE(c.publicKey, svd::update::embeddedPublicKey());
    QCOMPARE(c.checksOff, !svd::update::isValidEd25519PublicKey(c.publicKey));

    // The test key: only for an update server on 127.0.0.1 or ::1, and only a usable key.
    const QString key = QString::fromLatin1(key_.publicKey().toBase64());
    for (const char *url : {"http://127.0.0.1:1/", "http://[::1]:1/"}) {
        QVERIFY2(configFor({QStringLiteral("--update-url"), QLatin1String(url), QStringLiteral("--update-test-key"), key},
                           &c, &error),
                 qPrintable(error));
        QCOMPARE(c.publicKey, key_.publicKey());
        QVERIFY(!c.checksOff);
    }
    for (const char *url : {"http://localhost:1/", "https://127.0.0.1.example.net/", "https://api.example.net/"}) {
        QVERIFY(!configFor({QStringLiteral("--update-url"), QLatin1String(url), QStringLiteral("--update-test-key"), key},
                           &c, &error));
        QCOMPARE(error, QStringLiteral("--update-test-key refused: the update URL must be on 127.0.0.1 or [::1]"));
    }
    QVERIFY(!configFor({QStringLiteral("--update-url"), QStringLiteral("http://127.0.0.1:1/"),
                        QStringLiteral("--update-test-key"), QStringLiteral("mZ3pLq8Tn0vR5cWx2YbH7kJd4sFg9eUa1oNi6tPyQ0w=")},
                       &c, &error));
    QCOMPARE(error, QStringLiteral("--update-test-key refused: no curve point has this y"));

    // The largest rate the option takes: ten seconds at it overflow 64 bits, the allowance must not.
    QVERIFY(configFor({QStringLiteral("--update-max-kbps"), QStringLiteral("1099511627775")}, &c, &error));
    QCOMPARE(c.maxBytesPerSec, qint64(1099511627775) * 1000);
    QVERIFY(Updater::allowance(0, c.maxBytesPerSec, 10000, 0) > 0);
    QCOMPARE(Updater::allowance(400, 1000000, 500, 400), qint64(500000));

    // With checks off nothing is ever asked.
    svd::UpdaterConfig off = config();
    off.checksOff = true;
    Updater u(off);
    u.startSchedule(0);
    u.check();
    QTest::qWait(200);
    QVERIFY(server_->requests.isEmpty());
    QCOMPARE(u.nextCheckInMs(), -1);
}

void TestUpdater::commandLineExitCodes()
{
    svd::UpdateCliOptions o;
    o.config = config();
    o.config.installInPlace = false;
    QCOMPARE(svd::runUpdateCheck(o), 0); // 204
    offer(manifest());
    QCOMPARE(svd::runUpdateCheck(o), 10);
    QCOMPARE(downloadRequests(), 0);
    offer(manifest("0.2.0", {}, -1, "0.2.0"));
    QCOMPARE(svd::runUpdateCheck(o), 11);
    o.config.publicKey = TestKey().publicKey();
    QCOMPARE(svd::runUpdateCheck(o), 4);
    o.config = config();
    o.download = true;
    offer(manifest());
    QCOMPARE(svd::runUpdateCheck(o), 10);
    offer(manifest("0.2.0", sha256Hex("x")));
    QCOMPARE(svd::runUpdateCheck(o), 3);
    server_.reset();
    QCOMPARE(svd::runUpdateCheck(o), 2);
}

void TestUpdater::programModes()
{
    const QString program = qEnvironmentVariable("SVD_BINARY_DIR") + QStringLiteral("/app/sorvanta-desktop");
    if (!QFileInfo(program).isExecutable())
        QSKIP("the program is not built in this tree");
    auto run = [&](const QStringList &args, QByteArray *out) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir_->filePath(QStringLiteral("xdg")));
        // As on a server or over SSH: these modes show no window and need no display.
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
        p.setProcessEnvironment(env);
        QSignalSpy done(&p, &QProcess::finished);
        p.start(program, args);
        // The server answers from this event loop, so wait with the spy, not waitForFinished.
        if (!done.wait(30000))
            return -1;
        *out = p.readAllStandardOutput();
        return p.exitCode();
    };
    QByteArray out;
    const QString base = server_->base().toString();
    const QString log = dir_->filePath(QStringLiteral("xdg/Sorvanta/SorvantaDesktop/logs/update-check.log"));
    if (!svd::update::isValidEd25519PublicKey(svd::update::embeddedPublicKey())) {
        // A build without a usable release key: one log line, no request, the code of a failed check.
        QCOMPARE(run({QStringLiteral("--check-update"), QStringLiteral("--update-url"), base}, &out), 2);
        QCOMPARE(out, QByteArray("update-check: error built-in release key is not a valid Ed25519 key -> update "
                                 "checks off\n"));
        QVERIFY(server_->requests.isEmpty());
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("update: built-in release key is not a valid Ed25519 key -> update checks off"), 1);
    }
    const QStringList testKey{QStringLiteral("--update-test-key"), QString::fromLatin1(key_.publicKey().toBase64())};
    QCOMPARE(run(QStringList{QStringLiteral("--check-update"), QStringLiteral("--update-url"), base} + testKey, &out), 0);
    QCOMPARE(out, QByteArray("update-check: up-to-date nothing newer published (204)\n"));
    QCOMPARE(run(QStringList{QStringLiteral("--check-update"), QStringLiteral("--update-url"),
                             QStringLiteral("http://localhost:1/")} + testKey,
                 &out),
             2);
    QCOMPARE(run({QStringLiteral("--check-update"), QStringLiteral("--update-channel"), QStringLiteral("nightly")},
                 &out),
             2);
    QCOMPARE(run({QStringLiteral("--selftest-update")}, &out), 0);
    QVERIFY(QFileInfo::exists(log));
    server_.reset();
    QCOMPARE(run(QStringList{QStringLiteral("--check-update"), QStringLiteral("--update-url"), base} + testKey, &out), 2);
}
