#include "tst_release.h"

#include "base/log.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Ran {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Ran run(const QString &program, const QStringList &args, const QString &home)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("SVD_RELEASE_KEY"));
    p.setProcessEnvironment(env);
    p.start(program, args);
    Ran r;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// A stand-in package: dpkg-deb builds it in milliseconds, and the tools treat it like the real one.
QString makeDeb(const QString &dir, const QString &version)
{
    const QString root = dir + QStringLiteral("/pkg-") + version;
    QDir().mkpath(root + QStringLiteral("/DEBIAN"));
    QFile control(root + QStringLiteral("/DEBIAN/control"));
    if (!control.open(QIODevice::WriteOnly))
        return {};
    control.write("Package: sorvanta-desktop\nVersion: " + version.toLatin1() +
                  "\nArchitecture: amd64\nMaintainer: T <t@example.net>\nDescription: stand-in\n");
    control.close();
    const QString deb = dir + QStringLiteral("/sorvanta-desktop_%1_amd64.deb").arg(version);
    QProcess p;
    p.start(QStringLiteral("dpkg-deb"), {QStringLiteral("--build"), QStringLiteral("--root-owner-group"), root, deb});
    return p.waitForFinished(30000) && p.exitCode() == 0 ? deb : QString();
}

} // namespace

void TestRelease::pipeline()
{
    const QString bin = qEnvironmentVariable("SVD_BINARY_DIR");
    const QString tool = bin + QStringLiteral("/tools/release/svd-release");
    const QString program = bin + QStringLiteral("/app/sorvanta-desktop");
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (!QFileInfo(tool).isExecutable() || !QFileInfo(program).isExecutable())
        QSKIP("svd-release or the program is not built in this tree");
    if (python.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty())
        QSKIP("needs python3 and dpkg-deb");
    QTemporaryDir tmp;
    const QString t = tmp.path();

    // keygen: the public key is the only output; the private key is 0600 and never printed.
    const Ran k1 = run(tool, {QStringLiteral("keygen"), t + QStringLiteral("/k1.key")}, t);
    QCOMPARE(k1.code, 0);
    const QString pub1 = QString::fromLatin1(k1.out.trimmed());
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9+/]{43}=$")).match(pub1).hasMatch(), k1.out.constData());
    // Owner, group and others (0xf0ff leaves out Qt's "user" view of the same bits).
    QCOMPARE(int(QFile::permissions(t + QStringLiteral("/k1.key"))) & 0xf0ff, int(QFile::ReadOwner | QFile::WriteOwner));
    QFile keyFile(t + QStringLiteral("/k1.key"));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    const QByteArray keyBody = keyFile.readAll().split('\n').value(1);
    QVERIFY(!keyBody.isEmpty() && !k1.out.contains(keyBody) && !k1.err.contains(keyBody));
    QCOMPARE(run(tool, {QStringLiteral("keygen"), QStringLiteral(SVD_SOURCE_DIR "/release.key")}, t).code, 1);
    QVERIFY(!QFileInfo::exists(QStringLiteral(SVD_SOURCE_DIR "/release.key")));
    const Ran k2 = run(tool, {QStringLiteral("keygen"), t + QStringLiteral("/k2.key")}, t);
    const QString pub2 = QString::fromLatin1(k2.out.trimmed());

    const QString deb = makeDeb(t, QStringLiteral("0.2.0"));
    QVERIFY(!deb.isEmpty());
    auto signAndFeed = [&](const QString &debFile, const QString &version, const QString &key, const QString &pub) {
        const QString rel = t + QStringLiteral("/rel-") + version + pub.left(4).replace(u'/', u'_');
        const Ran s = run(tool,
                          {QStringLiteral("sign-release"), QStringLiteral("--deb"), debFile, QStringLiteral("--version"),
                           version, QStringLiteral("--notes"), QStringLiteral("Исправления"), QStringLiteral("--base-url"),
                           QStringLiteral("http://127.0.0.1:1/"), QStringLiteral("--public-key"), pub,
                           QStringLiteral("--key"), key, QStringLiteral("--out"), rel},
                          t);
        if (s.code != 0)
            return s;
        return run(tool, {QStringLiteral("make-feed"), QStringLiteral("--release"), rel, QStringLiteral("--public-key"),
                          pub, QStringLiteral("--out"), t + QStringLiteral("/feed")},
                   t);
    };
    // A private key that does not belong to the given public key is refused.
    const Ran mismatch = signAndFeed(deb, QStringLiteral("0.2.0"), t + QStringLiteral("/k2.key"), pub1);
    QCOMPARE(mismatch.code, 1);
    QVERIFY2(mismatch.err.contains("does not belong to the public key"), mismatch.err.constData());
    const Ran fed = signAndFeed(deb, QStringLiteral("0.2.0"), t + QStringLiteral("/k1.key"), pub1);
    QVERIFY2(fed.code == 0, fed.err.constData());

    // A plain static web server on the feed folder.
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(python, {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("0"),
                          QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"),
                          t + QStringLiteral("/feed")});
    const QRegularExpression listening(QStringLiteral("port (\\d+)"));
    QByteArray banner;
    QTRY_VERIFY_WITH_TIMEOUT((banner += server.readAll(), listening.match(QString::fromLatin1(banner)).hasMatch()),
                             20000);
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(listening.match(QString::fromLatin1(banner)).captured(1));
    auto check = [&](const QString &pub) {
        return run(program,
                   {QStringLiteral("--check-update"), QStringLiteral("--update-download"), QStringLiteral("--update-url"),
                    base, QStringLiteral("--update-test-key"), pub},
                   t);
    };

    // The program offers the release and downloads and verifies the package.
    Ran r = check(pub1);
    QCOMPARE(r.code, 10);
    QVERIFY2(r.out.startsWith("update-check: available version 0.2.0 (sorvanta-desktop_0.2.0_amd64.deb, "), r.out.constData());
    QVERIFY2(r.out.contains("\nupdate-download: ok "), r.out.constData());
    const QByteArray path = r.out.mid(r.out.indexOf("update-download: ok ") + 20).trimmed();
    QFile got(QString::fromUtf8(path)), sent(deb);
    QVERIFY(got.open(QIODevice::ReadOnly) && sent.open(QIODevice::ReadOnly));
    QCOMPARE(got.readAll(), sent.readAll());

    // The same feed signed with another key is rejected.
    QCOMPARE(signAndFeed(deb, QStringLiteral("0.2.0"), t + QStringLiteral("/k2.key"), pub2).code, 0);
    r = check(pub1);
    QCOMPARE(r.code, 4);
    QCOMPARE(r.out, QByteArray("update-check: rejected bad signature: signature does not match\n"));

    // A feed of the running version is the static server's "nothing newer".
    const QString current = QString::fromLatin1(svd::kAppVersion);
    QCOMPARE(signAndFeed(makeDeb(t, current), current, t + QStringLiteral("/k1.key"), pub1).code, 0);
    r = check(pub1);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QStringLiteral("update-check: ignored version %1 is not newer than the running %1\n").arg(current).toUtf8());

    server.kill();
    server.waitForFinished(5000);
}
