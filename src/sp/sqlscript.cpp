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

} // namespace

namespace {

// Builds the script text from the file's bytes as they come: lines end at
// CR LF or a lone CR, also when a piece ends between the CR and its LF.
class TextBuilder
{
public:
    explicit TextBuilder(qsizetype expectedBytes)
    {
        // Each line gains at most a CR LF; most scripts come to about their
        // byte count. One allocation instead of many doublings.
        m_text.reserve(expectedBytes + 2);
    }

    void append(QByteArrayView piece)
    {
        if (m_afterCr && !piece.isEmpty()) {
            m_afterCr = false;
            if (piece.front() == '\n')
                piece = piece.sliced(1);
        }
        for (;;) {
            const qsizetype cr = piece.indexOf('\r');
            if (cr < 0) {
                m_partial += piece;
                return;
            }
            if (m_partial.isEmpty()) {
                addLine(piece.first(cr));
            } else {
                m_partial += piece.first(cr);
                addLine(m_partial);
                m_partial.clear();
            }
            piece = piece.sliced(cr + 1);
            if (piece.isEmpty()) {
                m_afterCr = true;
                return;
            }
            if (piece.front() == '\n')
                piece = piece.sliced(1);
        }
    }

    QString finish()
    {
        if (!m_partial.isEmpty())
            addLine(m_partial);
        m_partial.clear();
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
    QByteArray m_partial;
    bool m_afterCr = false;
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
    const QStringView all(scriptText);
    qsizetype begin = 0;
    qsizetype end = all.size();
    while (begin < end && all.at(begin) == TextRules::kBlank)
        ++begin;
    while (end > begin && all.at(end - 1) == TextRules::kBlank)
        --end;
    const QStringView text = all.sliced(begin, end - begin);

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
