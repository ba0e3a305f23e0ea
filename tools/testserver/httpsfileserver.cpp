#include "httpsfileserver.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

// How far a fast transfer writes ahead of the socket.
constexpr qint64 kWriteAhead = qint64{512} * 1024;

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// The status line and headers; no Content-Length when length is negative
// (the body then ends when the connection closes).
QByteArray head(int status, qint64 length, const QByteArray &extra = {})
{
    const QByteArray size = length < 0 ? QByteArray() : "Content-Length: " + QByteArray::number(length) + "\r\n";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n" + size + "Connection: close\r\n"
        + extra + "\r\n";
}

// The bytes in the gzip format (RFC 1952), from the deflate stream that
// qCompress wraps in its own length and zlib's header and checksum.
QByteArray gzip(const QByteArray &data)
{
    const QByteArray zlib = qCompress(data, 9);
    const QByteArray deflated = zlib.mid(6, zlib.size() - 10);
    quint32 crc = 0xFFFFFFFFU;
    for (const char byte : data) {
        crc ^= static_cast<quint8>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    crc ^= 0xFFFFFFFFU;
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    out += deflated;
    const auto size = static_cast<quint32>(data.size());
    for (const quint32 word : {crc, size})
        for (int shift = 0; shift < 32; shift += 8)
            out += static_cast<char>((word >> shift) & 0xFFU);
    return out;
}

} // namespace

// Accepts TCP connections and starts the TLS handshake on each; a socket is
// handed on once it is encrypted.
class TlsListener : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    QSslConfiguration configuration;
    std::function<void(QSslSocket *)> onEncrypted;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(configuration);
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::encrypted, this, [this, socket] { onEncrypted(socket); });
        connect(socket, &QSslSocket::errorOccurred, socket, [socket] { socket->abort(); });
        socket->startServerEncryption();
    }
};

HttpsFileServer::HttpsFileServer(QString root, const QString &certFile, const QString &keyFile, QObject *parent)
    : QObject(parent), m_root(std::move(root)), m_server(new TlsListener(this))
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    const auto certs = QSslCertificate::fromPath(certFile);
    if (!certs.isEmpty())
        config.setLocalCertificate(certs.first());
    QFile key(keyFile);
    if (key.open(QIODevice::ReadOnly))
        config.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa));
    m_server->configuration = config;
    m_server->onEncrypted = [this](QSslSocket *socket) { accept(socket); };
}

HttpsFileServer::~HttpsFileServer() = default;

bool HttpsFileServer::listen(quint16 port, const QHostAddress &address)
{
    return m_server->listen(address, port);
}

quint16 HttpsFileServer::port() const
{
    return m_server->serverPort();
}

QString HttpsFileServer::host() const
{
    const QHostAddress address = m_server->serverAddress();
    const QString name = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    return QStringLiteral("%1:%2").arg(name).arg(port());
}

void HttpsFileServer::setFault(const QString &path, const Fault &fault)
{
    m_faults.insert(path, fault);
}

void HttpsFileServer::clearFaults()
{
    m_faults.clear();
}

void HttpsFileServer::accept(QSslSocket *socket)
{
    struct Request
    {
        QByteArray bytes;
        bool answered = false;
    };
    auto request = std::make_shared<Request>();
    auto readRequest = [this, socket, request] {
        if (request->answered)
            return;
        request->bytes.append(socket->readAll());
        if (!request->bytes.contains("\r\n\r\n"))
            return;
        request->answered = true;
        serve(socket, request->bytes.left(request->bytes.indexOf("\r\n\r\n")));
    };
    connect(socket, &QSslSocket::readyRead, this, readRequest);
    if (socket->bytesAvailable() > 0)
        readRequest();
}

