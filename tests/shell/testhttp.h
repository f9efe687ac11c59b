#pragma once

#include <QByteArray>
#include <QTcpServer>

// A loopback HTTP server answering every GET with the same HTML page.
class TestHttpServer : public QTcpServer {
    Q_OBJECT
public:
    explicit TestHttpServer(QByteArray html, QObject *parent = nullptr);
    bool start(quint16 port = 0);
    quint16 port() const { return serverPort(); }

private:
    void onConnection();
    QByteArray m_html;
};
