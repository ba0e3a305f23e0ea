#include "common/textlines.h"

namespace TextRules {

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

} // namespace TextRules
