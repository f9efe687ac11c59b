#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace svd {

struct HttpRequest {
    QByteArray method;
    QUrl url;                             // path and query as sent
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    double receivedAt = 0;                // seconds on the log clock

    QString path() const { return url.path(); }
    QString query(const QString &key) const { return QUrlQuery(url).queryItemValue(key); }
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    static HttpResponse json(const QJsonObject &o, int status = 200);
    static HttpResponse bytes(const QByteArray &body, const QByteArray &contentType, int status = 200);
    static HttpResponse notFound();
    static HttpResponse redirect(const QByteArray &location, int status = 302);
};

enum class HttpParse { Incomplete, Complete, Bad };
// One request from the bytes received so far on a connection.
HttpParse parseHttpRequest(const QByteArray &buffer, HttpRequest *out);

// Ways to misbehave, chosen per path prefix (the longest matching prefix wins).
struct HttpFault {
    enum Kind { None, ServerError, Html, EmptyBody, TruncatedBody, Hang };
    Kind kind = None;
    int delayMs = 0; // before the (possibly faulty) answer is sent
};

// A small HTTP/1.1 server on the loopback interface serving fixture-shaped
// backend answers:
//   GET /api/anime/{id}/torrents?episode=N  -> the episode JSON, or 404
//   GET /api/torrents/{hash}/file           -> the .torrent (application/x-bittorrent)
// plus static folders and handlers added by the caller. Every request is
// recorded with its headers. One request per connection (answers close it).
class TestBackend : public QObject {
    Q_OBJECT
public:
    // nullopt: not handled here, try the next route.
    using Handler = std::function<std::optional<HttpResponse>(const HttpRequest &)>;

    explicit TestBackend(QObject *parent = nullptr);
    ~TestBackend() override;

    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const;
    QUrl baseUrl() const;

    // Loads a fixture file (any of the fixture forms) or every *.json of a
    // folder: its episodes are served with torrentUrl rewritten to this
    // server's /api/torrents/{hash}/file, and its .torrent files by hash.
    bool loadFixtures(const QString &path, QString *error = nullptr);
    void setEpisode(qint64 animeId, int episode, const QJsonObject &document);
    void setTorrent(const QString &infoHash, const QByteArray &bytes);
    void setTorrentFile(const QString &infoHash, const QString &path);
    QList<QPair<qint64, int>> episodeKeys() const;

    // Serves files below `dir` at `urlPrefix` (e.g. "/" for a demo site).
    void addStaticDir(const QString &urlPrefix, const QString &dir);
    // Handlers run in the order added, before the built-in routes.
    void addHandler(const Handler &handler);

    void setFault(const QString &pathPrefix, const HttpFault &fault);
    void clearFaults();

    QList<HttpRequest> requests() const { return m_requests; }
    QList<HttpRequest> requestsTo(const QString &pathPrefix) const;
    void clearRequests() { m_requests.clear(); }
    void setLogRequests(bool on) { m_logRequests = on; }

signals:
    void requestReceived(const svd::HttpRequest &request);

private:
    void onConnection();
    void onReadyRead(QTcpSocket *socket);
    void dispatch(QTcpSocket *socket, const HttpRequest &request);
    HttpResponse route(const HttpRequest &request) const;
    std::optional<HttpResponse> serveStatic(const HttpRequest &request) const;
    HttpFault faultFor(const QString &path) const;
    static void send(QTcpSocket *socket, const HttpResponse &response, HttpFault::Kind kind, bool headOnly);

    QTcpServer *m_server;
    QHash<QPair<qint64, int>, QJsonObject> m_episodes;
    QHash<QString, QByteArray> m_torrents;
    QHash<QString, QString> m_torrentFiles;
    QList<QPair<QString, QString>> m_static;
    QList<Handler> m_handlers;
    QHash<QString, HttpFault> m_faults;
    QList<HttpRequest> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    bool m_logRequests = false;
};

} // namespace svd
