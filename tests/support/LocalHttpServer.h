#pragma once

// A tiny HTTP/1.0 server on 127.0.0.1 for tests: each path answers with a
// fixed status, headers and body, at once or trickling; every request's
// path is recorded.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace tarni::test {

class LocalHttpServer {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray location; // a redirect's target
    };

    LocalHttpServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(*socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path);
    }
    void serve(const QString &path, Response response)
    {
        m_routes.insert(path, std::move(response));
        m_intervals.remove(path);
    }
    void serve(const QString &path, const QByteArray &body) { serve(path, Response{200, body, {}}); }
    // The body goes out one byte per interval, like a stalling server's.
    void serveSlowly(const QString &path, const QByteArray &body, int intervalMs)
    {
        serve(path, body);
        m_intervals.insert(path, intervalMs);
    }
    const QStringList &requests() const { return m_requests; }

private:
    void answer(QTcpSocket &socket)
    {
        QByteArray &buffer = m_pending[&socket];
        buffer += socket.readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(buffer.split(' ').value(1));
        m_pending.remove(&socket);
        m_requests << path;
        const Response response = m_routes.value(path, Response{404, "not found", {}});
        QByteArray head = "HTTP/1.0 " + QByteArray::number(response.status) + " X\r\n";
        if (!response.location.isEmpty())
            head += "Location: " + response.location + "\r\n";
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n\r\n";
        const int interval = m_intervals.value(path);
        if (interval <= 0) {
            socket.write(head + response.body);
            socket.disconnectFromHost();
            return;
        }
        socket.write(head);
        auto *timer = new QTimer(&socket);
        QObject::connect(timer, &QTimer::timeout, &socket,
                         [&socket, timer, body = response.body, sent = qsizetype(0)]() mutable {
            if (sent < body.size())
                socket.write(body.mid(sent++, 1));
            if (sent == body.size()) {
                timer->stop();
                socket.disconnectFromHost();
            }
        });
        timer->start(interval);
    }

    QTcpServer m_server;
    QHash<QString, Response> m_routes;
    QHash<QString, int> m_intervals;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QStringList m_requests;
};

} // namespace tarni::test
