#include "net/releasesource.h"

#include "common/diskspace.h"
#include "common/fileops.h"
#include "common/textencoding.h"
#include "net/endpoints.h"
#include "net/localjob.h"
#include "net/webclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <memory>

namespace {

const QString kUpdates = QStringLiteral("updates/");
// Small enough that a share as slow as the stall rate (1 KiB/s) still
// shows progress within the stall time.
constexpr qint64 kCopyChunk = qint64{32} * 1024;

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

using FolderRead = std::function<QByteArray(QIODevice &file, qint64 most)>;

// The next piece of a mirror's file; empty at its end or on an error.
QByteArray readPiece(QIODevice &file, const FolderRead &read)
{
    return read ? read(file, kCopyChunk) : file.read(kCopyChunk);
}

// Copies `from` to `temporary` within the bounds, on the job's thread, for
// as long as its caller waits; 0 or a code.
int copyBounded(QFile &from, const QString &temporary, qint64 maxBytes, qint64 exactBytes, const FolderRead &read,
                LocalJob &job)
{
    QFile to;
    job.makes(temporary);
    if (!FileOps::openForWriting(to, temporary, QIODevice::WriteOnly | QIODevice::Truncate)) {
        job.fail(QDir::toNativeSeparators(temporary) + QStringLiteral(" cannot be written."));
        return TransferCode::LocalFile;
    }
    const qint64 size = from.size();
    const qint64 total = exactBytes >= 0 ? exactBytes : size;
    if (size > maxBytes)
        return TransferCode::TooLarge;
    if (exactBytes >= 0 && size != exactBytes) {
        job.fail(QStringLiteral("%1 holds %2 bytes where the release lists %3.")
                     .arg(QDir::toNativeSeparators(from.fileName()))
                     .arg(size)
                     .arg(exactBytes));
        return TransferCode::NotListed;
    }
    job.setTotal(total);
    QByteArray chunk;
    while (!(chunk = readPiece(from, read)).isEmpty() && !job.abandoned()) {
        if (job.done() + chunk.size() > total)
            return TransferCode::NotListed; // grew while it was read
        if (to.write(chunk) != chunk.size()) {
            const bool full = DiskSpace::lacksSpaceFor(temporary, chunk.size());
            job.fail(QDir::toNativeSeparators(temporary) + QStringLiteral(" cannot be written."));
            return full ? TransferCode::DiskFull : TransferCode::LocalFile;
        }
        job.setDone(job.done() + chunk.size());
    }
    if (from.error() != QFileDevice::NoError || job.done() != size) {
        job.fail(QDir::toNativeSeparators(from.fileName()) + QStringLiteral(" could not be read to its end."));
        return TransferCode::MirrorUnreadable;
    }
    if (!to.flush()) {
        job.fail(QDir::toNativeSeparators(temporary) + QStringLiteral(" cannot be written."));
        return TransferCode::LocalFile;
    }
    return 0;
}

// The copy of the mirror's file at `path` to `temporary`, as a job of its
// own: it opens the file there too, for an open can hang on a share as a
// read can.
LocalJob::Work folderCopy(const QString &path, const QString &temporary, const DownloadOptions &options,
                          const FolderRead &read)
{
    return [path, temporary, maxBytes = options.maxBytes, exactBytes = options.exactBytes, read](LocalJob &job) {
        QFile input;
        QString reason;
        const int code = openMirrorFile(input, path, reason);
        if (code != 0) {
            job.fail(reason);
            return code;
        }
        return copyBounded(input, temporary, maxBytes, exactBytes, read, job);
    };
}

// The whole of the mirror's text file at `path` into `body`, as a job of
// its own, up to the limit of a text whatever size the file claims.
LocalJob::Work folderText(const QString &path, const std::shared_ptr<QByteArray> &body, const FolderRead &read)
{
    return [path, body, read, limit = TransferOptions().maxTextBytes](LocalJob &job) {
        QFile input;
        QString reason;
        if (const int code = openMirrorFile(input, path, reason); code != 0) {
            job.fail(reason);
            return code;
        }
        QByteArray chunk;
        while (body->size() <= limit && !job.abandoned() && !(chunk = readPiece(input, read)).isEmpty()) {
            body->append(chunk);
            job.setDone(body->size());
        }
        if (body->size() > limit) {
            body->clear();
            return TransferCode::TooLarge;
        }
        return 0;
    };
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
    auto body = std::make_shared<QByteArray>();
    const LocalJob::Result read = LocalJob::run(folderText(path, body, web.options().folderRead),
                                                QDir::toNativeSeparators(path), web.options());
    if (read.code != 0) {
        result = failed(result, read.code, read.reason);
    } else {
        result.body = *body;
        result.bytes = result.body.size();
        result.text = TextRules::decode(result.body);
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
    const LocalJob::Result copied = LocalJob::run(folderCopy(path, temporary, options, web.options().folderRead),
                                                  QDir::toNativeSeparators(path), web.options(), options.progress);
    int code = copied.code;
    result.bytes = copied.bytes;
    result.reason = copied.reason;
    if (code == 0 && options.check)
        code = options.check(temporary, QByteArray());
    if (code == 0 && !FileOps::replace(temporary, localPath)) {
        code = TransferCode::LocalFile;
        result.reason = QDir::toNativeSeparators(localPath) + QStringLiteral(" cannot be put in place.");
    }
    if (code != 0 && !copied.leftBehind)
        QFile::remove(temporary); // else the copy removes it when it ends
    if (code != 0)
        result = failed(result, code, result.reason.isEmpty() ? TransferCode::describe(code) : result.reason);
    result.milliseconds = timer.elapsed();
    web.report(result);
    return result;
}
