#include "net/releasecheck.h"

#include "net/transfercodes.h"

#include <QFile>

namespace {

bool isHtml(const QByteArray &contentType)
{
    const qsizetype parameters = contentType.indexOf(';');
    const QByteArray type = (parameters < 0 ? contentType : contentType.left(parameters)).trimmed().toLower();
    return type == "text/html" || type == "application/xhtml+xml";
}

bool hasExecutableHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
#ifdef Q_OS_WIN
    return head.startsWith("MZ");
#else
    return head
        == "\x7F"
           "ELF"
        || head.startsWith("#!");
#endif
}

} // namespace

QUrl signatureUrl(const QUrl &url)
{
    QUrl result = url;
    result.setPath(url.path() + QStringLiteral(".sig"));
    return result;
}

std::function<int(const QString &path, const QByteArray &contentType)>
releaseCheck(ReleaseKind kind, const std::optional<ReleaseFile> &listed)
{
    return [kind, listed](const QString &path, const QByteArray &contentType) {
        if (isHtml(contentType))
            return TransferCode::NotARelease;
        if (kind == ReleaseKind::Program && (QFile(path).size() == 0 || !hasExecutableHeader(path)))
            return TransferCode::NotARelease;
        if (listed && !matchesEntry(path, *listed))
            return TransferCode::NotListed;
        return TransferCode::Ok;
    };
}