namespace {

// The value of a header, matched without regard to case; empty when absent.
QByteArray headerValue(const QByteArrayList &headers, const QByteArray &name)
{
    for (const QByteArray &line : headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// A validator that changes whenever the content does.
QByteArray entityTag(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return '"' + hash.result().toHex() + '"';
}

} // namespace

void HttpsFileServer::serve(QSslSocket *socket, const QByteArray &request)
{
    QByteArrayList headers = request.split('\n');
    for (QByteArray &line : headers)
        line = line.trimmed();
    const QByteArray target = headers.value(0).split(' ').value(1);
    headers.removeFirst();
    m_requests << QString::fromLatin1(target);
    if (onRequest)
        onRequest(m_requests.last());
    m_headers << headers;
    m_sent->append(0);
    const QString path
        = QUrl::fromPercentEncoding(target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?')));
    Fault fault = m_faults.value(path);
    if (fault.times == 0) {
        fault = Fault();
    } else if (fault.times > 0) {
        Fault left = m_faults.value(path);
        --left.times;
        m_faults.insert(path, left);
    }
    if (fault.stall)
        return;
    if (fault.status != 0) {
        const QByteArray body = "error " + QByteArray::number(fault.status) + "\n";
        socket->write(head(fault.status, body.size()) + body);
        socket->disconnectFromHost();
        return;
    }
    if (!fault.redirectTo.isEmpty()) {
        socket->write(head(302, 0, "Location: " + fault.redirectTo.toUtf8() + "\r\n"));
        socket->disconnectFromHost();
        return;
    }
    if (!fault.body.isNull()) {
        const QByteArray type
            = fault.contentType.isEmpty() ? QByteArray("application/octet-stream") : fault.contentType;
        socket->write(head(200, fault.body.size(), "Content-Type: " + type + "\r\n") + fault.body);
        m_sent->last() = fault.body.size();
        socket->disconnectFromHost();
        return;
    }
    const QString cleaned = QDir::cleanPath(QLatin1Char('/') + path);
    const QString file = m_root + cleaned;
    if (cleaned.contains(QLatin1String("/../")) || !QFileInfo(file).isFile()) {
        const QByteArray body = "not found\n";
        socket->write(head(404, body.size()) + body);
        socket->disconnectFromHost();
        return;
    }
    streamFile(socket, file, headers, fault);
}

namespace {

// The body as it is served: the file's bytes, packed with gzip where the
// fault asks for it; null where the file cannot be opened.
std::shared_ptr<QIODevice> servedBody(const QString &path, const HttpsFileServer::Fault &fault)
{
    auto disk = std::make_unique<QFile>(path);
    if (!disk->open(QIODevice::ReadOnly))
        return nullptr;
    std::shared_ptr<QIODevice> file = std::move(disk);
    if (fault.gzip) {
        auto packed = std::make_shared<QBuffer>();
        packed->setData(gzip(file->readAll()));
        packed->open(QIODevice::ReadOnly);
        file = packed;
    }
    return file;
}

// The file's time of change as a Last-Modified header writes it.
QByteArray lastModified(const QString &path)
{
    return QLocale::c()
        .toString(QFileInfo(path).lastModified().toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

// The headers that describe the body: its type, its validators unless the
// fault leaves them out, how it is packed and how it is sent.
QByteArray bodyHeaders(const HttpsFileServer::Fault &fault, const QByteArray &etag, const QByteArray &modified)
{
    QByteArray extra = "Accept-Ranges: bytes\r\nContent-Type: "
        + (fault.contentType.isEmpty() ? QByteArray("application/octet-stream") : fault.contentType) + "\r\n";
    if (!fault.noValidators)
        extra += "ETag: " + etag + "\r\nLast-Modified: " + modified + "\r\n";
    if (fault.gzip)
        extra += "Content-Encoding: gzip\r\n";
    if (fault.chunked)
        extra += "Transfer-Encoding: chunked\r\n";
    return extra;
}

// Writes the next piece of `file` (at most `piece` bytes, none past
// `limit` in all where it is not negative) to the socket, and the bytes
// sent so far to record[recordIndex]; returns false once everything (or
// the limit) is out.
std::shared_ptr<std::function<bool()>> pumpFor(const QPointer<QSslSocket> &guard,
                                               const std::shared_ptr<QIODevice> &file, qint64 limit, qint64 piece,
                                               const std::shared_ptr<QList<qint64>> &record, qsizetype recordIndex,
                                               bool chunked)
{
    auto sent = std::make_shared<qint64>(0);
    auto pump = std::make_shared<std::function<bool()>>();
    *pump = [guard, file, sent, limit, piece, record, recordIndex, chunked]() {
        if (!guard)
            return false;
        qint64 want = piece;
        if (limit >= 0)
            want = qMin(want, limit - *sent);
        const QByteArray data = want > 0 ? file->read(want) : QByteArray();
        if (data.isEmpty()) {
            // A chunked body that was not cut ends with its last chunk.
            if (chunked && want > 0)
                guard->write("0\r\n\r\n");
            guard->disconnectFromHost();
            return false;
        }
        *sent += data.size();
        if (recordIndex < record->size())
            (*record)[recordIndex] = *sent;
        if (chunked)
            guard->write(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n");
        else
            guard->write(data);
        return true;
    };
    return pump;
}

} // namespace

void HttpsFileServer::streamFile(QSslSocket *socket, const QString &path, const QByteArrayList &headers,
                                 const Fault &fault)
{
    const std::shared_ptr<QIODevice> file = servedBody(path, fault);
    if (!file) {
        socket->write(head(403, 0));
        socket->disconnectFromHost();
        return;
    }
    const qint64 size = file->size();
    const QByteArray etag = entityTag(path);
    const QByteArray modified = lastModified(path);
    QByteArray extra = bodyHeaders(fault, etag, modified);

    // A range is served when the validator it comes with still holds.
    qint64 from = 0;
    const QByteArray range = headerValue(headers, "range");
    const QByteArray ifRange = headerValue(headers, "if-range");
    const bool validatorHolds = fault.ignoreIfRange || ifRange.isEmpty() || ifRange == etag || ifRange == modified;
    if (!fault.ignoreRange && range.startsWith("bytes=") && range.endsWith('-') && validatorHolds) {
        from = range.mid(6, range.size() - 7).toLongLong();
        if (from >= size) {
            socket->write(head(416, 0, "Content-Range: bytes */" + QByteArray::number(size) + "\r\n"));
            socket->disconnectFromHost();
            return;
        }
        file->seek(from);
        extra += "Content-Range: bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/'
            + QByteArray::number(size) + "\r\n";
    }
    socket->write(head(from > 0 ? 206 : 200, fault.noLength || fault.chunked ? -1 : size - from, extra));
    if (fault.stallAfterHeaders)
        return;
    sendBody(socket, file, fault);
}

void HttpsFileServer::sendBody(QSslSocket *socket, const std::shared_ptr<QIODevice> &file, const Fault &fault)
{
    const qint64 piece = fault.trickleBytes > 0 ? fault.trickleBytes : 256 * 1024;
    const QPointer<QSslSocket> guard(socket);
    const std::shared_ptr<std::function<bool()>> pump
        = pumpFor(guard, file, fault.dropAfter, piece, m_sent, m_sent->size() - 1, fault.chunked);
    if (fault.trickleBytes > 0) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [timer, pump] {
            if (!(*pump)())
                timer->stop();
        });
        timer->start(fault.trickleIntervalMs);
        return;
    }
    connect(socket, &QSslSocket::encryptedBytesWritten, socket, [guard, pump] {
        if (guard && guard->encryptedBytesToWrite() < kWriteAhead && guard->bytesToWrite() < kWriteAhead)
            (*pump)();
    });
    (*pump)();
}
