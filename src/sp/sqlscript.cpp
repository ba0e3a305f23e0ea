#include "sp/sqlscript.h"

#include "common/textencoding.h"
#include "common/textfiles.h"
#include "common/textlines.h"

#include <QFileInfo>
#include <QStringDecoder>

#include <optional>

namespace SqlScript {

namespace {

QByteArrayView withoutByteOrderMark(QByteArrayView line)
{
    if (line.startsWith("\xFF\xFE"))
        return line.sliced(2);
    if (line.startsWith("\xEF\xBB\xBF"))
        return line.sliced(3);
    return line;
}

// The same rule on a line of Unicode text: U+00FF U+00FE (a UTF-16 mark
// read as ANSI text), else U+FEFF.
QStringView withoutByteOrderMark(QStringView line)
{
    if (line.startsWith(u"\u00FF\u00FE"))
        return line.sliced(2);
    if (line.startsWith(QChar(0xFEFF)))
        return line.sliced(1);
    return line;
}

// Builds the script text from the file's bytes as they come, a line at a
// time. The first bytes decide the encoding (TextRules::byteOrderMark): a
// file in the system code page is cut into lines on its bytes
// (TextRules::LineSplitter) and each line decoded; a Unicode file is
// decoded as it comes and cut into lines on its text.
class TextBuilder
{
public:
    TextBuilder(qsizetype expectedBytes, QString fileName)
        : m_fileName(std::move(fileName)), m_add([this](QByteArrayView line) { addLine(line); }),
          m_addText([this](QStringView line) { addTextLine(line); })
    {
        // Each line gains at most a CR LF; most scripts come to about their
        // byte count. One allocation instead of many doublings.
        m_text.reserve(expectedBytes + 2);
    }
    TextBuilder(const TextBuilder &) = delete;
    TextBuilder &operator=(const TextBuilder &) = delete;

    void append(QByteArrayView piece)
    {
        if (m_decided) {
            feed(piece);
            return;
        }
        // The mark is at most three bytes long: wait for them.
        m_start += piece;
        if (m_start.size() >= 3)
            decide();
    }

    QString finish()
    {
        if (!m_decided)
            decide();
        if (m_unicode) {
            m_unicode->finish();
            m_textLines.finish(m_addText);
        } else {
            m_lines.finish(m_add);
        }
        return std::move(m_text);
    }

private:
    void decide()
    {
        m_decided = true;
        const QByteArray start = std::exchange(m_start, QByteArray());
        const TextRules::ByteOrderMark mark = TextRules::byteOrderMark(start);
        if (mark.size > 0)
            m_unicode.emplace(mark, m_fileName);
        feed(QByteArrayView(start).sliced(mark.size));
    }

    void feed(QByteArrayView piece)
    {
        if (!m_unicode) {
            m_lines.feed(piece, m_add);
            return;
        }
        const QString decoded = m_unicode->decode(piece);
        m_textLines.feed(decoded, m_addText);
    }

    void addLine(QByteArrayView line)
    {
        // A second mark after the removed one is text: the decoder must not
        // drop it.
        QStringDecoder decoder = TextRules::systemDecoder(QStringConverter::Flag::ConvertInitialBom);
        m_text += decoder.decode(withoutByteOrderMark(line));
        m_text += QStringLiteral("\r\n");
    }

    void addTextLine(QStringView line)
    {
        m_unicode->check(line);
        m_text += withoutByteOrderMark(line);
        m_text += QStringLiteral("\r\n");
    }

    QString m_fileName;
    QString m_text;
    bool m_decided = false;
    QByteArray m_start;
    // Bytes in the system code page.
    TextRules::LineSplitter m_lines;
    TextRules::LineSplitter::Sink m_add;
    // Unicode text.
    std::optional<TextRules::MarkedDecoder> m_unicode;
    TextRules::TextLineSplitter m_textLines;
    TextRules::TextLineSplitter::Sink m_addText;
};

} // namespace

QString text(const QByteArray &bytes)
{
    TextBuilder builder(bytes.size(), QStringLiteral("LATEST.sql"));
    builder.append(bytes);
    return builder.finish();
}

QString readFile(const QString &path)
{
    TextBuilder builder(QFileInfo(path).size(), path);
    TextRules::readChunks(path, [&](QByteArrayView piece) { builder.append(piece); });
    return builder.finish();
}

QList<QStringView> batchViews(const QString &scriptText)
{
    static const QString separator = QStringLiteral("\r\nGO\r\n");
    // Blanks removed from both ends, without a copy.
    const QStringView text = TextRules::trimBlanks(QStringView(scriptText));

    QList<QStringView> result;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = text.indexOf(separator, from, Qt::CaseSensitive);
        if (at < 0)
            break;
        result.append(text.sliced(from, at - from));
        from = at + separator.size();
    }
    result.append(text.sliced(from));
    return result;
}

QStringList batches(const QString &scriptText)
{
    QStringList result;
    for (const QStringView batch : batchViews(scriptText))
        result.append(batch.toString());
    return result;
}

} // namespace SqlScript
