#include "webswarm.h"

#include "tests/common/timescale.h"
#include "tests/torrent/swarm/loopbackswarm.h"

#include <QTest>

namespace svd::test {

namespace {

// The generated torrents name the tracker, so a stable port keeps them (and
// their info-hashes) the same from one run to the next.
constexpr quint16 kPreferredPort = 28957;

// A site page as the real site would drive the API: the player box is
// reported on ready and on resize, every event is kept for the test to read.
const char kSitePage[] = R"HTML(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Demo site</title>
<style>
  body { margin: 0; background: #eef0f4; color: #222; font: 15px sans-serif; }
  h1 { margin: 24px 80px; font-size: 22px; }
  #box { position: absolute; left: 80px; top: 90px; width: 640px; height: 360px; background: #000; }
  #menu { position: absolute; left: 100px; top: 110px; width: 200px; height: 120px; background: #e00000;
          color: #fff; display: none; padding: 8px; }
</style></head>
<body><h1 id="heading">Demo site</h1><div id="box"></div><div id="menu">menu over the video</div>
<script>
"use strict";
window.__events = [];
var sd = window.sorvantaDesktop;
function boxRect() {
  var r = document.getElementById("box").getBoundingClientRect();
  return { x: r.left, y: r.top, width: r.width, height: r.height, visible: true, dpr: window.devicePixelRatio };
}
// The red menu over the video, cut out of it while it is open (as a real
// site's dropdown would be); every report of the box carries it.
window.__menuOpen = false;
function report() {
  var r = boxRect();
  if (window.__menuOpen) {
    var b = document.getElementById("menu").getBoundingClientRect();
    r.holes = [{ x: b.left, y: b.top, width: b.width, height: b.height }];
  }
  sd.setVideoRect(r);
}
window.__menu = function (open) {
  document.getElementById("menu").style.display = open ? "block" : "none";
  window.__menuOpen = open;
  report();
};
// The shell forgets the box when playback ends, so every play reports it first.
window.__play = function (animeId, episode) {
  report();
  return sd.play({ animeId: animeId, episode: episode });
};
window.__kinds = function () {
  return window.__events.map(function (e) { return e.type + ":" + (e.reason || ""); });
};
window.__lastTracks = function () {
  var t = window.__events.filter(function (e) { return e.type === "tracks"; });
  return t.length ? t[t.length - 1] : null;
};
if (sd) {
  ["started", "closed", "fallback", "episode", "tracks"].forEach(function (type) {
    sd.on(type, function (e) { window.__events.push(e); });
  });
  sd.ready.then(function () { window.__ready = true; report(); });
  window.addEventListener("resize", report);
}
</script></body></html>
)HTML";

} // namespace

WebSwarm::WebSwarm() = default;

WebSwarm::~WebSwarm() = default;

bool WebSwarm::fail(const QString &error)
{
    m_error = error;
    return false;
}

QUrl WebSwarm::sitePage(const QString &path) const
{
    QUrl u = baseUrl();
    u.setPath(path);
    return u;
}

bool WebSwarm::start()
{
    m_clock.start();
    m_backend.addHandler([this](const HttpRequest &r) -> std::optional<HttpResponse> {
        if (std::optional<HttpResponse> t = m_tracker.handle(r, now()))
            return t;
        if (r.path().startsWith(QLatin1String("/title/")))
            return HttpResponse::bytes(QByteArray(kSitePage), "text/html; charset=utf-8");
        return std::nullopt;
    });
    if (!m_backend.listen(kPreferredPort) && !m_backend.listen())
        return fail(QStringLiteral("the backend cannot listen on 127.0.0.1"));
    const QString announce = baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/announce");
    const QStringList common{QStringLiteral("--height"),     QStringLiteral("240"),
                             QStringLiteral("--video-kbps"), QStringLiteral("300"),
                             QStringLiteral("--announce"),   announce};

    const GeneratedEpisodes seeded = generateEpisodes(
        QStringLiteral("webplay-seeded"),
        QStringList{QStringLiteral("--anime"), QString::number(kSeeded), QStringLiteral("--title"),
                    QStringLiteral("Demo 2602"), QStringLiteral("--episodes"), QStringLiteral("2"),
                    QStringLiteral("--sources"), QStringLiteral("main")} +
            common);
    if (!seeded.ok())
        return fail(seeded.error);
    const GeneratedEpisodes unseeded = generateEpisodes(
        QStringLiteral("webplay-unseeded"),
        QStringList{QStringLiteral("--anime"), QString::number(kUnseeded), QStringLiteral("--title"),
                    QStringLiteral("Nobody Seeds"), QStringLiteral("--sources"), QStringLiteral("gone:256:dead"),
                    QStringLiteral("--duration"), QStringLiteral("10")} +
            common);
    if (!unseeded.ok())
        return fail(unseeded.error);
    QString error;
    for (const GeneratedEpisodes *g : {&seeded, &unseeded})
        if (!m_backend.loadFixtures(g->fixturePath, &error))
            return fail(error);

    return seed(seeded, &m_seeder, 0);
}

bool WebSwarm::seed(const GeneratedEpisodes &episodes, std::unique_ptr<swarm::Seeder> *seeder, int bytesPerSec)
{
    const QString hash = episodes.source(1, QStringLiteral("main")).value(QStringLiteral("infoHash")).toString();
    *seeder = swarm::seedExisting(episodes.seedDir(hash), episodes.torrentPath(hash), bytesPerSec);
    if (!*seeder)
        return fail(QStringLiteral("no seeder for ") + hash);
    // The program finds the seeder only through the tracker.
    if (!QTest::qWaitFor(
            [&] { return m_tracker.counts(QByteArray::fromHex(hash.toLatin1()), now()).seeders >= 1; },
            svd::test::waitMs(20000)))
        return fail(QStringLiteral("the seeder never announced"));
    return true;
}

bool WebSwarm::addSlowTitle(int bytesPerSec)
{
    const QString announce = baseUrl().toString(QUrl::StripTrailingSlash) + QStringLiteral("/announce");
    const GeneratedEpisodes slow = generateEpisodes(
        QStringLiteral("webplay-slow"),
        {QStringLiteral("--anime"), QString::number(kSlow), QStringLiteral("--title"), QStringLiteral("Slow 2603"),
         QStringLiteral("--sources"), QStringLiteral("main"), QStringLiteral("--height"), QStringLiteral("720"),
         QStringLiteral("--video-kbps"), QStringLiteral("2500"), QStringLiteral("--duration"), QStringLiteral("60"),
         QStringLiteral("--announce"), announce});
    QString error;
    if (!slow.ok())
        return fail(slow.error);
    if (!m_backend.loadFixtures(slow.fixturePath, &error))
        return fail(error);
    return seed(slow, &m_slowSeeder, bytesPerSec);
}

} // namespace svd::test
