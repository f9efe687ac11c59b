#include "testhttp.h"

#include <QTcpSocket>

TestHttpServer::TestHttpServer(QByteArray html, QObject *parent) : QTcpServer(parent), m_html(std::move(html))
{
    connect(this, &QTcpServer::newConnection, this, &TestHttpServer::onConnection);
}

bool TestHttpServer::start(quint16 port)
{
    return listen(QHostAddress::LocalHost, port);
}

void TestHttpServer::onConnection()
{
    while (QTcpSocket *s = nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
            buffer->append(s->readAll());
            // One request per connection is enough for a page without sub-resources.
            if (!buffer->contains("\r\n\r\n"))
                return;
            const bool favicon = buffer->startsWith("GET /favicon");
            const QByteArray body = favicon ? QByteArray() : m_html;
            QByteArray head = favicon ? "HTTP/1.1 404 Not Found\r\n" : "HTTP/1.1 200 OK\r\n";
            head += "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n";
            head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
            s->write(head + body);
            s->disconnectFromHost();
        });
    }
}
