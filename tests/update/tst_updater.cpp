#include "tst_updater.h"

#include "base/log.h"
#include "disk/volumes.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

using svd::Updater;
using svd::update::CheckResult;

QByteArray TestUpdater::sha256Hex(const QByteArray &data)
{
    svd::update::Sha256 s;
    s.add(data.constData(), data.size());
    return s.hexResult();
}

// Every file below `root`, relative, sorted.
QStringList TestUpdater::filesUnder(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

QString TestUpdater::partFile(const QString &root)
{
    for (const QString &f : filesUnder(root))
        if (f.endsWith(QLatin1String(".part")))
            return root + u'/' + f;
    return {};
}

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
