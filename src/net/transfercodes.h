#pragma once

#include <QString>

// The status codes of DownloadToFile, and the failure numbers of FetchText.
// 0 is success; every other value is a failure:
//
//   100..599      the server answered with that HTTP status (anything but 2xx)
//   1000 + n      the transport failed with QNetworkReply::NetworkError n
//                 (1001 connection refused, 1003 host not found,
//                  1006 TLS handshake failed, 1004 timeout, ...)
//   2001          no byte arrived for the stall timeout, or the whole request
//                 outlasted its time limit
//   2002          the body is larger than the tool accepts (FetchText only)
//   2003          the local file could not be created or written
//   2004          the body ended before the length the server announced
//   2005          the URL is not a valid https URL
//   2006          the wait was cut short (the program is quitting); nothing
//                 is written
namespace TransferCode {
constexpr int Ok = 0;
constexpr int NetworkErrorBase = 1000;
constexpr int TimedOut = 2001;
constexpr int TooLarge = 2002;
constexpr int LocalFile = 2003;
constexpr int Truncated = 2004;
constexpr int BadUrl = 2005;
constexpr int Interrupted = 2006;

// A readable sentence for a code, for boxes and status lines.
QString describe(int code);
} // namespace TransferCode
