#include "sp/sqlscript.h"

#include "common/textrules.h"

#include <QFileInfo>
#include <QStringDecoder>

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

// Builds the script text from the file's bytes as they come, a line at a
// time (TextRules::LineSplitter).
class TextBuilder
{
public:
    explicit TextBuilder(qsizetype expectedBytes) : m_add([this](QByteArrayView line) { addLine(line); })
    {
        // Each line gains at most a CR LF; most scripts come to about their
        // byte count. One allocation instead of many doublings.
        m_text.reserve(expectedBytes + 2);
    }
    TextBuilder(const TextBuilder &) = delete;
    TextBuilder &operator=(const TextBuilder &) = delete;

    void append(QByteArrayView piece) { m_lines.feed(piece, m_add); }

    QString finish()
    {
        m_lines.finish(m_add);
        return std::move(m_text);
    }

private:
    void addLine(QByteArrayView line)
    {
        // A second mark after the removed one is text: the decoder must not
        // drop it.
        QStringDecoder decoder(QStringConverter::System, QStringConverter::Flag::ConvertInitialBom);
        m_text += decoder.decode(withoutByteOrderMark(line));
        m_text += QStringLiteral("\r\n");
    }

    QString m_text;
    TextRules::LineSplitter m_lines;
    TextRules::LineSplitter::Sink m_add;
};

} // namespace

QString text(const QByteArray &bytes)
{
    TextBuilder builder(bytes.size());
    builder.append(bytes);
    return builder.finish();
}

QString readFile(const QString &path)
{
    TextBuilder builder(QFileInfo(path).size());
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
