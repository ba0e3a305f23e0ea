#include "common/textrules.h"

#include "common/failure.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>

namespace TextRules {

namespace {

QByteArray &codePage()
{
    static QByteArray name;
    return name;
}

} // namespace

void useCodePage(const QByteArray &name)
{
    codePage() = name;
}

QStringDecoder systemDecoder(QStringConverter::Flags flags)
{
    if (codePage().isEmpty())
        return QStringDecoder(QStringConverter::System, flags);
    return QStringDecoder(codePage().constData(), flags);
}

QString decode(const QByteArray &bytes)
{
    QStringDecoder decoder = systemDecoder();
    return decoder.decode(bytes);
}

QByteArray encode(const QString &text)
{
    QStringEncoder encoder
        = codePage().isEmpty() ? QStringEncoder(QStringConverter::System) : QStringEncoder(codePage().constData());
    return encoder.encode(text);
}

ByteOrderMark byteOrderMark(QByteArrayView start)
{
    if (start.startsWith("\xEF\xBB\xBF"))
        return {QStringConverter::Utf8, 3};
    if (start.startsWith("\xFF\xFE"))
        return {QStringConverter::Utf16LE, 2};
    if (start.startsWith("\xFE\xFF"))
        return {QStringConverter::Utf16BE, 2};
    return {};
}

MarkedDecoder::MarkedDecoder(ByteOrderMark mark, QString fileName)
    : m_mark(mark), m_fileName(std::move(fileName)),
      // A second mark is text; the first is not handed to the decoder.
      m_decoder(mark.encoding, QStringConverter::Flag::ConvertInitialBom)
{
}

QString MarkedDecoder::decode(QByteArrayView piece)
{
    QString text = m_decoder.decode(piece);
    if (m_decoder.hasError())
        refuse();
    return text;
}

void MarkedDecoder::check(QStringView text) const
{
    if (!text.isValidUtf16())
        refuse();
}

void MarkedDecoder::finish()
{
    if (m_decoder.cutShort())
        refuse();
}

void MarkedDecoder::refuse() const
{
    const QString name = m_mark.encoding == QStringConverter::Utf8 ? QStringLiteral("UTF-8")
        : m_mark.encoding == QStringConverter::Utf16LE             ? QStringLiteral("UTF-16 (little-endian)")
                                                                   : QStringLiteral("UTF-16 (big-endian)");
    throw Failure{FailureCode::InvalidText,
                  QStringLiteral("%1 begins with the byte-order mark of %2 but is not valid %2 text. Save it again "
                                 "as %2, or as ANSI text without a mark.")
                      .arg(m_fileName, name)};
}

QString decodeFile(const QByteArray &bytes, const QString &fileName)
{
    const ByteOrderMark mark = byteOrderMark(bytes);
    if (mark.size == 0)
        return decode(bytes);
    MarkedDecoder decoder(mark, fileName);
    QString text = decoder.decode(QByteArrayView(bytes).sliced(mark.size));
    decoder.finish();
    decoder.check(text);
    return text;
}

QStringList splitLines(const QString &text)
{
    QStringList lines;
    const QStringView all(text);
    qsizetype start = 0;
    for (qsizetype i = 0; i < all.size(); ++i) {
        const qsizetype end = lineEndAt(all, i);
        if (end == 0)
            continue;
        lines.append(all.sliced(start, i - start).toString());
        i += end - 1;
        start = i + 1;
    }
    if (start < all.size())
        lines.append(all.sliced(start).toString());
    return lines;
}

QList<QByteArray> splitLines(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    LineSplitter splitter;
    const LineSplitter::Sink add = [&](QByteArrayView line) { lines.append(line.toByteArray()); };
    splitter.feed(bytes, add);
    splitter.finish(add);
    return lines;
}

QStringView trimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == kBlank)
        ++begin;
    while (end > begin && text.at(end - 1) == kBlank)
        --end;
    return text.sliced(begin, end - begin);
}

QString trimBlanks(const QString &text)
{
    const QStringView trimmed = trimBlanks(QStringView(text));
    return trimmed.size() == text.size() ? text : trimmed.toString();
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
    QByteArray bytes = openForReading(file).readAll();
    throwIfReadFailed(file);
    return bytes;
}

void readChunks(const QString &path, const std::function<void(QByteArrayView)> &consume)
{
    QFile file(path);
    openForReading(file);
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
    openForReading(file);
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
