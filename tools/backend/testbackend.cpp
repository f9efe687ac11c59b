#include "tools/backend/testbackend.h"

#include "base/log.h"
#include "sources/episodesources.h"
#include "sources/fixturefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace svd {

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;
constexpr qsizetype kMaxBodyBytes = 16 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

QByteArray contentTypeFor(const QString &fileName)
{
    const QString ext = QFileInfo(fileName).suffix().toLower();
    if (ext == QLatin1String("html") || ext == QLatin1String("htm"))
        return "text/html; charset=utf-8";
    if (ext == QLatin1String("js"))
        return "text/javascript; charset=utf-8";
    if (ext == QLatin1String("css"))
        return "text/css; charset=utf-8";
    if (ext == QLatin1String("json"))
        return "application/json";
    if (ext == QLatin1String("torrent"))
        return "application/x-bittorrent";
    if (ext == QLatin1String("png"))
        return "image/png";
    return "application/octet-stream";
}

} // namespace

HttpResponse HttpResponse::json(const QJsonObject &o, int status)
{
    return bytes(QJsonDocument(o).toJson(QJsonDocument::Compact), "application/json", status);
}

HttpResponse HttpResponse::bytes(const QByteArray &body, const QByteArray &contentType, int status)
{
    HttpResponse r;
    r.status = status;
    r.body = body;
    r.contentType = contentType;
    return r;
}

HttpResponse HttpResponse::notFound()
{
    return bytes("not found\n", "text/plain", 404);
}

HttpResponse HttpResponse::redirect(const QByteArray &location, int status)
{
    HttpResponse r = bytes(QByteArray(), "text/plain", status);
    r.headers.append({"Location", location});
    return r;
}

TestBackend::TestBackend(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestBackend::onConnection);
}

TestBackend::~TestBackend() = default;

bool TestBackend::listen(quint16 port, const QHostAddress &address)
{
    return m_server->listen(address, port);
}

quint16 TestBackend::port() const
{
    return m_server->serverPort();
}

QUrl TestBackend::baseUrl() const
{
    QUrl u;
    u.setScheme(QStringLiteral("http"));
    u.setHost(m_server->serverAddress().toString());
    u.setPort(port());
    return u;
}

bool TestBackend::loadFixtures(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (info.isDir()) {
        bool all = true;
        for (const QFileInfo &f : QDir(path).entryInfoList({QStringLiteral("*.json")}, QDir::Files, QDir::Name))
            all = loadFixtures(f.filePath(), error) && all;
        return all;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot open ") + path;
        return false;
    }
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &perr);
    if (perr.error != QJsonParseError::NoError) {
        if (error)
            *error = path + QStringLiteral(": ") + perr.errorString();
        return false;
    }
    const QString baseDir = info.absolutePath();
    const FixtureDocument fixture = parseFixtureDocument(doc);
    qint64 fileId = fixture.animeId;
    for (QJsonObject episode : fixture.episodes) {
        const EpisodeSources parsed = EpisodeSources::fromJson(episode, baseDir);
        qint64 id = parsed.animeId;
        if (id != 0 && fileId == 0)
            fileId = id;
        if (id == 0)
            id = fileId;
        episode.insert(QStringLiteral("animeId"), double(id));
        if (parsed.title.isEmpty() && !fixture.title.isEmpty())
            episode.insert(QStringLiteral("title"), fixture.title);
        QJsonArray sources = episode.value(QLatin1String("sources")).toArray();
        for (int i = 0; i < sources.size() && i < parsed.sources.size(); ++i) {
            const SourceInfo &s = parsed.sources.at(i);
            if (s.infoHash.isEmpty())
                continue;
            setTorrentFile(s.infoHash, fixtureTorrentPath(s.torrentUrl, s.infoHash, baseDir));
            QJsonObject o = sources.at(i).toObject();
            o.insert(QStringLiteral("torrentUrl"), QStringLiteral("/api/torrents/%1/file").arg(s.infoHash));
            sources.replace(i, o);
        }
        episode.insert(QStringLiteral("sources"), sources);
        setEpisode(id, parsed.episode, episode);
    }
    if (fileId == 0) {
        if (error)
            *error = path + QStringLiteral(": no animeId");
        return false;
    }
    return true;
}

