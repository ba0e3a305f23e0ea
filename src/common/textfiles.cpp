#include "common/textfiles.h"

#include "common/diskspace.h"
#include "common/failure.h"
#include "common/fileops.h"
#include "common/textencoding.h"
#include "common/textlines.h"

#include <QFile>
#include <QSaveFile>

namespace TextRules {

namespace {

// Opens the plain file at `path`; a pipe or a device is never waited on.
QFile &openForReading(QFile &file, const QString &path)
{
    switch (FileOps::openForReading(file, path)) {
    case FileOps::ReadOpen::Opened: return file;
    case FileOps::ReadOpen::Missing:
        throw Failure{FailureCode::FileNotFound, QStringLiteral("File not found: %1").arg(path)};
    case FileOps::ReadOpen::NotPlain:
        throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot open %1: not a plain file").arg(path)};
    case FileOps::ReadOpen::Failed: break;
    }
    QFile named(path);
    named.open(QIODevice::ReadOnly); // for the system's own words on why
    throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot open %1: %2").arg(path, named.errorString())};
}

void throwIfReadFailed(const QFile &file)
{
    if (file.error() != QFileDevice::NoError)
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString())};
}

} // namespace

QByteArray readFile(const QString &path, qint64 maxBytes)
{
    QFile file(path);
    openForReading(file, path);
    QByteArray bytes = maxBytes < 0 ? file.readAll() : file.read(maxBytes + 1);
    throwIfReadFailed(file);
    if (maxBytes >= 0 && bytes.size() > maxBytes)
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("Cannot read %1: it is larger than %2 bytes").arg(path).arg(maxBytes)};
    return bytes;
}

void readChunks(const QString &path, const std::function<void(QByteArrayView)> &consume)
{
    QFile file(path);
    openForReading(file, path);
    QByteArray chunk(qsizetype{1024} * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        consume(QByteArrayView(chunk.constData(), got));
    }
    throwIfReadFailed(file);
}

QString readFirstLine(const QString &path)
{
    QFile file(path);
    openForReading(file, path);
    // Only as much as the first line needs is read.
    LineSplitter splitter;
    QByteArray first;
    bool found = false;
    const LineSplitter::Sink take = [&](QByteArrayView line) {
        if (!found)
            first = line.toByteArray();
        found = true;
    };
    while (!found && !file.atEnd()) {
        const QByteArray chunk = file.read(qint64{64} * 1024);
        if (chunk.isEmpty())
            break;
        splitter.feed(chunk, take);
    }
    throwIfReadFailed(file);
    if (!found)
        splitter.finish(take);
    if (!found && file.size() == 0)
        throw Failure{FailureCode::InputPastEnd, QStringLiteral("Input past end of file: %1").arg(path)};
    return decode(first);
}

void writeLines(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines) {
        bytes += encode(line);
        bytes += "\r\n";
    }
    // QSaveFile would replace the file a link leads to.
    if (FileOps::isLink(path))
        throw Failure{FailureCode::PathAccess, FileOps::linkRefused(path)};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString())};
    // Every byte is on the disk before the file takes the old one's place:
    // a commit after a failed flush would put an empty file there.
    if (file.write(bytes) != bytes.size() || !file.flush() || file.size() != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw DiskSpace::writeFailure(path, bytes.size(), reason);
    }
    if (!file.commit())
        throw DiskSpace::writeFailure(path, bytes.size(), file.errorString());
}

} // namespace TextRules
