#include "net/transfercodes.h"

#include <curl/curl.h>

QString TransferCode::describe(int code)
{
    switch (code) {
    case Ok: return QStringLiteral("The transfer succeeded.");
    case ProxySignIn: return QStringLiteral("The proxy asked for a sign-in the updater could not give.");
    case TimedOut: return QStringLiteral("The server stopped answering (timed out).");
    case TooLarge: return QStringLiteral("The file on the server is larger than expected.");
    case LocalFile: return QStringLiteral("The file could not be written on this computer.");
    case Truncated: return QStringLiteral("The connection closed before the whole file arrived.");
    case BadUrl: return QStringLiteral("The address is not a valid https address.");
    case Interrupted: return QStringLiteral("The transfer was interrupted because the program is closing.");
    case RefusedRedirect:
        return QStringLiteral("The server redirected to an address that is not https; the redirect was refused.");
    case Certificate:
        return QStringLiteral("The secure connection failed: the server's certificate is not trusted or names "
                              "another host.");
    case NotARelease:
        return QStringLiteral("The server sent something that is not the published file (empty, a web page, or not "
                              "a program).");
    case BadSignature: return QStringLiteral("The file's signature is missing or was not made by the publisher's key.");
    case Unbounded:
        return QStringLiteral("The server ended the file by closing the connection without giving its length, so it "
                              "may be incomplete.");
    case DiskFull: return QStringLiteral("The file could not be written: there is not enough disk space.");
    case NotListed: return QStringLiteral("The file is not the one the publisher's release lists.");
    case BadManifest:
        return QStringLiteral("The release manifest is missing, malformed, or not signed by the publisher's key.");
    case OlderManifest:
        return QStringLiteral("The release manifest is older than one this installation has already accepted.");
    case ExpiredManifest: return QStringLiteral("The release manifest has expired.");
    case OtherVersion: return QStringLiteral("The release manifest names another version than version.txt.");
    case MirrorFile: return QStringLiteral("The mirror folder does not hold the file.");
    case MirrorUnreadable:
        return QStringLiteral("The mirror folder cannot be reached, or the file in it cannot be read.");
    default: break;
    }
    if (code >= 100 && code < 600)
        return QStringLiteral("The server answered with HTTP status %1.").arg(code);
    if (code > NetworkErrorBase && code < NetworkErrorBase + CURL_LAST) {
        const int curlCode = code - NetworkErrorBase;
        return QStringLiteral("The network transfer failed: %1 (network error %2).")
            .arg(QString::fromUtf8(curl_easy_strerror(static_cast<CURLcode>(curlCode))))
            .arg(curlCode);
    }
    return QStringLiteral("The transfer failed (code %1).").arg(code);
}
