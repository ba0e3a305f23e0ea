#include "common/textrules.h"

#include "common/failure.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>

namespace TextRules {

QString decode(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::System);
    return decoder.decode(bytes);
}

QByteArray encode(const QString &text)
{
    QStringEncoder encoder(QStringConverter::System);
    return encoder.encode(text);
}

namespace {

template <typename Text, typename Char>
QList<Text> splitAtLineEnds(const Text &text, Char cr, Char lf)
{
    QList<Text> lines;
    qsizetype start = 0;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        if (text.at(i) != cr)
            continue;
        lines.append(text.mid(start, i - start));
        if (i + 1 < size && text.at(i + 1) == lf)
            ++i;
        start = i + 1;
    }
    if (start < size)
        lines.append(text.mid(start));
    return lines;
}

} // namespace

QStringList splitLines(const QString &text)
{
    return splitAtLineEnds<QString, QChar>(text, QChar(u'\r'), QChar(u'\n'));
}

QList<QByteArray> splitLines(const QByteArray &bytes)
{
    return splitAtLineEnds<QByteArray, char>(bytes, '\r', '\n');
}

QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == kBlank)
        ++begin;
    while (end > begin && text.at(end - 1) == kBlank)
        --end;
    return text.mid(begin, end - begin);
}

QString normalizeVersion(const QString &text)
{
    QString result = text;
    result.remove(QStringLiteral("\r\n"));
    result.remove(QLatin1Char('\n'));
    return trimBlanks(result);
}

namespace {

QFile &openForReading(QFile &file)
{
    const QString path = file.fileName();
    QFileInfo info(path);
    if (!info.exists())
        throw Failure{FailureCode::FileNotFound, QStringLiteral("File not found: %1").arg(path)};
    if (info.isDir() || !file.open(QIODevice::ReadOnly))
        throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot open %1: %2").arg(path, file.errorString())};
    return file;
}

void throwIfReadFailed(const QFile &file)
{
    if (file.error() != QFileDevice::NoError)
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString())};
}

} // namespace

QByteArray readFile(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = openForReading(file).readAll();
    throwIfReadFailed(file);
    return bytes;
}

void readChunks(const QString &path, const std::function<void(QByteArrayView)> &consume)
{
    QFile file(path);
    openForReading(file);
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
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
    openForReading(file);
    // Only as much as the first line needs is read.
    QByteArray line;
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(64 * 1024);
        if (chunk.isEmpty())
            break;
        const qsizetype end = chunk.indexOf('\r');
        if (end >= 0) {
            line += chunk.left(end);
            return decode(line);
        }
        line += chunk;
    }
    throwIfReadFailed(file);
    if (line.isEmpty() && file.size() == 0)
        throw Failure{FailureCode::InputPastEnd, QStringLiteral("Input past end of file: %1").arg(path)};
    return decode(line);
}

QStringList readLines(const QString &path)
{
    return splitLines(decode(readFile(path)));
}

void writeLines(const QString &path, const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &line : lines) {
        bytes += encode(line);
        bytes += "\r\n";
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString())};
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw Failure{FailureCode::WriteFailed, QStringLiteral("Cannot write %1: %2").arg(path, file.errorString())};
}

} // namespace TextRules
