#pragma once

#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

class QNetworkReply;

// Limits and trust of the web transfers. Tests pass short timeouts.
struct TransferOptions
{
    int requestTimeoutMs = 60'000; // FetchText: the whole request
    int stallTimeoutMs = 60'000;   // DownloadToFile: no byte for this long
    qint64 maxTextBytes = qint64{16} * 1024 * 1024;
    QString caFile; // extra trusted authorities (PEM), optional

    // Defaults, with the extra authorities of UPDATER_CA_FILE.
    static TransferOptions fromEnvironment();
};

// The two web transfers. Both are synchronous to their caller: while one
// waits, the window keeps repainting, but user input stays queued until the
// action next processes pending events. Certificates are always verified,
// redirects are followed but never from https to http, and the system's
// proxy settings apply.
class WebClient
{
public:
    explicit WebClient(TransferOptions options = TransferOptions::fromEnvironment());
    ~WebClient();
    WebClient(const WebClient &) = delete;
    WebClient &operator=(const WebClient &) = delete;

    // The whole body of a small text file, decoded in the system code page.
    // Throws Failure with a code of net/transfercodes.h.
    QString fetchText(const QUrl &url);

    // Copies the body to localPath and returns 0, or returns a non-zero code
    // of net/transfercodes.h. The body is streamed into a temporary file
    // beside the target, which replaces the target only when the transfer
    // is complete: a failed transfer leaves an existing file untouched.
    int downloadToFile(const QUrl &url, const QString &localPath);

private:
    QNetworkReply *start(const QUrl &url);

    TransferOptions m_options;
    QNetworkAccessManager m_manager;
};
