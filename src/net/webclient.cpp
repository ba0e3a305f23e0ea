#include "net/webclient.h"

#include "common/failure.h"
#include "common/textrules.h"
#include "net/transfercodes.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>

#include <memory>

namespace {

constexpr qint64 kReadBufferBytes = qint64{1024} * 1024;
// What one read from the reply moves to the file at most.
constexpr qint64 kPieceBytes = qint64{256} * 1024;

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const
    {
        reply->disconnect();
        if (reply->isRunning())
            reply->abort();
        delete reply;
    }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, ReplyDeleter>;

int httpStatus(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isSuccessStatus(int status)
{
    return status >= 200 && status < 300;
}

// Why a finished reply failed, as a code and a sentence; code 0 when it did
// not. `forced` is the code of a failure the client itself aborted for.
Failure outcome(QNetworkReply *reply, int forced, const QString &sslText, qint64 received)
{
    const QString url = reply->url().toDisplayString();
    if (forced != TransferCode::Ok)
        return {forced, TransferCode::describe(forced) + QStringLiteral(" (") + url + QLatin1Char(')')};
    const int status = httpStatus(reply);
    const bool refusedRedirect = reply->error() == QNetworkReply::InsecureRedirectError
        || reply->error() == QNetworkReply::TooManyRedirectsError;
    if (status != 0 && !isSuccessStatus(status) && !refusedRedirect) {
        const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return {status, QStringLiteral("The server answered %1 %2 for %3").arg(status).arg(reason, url).trimmed()};
    }
    if (reply->error() != QNetworkReply::NoError) {
        QString text = reply->errorString();
        if (!sslText.isEmpty())
            text += QStringLiteral(" (") + sslText + QLatin1Char(')');
        return {TransferCode::NetworkErrorBase + int(reply->error()), text};
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != received)
        return {TransferCode::Truncated,
                TransferCode::describe(TransferCode::Truncated) + QStringLiteral(" (") + url + QLatin1Char(')')};
    return {TransferCode::Ok, QString()};
}

} // namespace

TransferOptions TransferOptions::fromEnvironment()
{
    TransferOptions options;
    options.caFile = qEnvironmentVariable("UPDATER_CA_FILE");
    return options;
}

WebClient::WebClient(TransferOptions options) : m_options(std::move(options))
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_manager.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

WebClient::~WebClient() = default;

QNetworkReply *WebClient::start(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(0); // the callers keep their own clocks
    // The body is taken as the server holds it, so its length can be checked
    // against the announced one.
    request.setRawHeader("Accept-Encoding", "identity");
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_options.caFile.isEmpty())
        ssl.addCaCertificates(m_options.caFile);
    request.setSslConfiguration(ssl);
    QNetworkReply *reply = m_manager.get(request);
    reply->setReadBufferSize(kReadBufferBytes);
    return reply;
}

QString WebClient::fetchText(const QUrl &url)
{
    if (!url.isValid() || url.scheme() != QLatin1String("https"))
        throw Failure{TransferCode::BadUrl, TransferCode::describe(TransferCode::BadUrl)};

    ReplyPtr reply(start(url));
    QEventLoop loop;
    QByteArray body;
    int forced = TransferCode::Ok;
    QString sslText;
    auto stop = [&](int code) {
        if (forced == TransferCode::Ok)
            forced = code;
        reply->abort();
    };

    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] { stop(TransferCode::TimedOut); });
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > m_options.maxTextBytes)
            stop(TransferCode::TooLarge);
    });
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        const QByteArray chunk = reply->readAll();
        if (!isSuccessStatus(httpStatus(reply.get())))
            return; // an error page is not the file
        if (body.size() + chunk.size() > m_options.maxTextBytes) {
            stop(TransferCode::TooLarge);
            return;
        }
        body += chunk;
    });
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors)
            texts << error.errorString();
        sslText = texts.join(QStringLiteral("; "));
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);

    deadline.start(m_options.requestTimeoutMs);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    deadline.stop();
    // The loop also ends when the program quits: that is no answer.
    if (!reply->isFinished())
        stop(TransferCode::Interrupted);
    if (forced == TransferCode::Ok && reply->bytesAvailable() > 0 && isSuccessStatus(httpStatus(reply.get()))) {
        const QByteArray rest = reply->readAll();
        if (body.size() + rest.size() > m_options.maxTextBytes)
            forced = TransferCode::TooLarge;
        else
            body += rest;
    }

    const Failure failure = outcome(reply.get(), forced, sslText, body.size());
    if (failure.number != TransferCode::Ok)
        throw failure;
    return TextRules::decode(body);
}

int WebClient::downloadToFile(const QUrl &url, const QString &localPath)
{
    if (!url.isValid() || url.scheme() != QLatin1String("https"))
        return TransferCode::BadUrl;

    QSaveFile file(localPath);
    if (!file.open(QIODevice::WriteOnly))
        return TransferCode::LocalFile;

    ReplyPtr reply(start(url));
    QEventLoop loop;
    int forced = TransferCode::Ok;
    qint64 received = 0;
    auto stop = [&](int code) {
        if (forced == TransferCode::Ok)
            forced = code;
        reply->abort();
    };

    // No byte for the stall time ends the transfer. Arrivals only note the
    // time; a coarse timer compares, so a fast transfer does not restart a
    // timer for every piece.
    QElapsedTimer sinceLastByte;
    sinceLastByte.start();
    QTimer stall;
    stall.setTimerType(Qt::CoarseTimer);
    QObject::connect(&stall, &QTimer::timeout, &loop, [&] {
        if (sinceLastByte.hasExpired(m_options.stallTimeoutMs))
            stop(TransferCode::TimedOut);
    });
    QByteArray buffer(kPieceBytes, Qt::Uninitialized);
    auto drain = [&] {
        const bool wanted = isSuccessStatus(httpStatus(reply.get()));
        while (reply->bytesAvailable() > 0 && forced == TransferCode::Ok) {
            const qint64 got = reply->read(buffer.data(), buffer.size());
            if (got <= 0)
                break;
            if (!wanted)
                continue; // an error page is not the file
            if (file.write(buffer.constData(), got) != got) {
                stop(TransferCode::LocalFile);
                return;
            }
            received += got;
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        sinceLastByte.restart();
        drain();
    });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);

    stall.start(qBound(10, m_options.stallTimeoutMs / 10, 1000));
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    stall.stop();
    // The loop also ends when the program quits: that is no complete file.
    if (!reply->isFinished())
        stop(TransferCode::Interrupted);
    if (forced == TransferCode::Ok)
        drain();

    const Failure failure = outcome(reply.get(), forced, QString(), received);
    if (failure.number != TransferCode::Ok) {
        file.cancelWriting();
        return failure.number;
    }
    if (!file.commit())
        return TransferCode::LocalFile;
    return TransferCode::Ok;
}
