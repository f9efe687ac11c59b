#include "localserver.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>

#include <memory>

LocalServer::LocalServer(QObject *parent) : QTcpServer(parent)
{
    listen(QHostAddress::LocalHost, 0);
    connect(this, &QTcpServer::newConnection, this, &LocalServer::onConnection);
}

QUrl LocalServer::base() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(serverPort()));
}

LocalServer::Response LocalServer::serveBytes(const Request &req, const QByteArray &bytes)
{
    Response r;
    static const QRegularExpression re(QStringLiteral("^bytes=(\\d+)-$"));
    const QRegularExpressionMatch m = re.match(QString::fromLatin1(req.headers.value("range")));
    if (!m.hasMatch()) {
        r.body = bytes;
        return r;
    }
    const qint64 from = m.captured(1).toLongLong();
    if (from >= bytes.size()) {
        r.status = 416;
        return r;
    }
    r.status = 206;
    r.body = bytes.mid(from);
    r.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-' +
                                           QByteArray::number(bytes.size() - 1) + '/' +
                                           QByteArray::number(bytes.size())});
    return r;
}

void LocalServer::onConnection()
{
    while (QTcpSocket *s = nextPendingConnection()) {
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        auto pending = std::make_shared<QByteArray>();
        connect(s, &QTcpSocket::readyRead, this, [this, s, pending] {
            QByteArray &buf = *pending;
            buf += s->readAll();
            const qsizetype end = buf.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            Request req;
            const QList<QByteArray> lines = buf.left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            req.method = first.value(0);
            req.path = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    req.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
            }
            buf.clear();
            requests.append(req);
            const Response r = handler_ ? handler_(req) : Response{404, {}, {}, -1, -1};
            QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + " X\r\n";
            for (const auto &h : r.headers)
                out += h.first + ": " + h.second + "\r\n";
            if (r.contentLength != -2)
                out += "Content-Length: " +
                       QByteArray::number(r.contentLength >= 0 ? r.contentLength : r.body.size()) + "\r\n";
            out += "Connection: close\r\n\r\n";
            out += r.dropAfter >= 0 ? r.body.left(r.dropAfter) : r.body;
            s->write(out);
            s->disconnectFromHost();
        });
    }
}