void TestBackend::setEpisode(qint64 animeId, int episode, const QJsonObject &document)
{
    m_episodes.insert({animeId, episode}, document);
}

void TestBackend::setTorrent(const QString &infoHash, const QByteArray &bytes)
{
    m_torrents.insert(infoHash.toLower(), bytes);
}

void TestBackend::setTorrentFile(const QString &infoHash, const QString &path)
{
    m_torrentFiles.insert(infoHash.toLower(), path);
}

QList<QPair<qint64, int>> TestBackend::episodeKeys() const
{
    QList<QPair<qint64, int>> keys = m_episodes.keys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

void TestBackend::addStaticDir(const QString &urlPrefix, const QString &dir)
{
    QString prefix = urlPrefix;
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    m_static.append({prefix, QDir(dir).absolutePath()});
}

void TestBackend::addHandler(const Handler &handler)
{
    m_handlers.append(handler);
}

void TestBackend::setFault(const QString &pathPrefix, const HttpFault &fault)
{
    m_faults.insert(pathPrefix, fault);
}

void TestBackend::clearFaults()
{
    m_faults.clear();
}

QList<HttpRequest> TestBackend::requestsTo(const QString &pathPrefix) const
{
    QList<HttpRequest> out;
    for (const HttpRequest &r : m_requests)
        if (r.path().startsWith(pathPrefix))
            out.append(r);
    return out;
}

HttpFault TestBackend::faultFor(const QString &path) const
{
    HttpFault best;
    qsizetype bestLen = -1;
    for (auto it = m_faults.constBegin(); it != m_faults.constEnd(); ++it) {
        if (path.startsWith(it.key()) && it.key().size() > bestLen) {
            best = it.value();
            bestLen = it.key().size();
        }
    }
    return best;
}

void TestBackend::onConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

HttpParse parseHttpRequest(const QByteArray &buf, HttpRequest *out)
{
    const qsizetype headerEnd = buf.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return buf.size() > kMaxHeaderBytes ? HttpParse::Bad : HttpParse::Incomplete;
    const QList<QByteArray> lines = buf.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0).isEmpty() || !requestLine.at(1).startsWith('/'))
        return HttpParse::Bad;
    HttpRequest req;
    req.method = requestLine.at(0);
    req.url = QUrl::fromEncoded(requestLine.at(1));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            req.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    bool ok = true;
    const qint64 length = req.headers.value("content-length", "0").toLongLong(&ok);
    if (!ok || length < 0 || length > kMaxBodyBytes)
        return HttpParse::Bad;
    if (buf.size() - headerEnd - 4 < length)
        return HttpParse::Incomplete; // body still arriving
    req.body = buf.mid(headerEnd + 4, length);
    *out = req;
    return HttpParse::Complete;
}

void TestBackend::onReadyRead(QTcpSocket *socket)
{
    auto it = m_buffers.find(socket);
    if (it == m_buffers.end()) {
        socket->readAll(); // already answered: one request per connection
        return;
    }
    it->append(socket->readAll());
    HttpRequest req;
    const HttpParse state = parseHttpRequest(*it, &req);
    if (state == HttpParse::Incomplete)
        return;
    m_buffers.erase(it);
    if (state == HttpParse::Bad) {
        send(socket, HttpResponse::bytes("bad request\n", "text/plain", 400), HttpFault::None, false);
        return;
    }
    req.receivedAt = logClock();
    dispatch(socket, req);
}

void TestBackend::dispatch(QTcpSocket *socket, const HttpRequest &request)
{
    m_requests.append(request);
    if (m_logRequests) {
        logLine(QStringLiteral("backend: %1 %2 (ua %3)")
                    .arg(QString::fromLatin1(request.method), request.url.toString(),
                         QString::fromUtf8(request.header("user-agent"))));
    }
    emit requestReceived(request);

    const HttpFault fault = faultFor(request.path());
    if (fault.kind == HttpFault::Hang)
        return; // keep the connection open without an answer
    const HttpResponse response = route(request);
    const bool headOnly = request.method == "HEAD";
    if (fault.delayMs > 0) {
        QTimer::singleShot(fault.delayMs, socket, [socket, response, kind = fault.kind, headOnly]() {
            send(socket, response, kind, headOnly);
        });
        return;
    }
    send(socket, response, fault.kind, headOnly);
}

