#include "sp/sqlscript.h"

#include "common/textrules.h"

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

QString text(const QByteArray &bytes)
{
    QString result;
    for (const QByteArray &line : TextRules::splitLines(bytes)) {
        // A second mark after the removed one is text: the decoder must not
        // drop it.
        QStringDecoder decoder(QStringConverter::System, QStringConverter::Flag::ConvertInitialBom);
        result += decoder.decode(withoutByteOrderMark(line));
        result += QStringLiteral("\r\n");
    }
    return result;
}

QStringList batches(const QString &scriptText)
{
    return TextRules::trimBlanks(scriptText).split(QStringLiteral("\r\nGO\r\n"), Qt::KeepEmptyParts,
                                                   Qt::CaseSensitive);
}

} // namespace SqlScript
