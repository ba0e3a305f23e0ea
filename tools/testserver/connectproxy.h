#pragma once

#include <QStringList>
#include <QTcpServer>

// A minimal HTTP CONNECT proxy on 127.0.0.1 for tests: it tunnels each
// connection to the host the client names and records those names.
class ConnectProxy : public QTcpServer
{
    Q_OBJECT
public:
    explicit ConnectProxy(QObject *parent = nullptr);
    bool listenLocal() { return listen(QHostAddress::LocalHost, 0); }
    // "host:port" of every CONNECT request, in order.
    QStringList tunnels() const { return m_tunnels; }
    // When set, every tunnel goes to this address whatever host was named,
    // so tests can use host names that no resolver knows.
    QString forcedAddress;

private:
    void accept();
    QStringList m_tunnels;
};
