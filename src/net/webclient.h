#pragma once

#include "net/proxychoice.h"
#include "net/transferresult.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QIODevice;

// The largest bodies a download accepts, by what it brings.
inline constexpr qint64 kDocumentBytes = qint64{512} * 1024 * 1024; // a report, the script
inline constexpr qint64 kExecutableBytes = qint64{4} * 1024 * 1024 * 1024;

// Limits and trust of the web transfers. Tests pass short times.
struct TransferOptions
{
    int requestTimeoutMs = 60'000; // FetchText: the whole request
    // DownloadToFile: a transfer that brings less than stallBytesPerSecond
    // over stallTimeoutMs has stalled.
    int stallTimeoutMs = 60'000;
    qint64 stallBytesPerSecond = 1024;
    qint64 maxTextBytes = qint64{16} * 1024 * 1024;
    qint64 maxBytesPerSecond = 0; // the rate limit of every transfer; 0 for none
    // DownloadToFile tries a dropped connection or a 5xx answer again after
    // each of these pauses, plus a random part of up to retryJitterMs.
    QList<int> retryPausesMs{1'000, 2'000, 4'000};
    int retryJitterMs = 500;
    QString caFile; // extra trusted authorities (PEM), added to the system's
    ProxyChoice proxy;
    // How a copy from a mirror folder reads the open file: at most `most`
    // bytes, none at its end or on an error (then the file's error()
    // says). Unset: QIODevice::read. Tests put in a read that hangs, as one
    // from a share that stopped answering does.
    std::function<QByteArray(QIODevice &file, qint64 most)> folderRead;

    // Defaults, with the extra authorities of UPDATER_CA_FILE and the proxy
    // of UPDATER_PROXY and no_proxy.
    static TransferOptions fromEnvironment();
};

// What one download asks beyond the client's options.
struct DownloadOptions
{
    qint64 maxBytes = kDocumentBytes;
    // The size the release manifest lists for the file, or -1. A body that
    // would make the file longer, or announces another length, is cut off
    // at once (TransferCode::NotListed) and nothing of it is kept.
    qint64 exactBytes = -1;
    // The bytes of an interrupted download stay in partialPath(localPath),
    // and the next call asks only for the rest.
    bool keepPartial = false;
    // Called on the caller's thread as bytes arrive: the bytes of the file
    // so far and its whole size, -1 while the size is not known.
    std::function<void(qint64 received, qint64 total)> progress;
    // Looks at the complete body (in `path`, with the Content-Type the
    // server gave) before it replaces the target: a non-zero code of
    // net/transfercodes.h refuses it, and the download fails with that code.
    std::function<int(const QString &path, const QByteArray &contentType)> check;
};

class CurlSession;

// The two web transfers, over libcurl. Both are synchronous to their
// caller: the transfer runs on a thread of its own while the caller waits
// in a local event loop, so the window keeps repainting, but user input
// stays queued until the action next processes pending events. Only https
// is spoken; certificates are always verified; redirects are followed but
// never to anything but https; the proxy is the ProxyChoice's (by default
// the system's), signed in to with the account in its address or else the
// signed-in one.
class WebClient
{
public:
    explicit WebClient(TransferOptions options = TransferOptions::fromEnvironment());
    ~WebClient();
    WebClient(const WebClient &) = delete;
    WebClient &operator=(const WebClient &) = delete;

    // The whole body of a small text file, decoded in the system code page,
    // in the result's `text`; or the failure, with a code of
    // net/transfercodes.h.
    TransferResult fetchText(const QUrl &url);

    // Copies the body to localPath, or fails with a code of
    // net/transfercodes.h. The body is written to partialPath(localPath)
    // and replaces the target only when it is complete: a failed transfer
    // leaves an existing file untouched. A dropped connection or a 5xx
    // answer is tried again (TransferOptions::retryPausesMs), each time
    // asking only for the bytes still missing.
    TransferResult downloadToFile(const QUrl &url, const QString &localPath, const DownloadOptions &options = {});

    // The rate limit of the transfers from now on, in bytes per second; 0
    // for none.
    void setMaxBytesPerSecond(qint64 bytesPerSecond);

    // The proxy of the transfers from now on.
    void setProxy(ProxyChoice proxy);
    const ProxyChoice &proxy() const;

    // The limits the transfers keep, which a copy from a mirror folder
    // keeps too.
    const TransferOptions &options() const { return m_options; }

    // Called once at the end of every transfer, on the caller's thread.
    void setObserver(std::function<void(const TransferResult &)> observer);

    // The transfer library and what it can sign in to a proxy with, as
    // libcurl reports it at run time: "libcurl 7.88.1 (Schannel); proxy
    // sign-in: Basic Digest NTLM SPNEGO Kerberos SSPI".
    static QString libraryText();

    // Where the bytes of a download to localPath wait until it is complete.
    static QString partialPath(const QString &localPath);

    // Hands the observer a transfer made without the web (a copy from a
    // mirror folder).
    void report(const TransferResult &result) const;

private:
    int download(const QUrl &url, const QString &localPath, const DownloadOptions &options, TransferResult &result);

    TransferOptions m_options;
    std::unique_ptr<CurlSession> m_session;
    std::function<void(const TransferResult &)> m_observer;
};
