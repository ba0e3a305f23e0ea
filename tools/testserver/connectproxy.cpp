#include "connectproxy.h"

#include <QPointer>
#include <QTcpSocket>

#include <memory>

ConnectProxy::ConnectProxy(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, &ConnectProxy::accept);
}

void ConnectProxy::accept()
{
    while (QTcpSocket *client = nextPendingConnection()) {
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        auto head = std::make_shared<QByteArray>();
        auto upstream = std::make_shared<QPointer<QTcpSocket>>();
        connect(client, &QTcpSocket::readyRead, this, [this, client, head, upstream] {
            if (*upstream) {
                (*upstream)->write(client->readAll());
                return;
            }
            head->append(client->readAll());
            const qsizetype end = head->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> line = head->left(head->indexOf("\r\n")).split(' ');
            const QByteArray rest = head->mid(end + 4);
            if (line.value(0) != "CONNECT") {
                client->write("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n");
                client->disconnectFromHost();
                return;
            }
            const QByteArray target = line.value(1);
            m_tunnels << QString::fromLatin1(target);
            const qsizetype colon = target.lastIndexOf(':');
            auto *server = new QTcpSocket(client);
            *upstream = server;
            connect(server, &QTcpSocket::connected, client, [client, server, rest] {
                client->write("HTTP/1.1 200 Connection established\r\n\r\n");
                if (!rest.isEmpty())
                    server->write(rest);
            });
            connect(server, &QTcpSocket::readyRead, client, [client, server] { client->write(server->readAll()); });
            connect(server, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
            server->connectToHost(forcedAddress.isEmpty() ? QString::fromLatin1(target.left(colon)) : forcedAddress,
                                  target.mid(colon + 1).toUShort());
        });
    }
}