HttpResponse TestBackend::route(const HttpRequest &request) const
{
    for (const Handler &h : m_handlers) {
        if (std::optional<HttpResponse> r = h(request))
            return *r;
    }
    if (request.method != "GET" && request.method != "HEAD")
        return HttpResponse::bytes("method not allowed\n", "text/plain", 405);

    static const QRegularExpression episodeRe(QStringLiteral("^/api/anime/(-?\\d+)/torrents$"));
    static const QRegularExpression torrentRe(QStringLiteral("^/api/torrents/([0-9A-Fa-f]+)/file$"));
    const QString path = request.path();
    if (const QRegularExpressionMatch m = episodeRe.match(path); m.hasMatch()) {
        bool okEp = false;
        const int ep = request.query(QStringLiteral("episode")).toInt(&okEp);
        const auto found = m_episodes.constFind({m.captured(1).toLongLong(), ep});
        if (!okEp || found == m_episodes.constEnd())
            return HttpResponse::notFound();
        return HttpResponse::json(*found);
    }
    if (const QRegularExpressionMatch m = torrentRe.match(path); m.hasMatch()) {
        const QString hash = m.captured(1).toLower();
        if (m_torrents.contains(hash))
            return HttpResponse::bytes(m_torrents.value(hash), "application/x-bittorrent");
        QFile f(m_torrentFiles.value(hash));
        if (!m_torrentFiles.contains(hash) || !f.open(QIODevice::ReadOnly))
            return HttpResponse::notFound();
        return HttpResponse::bytes(f.readAll(), "application/x-bittorrent");
    }
    if (std::optional<HttpResponse> r = serveStatic(request))
        return *r;
    return HttpResponse::notFound();
}

std::optional<HttpResponse> TestBackend::serveStatic(const HttpRequest &request) const
{
    const QString path = request.path();
    for (const auto &[prefix, dir] : m_static) {
        if (!path.startsWith(prefix) && path + QLatin1Char('/') != prefix)
            continue;
        QString rel = path.mid(qMin(prefix.size(), path.size()));
        if (rel.isEmpty())
            rel = QStringLiteral("index.html");
        const QString file = QDir::cleanPath(dir + QLatin1Char('/') + rel);
        // A cleaned path outside the folder means ".." climbed out of it.
        if (!file.startsWith(dir + QLatin1Char('/')))
            return HttpResponse::notFound();
        QFile f(file);
        if (QFileInfo(file).isFile() && f.open(QIODevice::ReadOnly))
            return HttpResponse::bytes(f.readAll(), contentTypeFor(file));
    }
    return std::nullopt;
}

void TestBackend::send(QTcpSocket *socket, const HttpResponse &response, HttpFault::Kind kind, bool headOnly)
{
    HttpResponse r = response;
    switch (kind) {
    case HttpFault::ServerError:
        r = HttpResponse::bytes("internal error\n", "text/plain", 500);
        break;
    case HttpFault::Html:
        r = HttpResponse::bytes("<!DOCTYPE html><html><body>maintenance</body></html>\n", "text/html", 200);
        break;
    case HttpFault::EmptyBody:
        r.status = 200;
        r.body.clear();
        break;
    default:
        break;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasonPhrase(r.status) + "\r\n";
    if (!r.contentType.isEmpty())
        head += "Content-Type: " + r.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto &[name, value] : r.headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    socket->write(head);
    if (headOnly) {
        socket->disconnectFromHost();
        return;
    }
    // A truncated answer promises the whole length, sends half and hangs up.
    socket->write(kind == HttpFault::TruncatedBody ? r.body.left(r.body.size() / 2) : r.body);
    socket->disconnectFromHost();
}

} // namespace svd
