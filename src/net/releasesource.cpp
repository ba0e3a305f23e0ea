#include "net/releasesource.h"

#include "common/diskspace.h"
#include "common/fileops.h"
#include "common/textencoding.h"
#include "net/endpoints.h"
#include "net/webclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {

const QString kUpdates = QStringLiteral("updates/");
constexpr qint64 kCopyChunk = qint64{1} << 20;

// Opens a plain file of a mirror folder for reading, or says why not (a
// pipe or a device is never waited on or read: it could block or never
// end).
int openMirrorFile(QFile &file, const QString &path, QString &reason)
{
    file.setFileName(path); // for the messages
    const FileOps::ReadOpen opened = FileOps::openForReading(file, path);
    if (opened == FileOps::ReadOpen::Opened)
        return 0;
    const QFileInfo info(path);
    if (opened == FileOps::ReadOpen::Missing && !info.dir().exists()) {
        reason = QStringLiteral("the mirror folder %1 cannot be reached").arg(QDir::toNativeSeparators(info.path()));
        return TransferCode::MirrorUnreadable;
    }
    if (opened == FileOps::ReadOpen::Missing) {
        reason = QStringLiteral("%1 is not in the mirror").arg(QDir::toNativeSeparators(path));
        return TransferCode::MirrorFile;
    }
    reason = QStringLiteral("%1 cannot be read: %2")
                 .arg(QDir::toNativeSeparators(path),
                      opened == FileOps::ReadOpen::NotPlain ? QStringLiteral("not a plain file")
                                                            : QStringLiteral("it cannot be opened"));
    return TransferCode::MirrorUnreadable;
}

// A copy from a folder, told as the transfers are.
TransferResult folderResult(const QString &path, bool download)
{
    TransferResult result;
    result.download = download;
    result.url = QUrl::fromLocalFile(path);
    result.attempts = 1;
    return result;
}

TransferResult failed(TransferResult result, int code, const QString &reason)
{
    result.code = code;
    result.reason = reason;
    return result;
}

// Copies `from` to `temporary` within the options' bounds; 0 or a code.
int copyBounded(QFile &from, const QString &temporary, const DownloadOptions &options, TransferResult &result)
{
    QFile to;
    if (!FileOps::openForWriting(to, temporary, QIODevice::WriteOnly | QIODevice::Truncate)) {
        result.reason = QDir::toNativeSeparators(temporary) + QStringLiteral(" cannot be written.");
        return TransferCode::LocalFile;
    }
    const qint64 size = from.size();
    const qint64 total = options.exactBytes >= 0 ? options.exactBytes : size;
    if (size > options.maxBytes)
        return TransferCode::TooLarge;
    if (options.exactBytes >= 0 && size != options.exactBytes) {
        result.reason = QStringLiteral("%1 holds %2 bytes where the release lists %3.")
                            .arg(QDir::toNativeSeparators(from.fileName()))
                            .arg(size)
                            .arg(options.exactBytes);
        return TransferCode::NotListed;
    }
    QByteArray chunk;
    while (!(chunk = from.read(kCopyChunk)).isEmpty()) {
        if (result.bytes + chunk.size() > total)
            return TransferCode::NotListed; // grew while it was read
        if (to.write(chunk) != chunk.size()) {
            const bool full = DiskSpace::lacksSpaceFor(temporary, chunk.size());
            result.reason = QDir::toNativeSeparators(temporary) + QStringLiteral(" cannot be written.");
            return full ? TransferCode::DiskFull : TransferCode::LocalFile;
        }
        result.bytes += chunk.size();
        if (options.progress)
            options.progress(result.bytes, total);
    }
    if (from.error() != QFileDevice::NoError || result.bytes != size) {
        result.reason = QDir::toNativeSeparators(from.fileName()) + QStringLiteral(" could not be read to its end.");
        return TransferCode::MirrorUnreadable;
    }
    if (!to.flush()) {
        result.reason = QDir::toNativeSeparators(temporary) + QStringLiteral(" cannot be written.");
        return TransferCode::LocalFile;
    }
    return 0;
}

} // namespace

