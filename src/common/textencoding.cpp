#include "common/textencoding.h"

#include "common/failure.h"

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
    // Qt also knows the UTF-32 marks, which no file of this tool carries:
    // FF FE 00 00 is the UTF-16 little-endian mark and a U+0000, and
    // 00 00 FE FF no mark at all.
    switch (QStringConverter::encodingForData(start).value_or(QStringConverter::System)) {
    case QStringConverter::Utf8: return {QStringConverter::Utf8, 3};
    case QStringConverter::Utf16LE:
    case QStringConverter::Utf32LE: return {QStringConverter::Utf16LE, 2};
    case QStringConverter::Utf16BE: return {QStringConverter::Utf16BE, 2};
    default: return {};
    }
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

} // namespace TextRules
