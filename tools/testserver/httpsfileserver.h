#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class TlsListener;
class QIODevice;
class QSslSocket;

// A small HTTPS server (on 127.0.0.1 unless told otherwise) that serves the files of one folder
// (GET only, one request per connection), with faults on demand per path.
// It runs in the thread that owns it, so a client waiting in a local event
// loop on the same thread is served too.
class HttpsFileServer : public QObject
{
    Q_OBJECT
public:
    struct Fault
    {
        int times = -1;                 // hit only the first this many requests (-1: every one)
        int status = 0;                 // answer this status with a short text body
        qint64 dropAfter = -1;          // close the connection after this many body bytes
        bool stall = false;             // accept the request, then never answer
        bool stallAfterHeaders = false; // send the headers, then nothing
        int trickleBytes = 0;           // send the body this many bytes at a time...
        int trickleIntervalMs = 0;      // ...with this pause between the pieces
        QString redirectTo;             // answer 302 with this Location
        bool ignoreRange = false;       // answer every request whole, with 200
        bool noValidators = false;      // send neither ETag nor Last-Modified
        bool noLength = false;          // send no Content-Length: the body ends at the close
        bool chunked = false;           // send the body in chunks (a cut leaves out the last one)
        bool ignoreIfRange = false;     // serve a Range whatever If-Range names
        bool gzip = false;              // send the file gzip-compressed (Content-Encoding: gzip)
        QByteArray contentType;         // instead of application/octet-stream
        QByteArray body;                // answer 200 with these bytes instead of the file

        // The usual faults, by name.
        static Fault answering(int code)
        {
            Fault f;
            f.status = code;
            return f;
        }
        static Fault droppedAfter(qint64 bytes)
        {
            Fault f;
            f.dropAfter = bytes;
            return f;
        }
        static Fault noAnswer()
        {
            Fault f;
            f.stall = true;
            return f;
        }
        static Fault silentAfterHeaders()
        {
            Fault f;
            f.stallAfterHeaders = true;
            return f;
        }
        static Fault redirect(const QString &location)
        {
            Fault f;
            f.redirectTo = location;
            return f;
        }
    };

    HttpsFileServer(QString root, const QString &certFile, const QString &keyFile, QObject *parent = nullptr);
    ~HttpsFileServer() override;

    bool listen(quint16 port = 0, const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    quint16 port() const;
    // "127.0.0.1:port" (the address listened on), the form the tool's host
    // variables take.
    QString host() const;

    void setFault(const QString &path, const Fault &fault);
    void clearFaults();
    // Every request target received (path and query), in order.
    QStringList requests() const { return m_requests; }
    // The header lines of every request, in the same order.
    QList<QByteArrayList> requestHeaders() const { return m_headers; }
    // The body bytes written for every request, in the same order.
    QList<qint64> bodyBytesSent() const { return *m_sent; }
    // Called with every request target as it arrives.
    std::function<void(const QString &target)> onRequest;
    void clearRequests()
    {
        m_requests.clear();
        m_headers.clear();
        m_sent->clear();
    }
    QString root() const { return m_root; }

private:
    void accept(QSslSocket *socket);
    void serve(QSslSocket *socket, const QByteArray &request);
    void streamFile(QSslSocket *socket, const QString &path, const QByteArrayList &headers, const Fault &fault);
    // The body after the head: at once as the socket takes it, or a piece at
    // each tick where the fault trickles it.
    void sendBody(QSslSocket *socket, const std::shared_ptr<QIODevice> &file, const Fault &fault);

    QString m_root;
    TlsListener *m_server = nullptr;
    QHash<QString, Fault> m_faults;
    QStringList m_requests;
    QList<QByteArrayList> m_headers;
    std::shared_ptr<QList<qint64>> m_sent = std::make_shared<QList<qint64>>();
};
