#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QTcpServer>

#include <functional>

// A tiny HTTP/1.1 server on 127.0.0.1 whose every answer is decided by the test.
// One request per connection (Connection: close).
class LocalServer : public QTcpServer {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path; // with query
        QMap<QByteArray, QByteArray> headers; // names lower-cased
    };
    struct Response {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        qint64 contentLength = -1; // -1: the body's size; -2: no header (ends at close)
        qint64 dropAfter = -1;     // close the connection after this many body bytes
    };
    using Handler = std::function<Response(const Request &)>;

    explicit LocalServer(QObject *parent = nullptr);
    QUrl base() const;
    void setHandler(Handler handler) { handler_ = std::move(handler); }
    QList<Request> requests;

    // The installer bytes with Range support.
    static Response serveBytes(const Request &req, const QByteArray &bytes);

private:
    void onConnection();
    Handler handler_;
};
