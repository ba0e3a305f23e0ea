#include "net/transferresult.h"

#include "net/proxychoice.h"

QString TransferResult::textOrThrow() const
{
    if (!ok())
        throw failure();
    return text;
}

QByteArray TransferResult::bodyOrThrow() const
{
    if (!ok())
        throw failure();
    return body;
}

QString TransferResult::summary() const
{
    const QString via = proxy.isEmpty() ? QString() : QStringLiteral(" via proxy ") + ProxyChoice::displayName(proxy);
    const QString what = (download ? QStringLiteral("download ") : QStringLiteral("fetch ")) + url.toDisplayString()
        + via + QStringLiteral(": %1 bytes in %2 ms").arg(bytes).arg(milliseconds);
    const QString tries = attempts > 1 ? QStringLiteral(", %1 attempts").arg(attempts) : QString();
    if (ok())
        return what + tries + QStringLiteral(": done");
    return what + tries + QStringLiteral(": failed with code %1: %2").arg(code).arg(reason);
}