ReleaseSource ReleaseSource::publisher(const Endpoints &endpoints)
{
    return {QStringLiteral("https://") + endpoints.updateHost() + u'/' + kUpdates, false, false};
}

std::optional<ReleaseSource> ReleaseSource::mirror(const QString &address)
{
    QString base = address.trimmed();
    if (base.isEmpty())
        return std::nullopt;
    const bool web = base.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)
        || base.startsWith(QLatin1String("http://"), Qt::CaseInsensitive);
    if (!web)
        base = QDir::fromNativeSeparators(base);
    if (!base.endsWith(u'/'))
        base += u'/';
    // An http address is kept as it is given: the transfer refuses it.
    return ReleaseSource(base + kUpdates, true, !web);
}

ReleaseSource ReleaseSource::local(const QString &folder, const QString &name)
{
    const QString base = QDir::fromNativeSeparators(folder);
    ReleaseSource source(base.endsWith(u'/') ? base : base + u'/', true, true, name);
    source.m_patchesOnly = true;
    return source;
}

QString ReleaseSource::name() const
{
    if (!m_name.isEmpty())
        return m_name;
    if (!m_mirror)
        return QStringLiteral("the publisher");
    const QString root = m_base.left(m_base.size() - kUpdates.size() - 1);
    return QStringLiteral("the mirror ") + (m_folder ? QDir::toNativeSeparators(root) : root);
}

TransferResult ReleaseSource::fetchText(WebClient &web, const QString &file, const QString &stamp) const
{
    if (!m_folder) {
        QUrl url(m_base + file);
        if (!stamp.isEmpty())
            url.setQuery(QStringLiteral("t=") + QString::fromLatin1(QUrl::toPercentEncoding(stamp)));
        return web.fetchText(url);
    }
    const QString path = m_base + file;
    TransferResult result = folderResult(path, false);
    QFile input;
    QString reason;
    const qint64 limit = TransferOptions().maxTextBytes;
    if (const int code = openMirrorFile(input, path, reason); code != 0) {
        result = failed(result, code, reason);
    } else {
        // Read to the limit whatever size the file claims.
        result.body = input.read(limit + 1);
        if (result.body.size() > limit) {
            result = failed(result, TransferCode::TooLarge, TransferCode::describe(TransferCode::TooLarge));
            result.body.clear();
        } else {
            result.bytes = result.body.size();
            result.text = TextRules::decode(result.body);
        }
    }
    web.report(result);
    return result;
}

TransferResult ReleaseSource::download(WebClient &web, const QString &file, const QString &localPath,
                                       const DownloadOptions &options) const
{
    if (!m_folder && !m_mirror)
        return web.downloadToFile(QUrl(m_base + file), localPath, options);
    if (!m_folder) {
        const QString mirrored = localPath + QStringLiteral(".mirror");
        DownloadOptions own = options;
        own.keepPartial = false;
        TransferResult result = web.downloadToFile(QUrl(m_base + file), mirrored, own);
        if (result.ok() && !FileOps::replace(mirrored, localPath)) {
            result.code = TransferCode::LocalFile;
            result.reason = QDir::toNativeSeparators(localPath) + QStringLiteral(" cannot be put in place.");
        }
        QFile::remove(mirrored);
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    const QString path = m_base + file;
    TransferResult result = folderResult(path, true);
    // Beside the target, not its part file: an interrupted download from
    // the publisher stays for the next attempt.
    const QString temporary = localPath + QStringLiteral(".copy");
    QFile input;
    int code = openMirrorFile(input, path, result.reason);
    if (code == 0)
        code = copyBounded(input, temporary, options, result);
    if (code == 0 && options.check)
        code = options.check(temporary, QByteArray());
    if (code == 0 && !FileOps::replace(temporary, localPath)) {
        code = TransferCode::LocalFile;
        result.reason = QDir::toNativeSeparators(localPath) + QStringLiteral(" cannot be put in place.");
    }
    if (code != 0) {
        QFile::remove(temporary);
        result = failed(result, code, result.reason.isEmpty() ? TransferCode::describe(code) : result.reason);
    }
    result.milliseconds = timer.elapsed();
    web.report(result);
    return result;
}
