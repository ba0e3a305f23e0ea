#include "net/transfercodes.h"

QString TransferCode::describe(int code)
{
    switch (code) {
    case Ok: return QStringLiteral("The transfer succeeded.");
    case TimedOut: return QStringLiteral("The server stopped answering (timed out).");
    case TooLarge: return QStringLiteral("The file on the server is larger than expected.");
    case LocalFile: return QStringLiteral("The file could not be written on this computer.");
    case Truncated: return QStringLiteral("The connection closed before the whole file arrived.");
    case BadUrl: return QStringLiteral("The address is not a valid https address.");
    case Interrupted: return QStringLiteral("The transfer was interrupted because the program is closing.");
    default: break;
    }
    if (code >= 100 && code < 600)
        return QStringLiteral("The server answered with HTTP status %1.").arg(code);
    if (code > NetworkErrorBase)
        return QStringLiteral("The network transfer failed (network error %1).").arg(code - NetworkErrorBase);
    return QStringLiteral("The transfer failed (code %1).").arg(code);
}
