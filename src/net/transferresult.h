#pragma once

#include "common/failure.h"
#include "net/transfercodes.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

// What one transfer did and brought: the answer to the caller and the
// record the update log keeps.
struct TransferResult
{
    bool download = false; // DownloadToFile, else FetchText
    QUrl url;
    qint64 bytes = 0;        // body bytes the target holds, or the text's
    qint64 milliseconds = 0; // from the first request to the end
    int attempts = 0;
    int code = 0;    // 0, or the code of net/transfercodes.h
    QString reason;  // why it failed
    QString text;    // FetchText: the body, decoded in the system code page
    QByteArray body; // FetchText: the body as it came, for a reader with rules of its own
    QByteArray contentType;
    QUrl proxy; // the proxy it went through, with its account; empty: none

    bool ok() const { return code == 0; }
    // The failure as the actions' error traps word it: the code and the
    // reason ("The server answered 404 Not Found for https://..."), and
    // how the action ends on it: a refused release, a full disk, or a
    // failed transfer.
    Failure failure() const
    {
        if (code == TransferCode::ExpiredManifest)
            return {code, reason, OutcomeKind::Expired};
        if (TransferCode::isRefusal(code))
            return {code, reason, OutcomeKind::Refused};
        return {code, reason, code == TransferCode::DiskFull ? OutcomeKind::DiskFull : OutcomeKind::DownloadFailed};
    }
    // The text of a successful FetchText; throws failure() otherwise.
    QString textOrThrow() const;
    // The same, as the bytes that came.
    QByteArray bodyOrThrow() const;

    // "download https://... via proxy host:port: 1234 bytes in 56 ms:
    // done", or the failure; never the proxy's account.
    QString summary() const;
};
