#include "sp/sqlscript.h"

#include "common/textrules.h"

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
        result += TextRules::decode(withoutByteOrderMark(line).toByteArray());
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
