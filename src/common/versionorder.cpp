#include "common/versionorder.h"

#include <QStringList>

namespace {

// The parts of a version of dotted whole numbers, leading zeros taken off,
// or nothing when it is not one.
std::optional<QStringList> dottedNumbers(const QString &version)
{
    if (version.isEmpty())
        return std::nullopt;
    QStringList parts = version.split(QLatin1Char('.'));
    for (QString &part : parts) {
        if (part.isEmpty())
            return std::nullopt;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        qsizetype zeros = 0;
        while (zeros < part.size() - 1 && part.at(zeros) == QLatin1Char('0'))
            ++zeros;
        part.remove(0, zeros);
    }
    return parts;
}

// Two whole numbers of any length, without leading zeros.
int compareNumbers(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return QString::compare(a, b);
}

} // namespace

std::optional<int> compareVersions(const QString &a, const QString &b)
{
    const std::optional<QStringList> left = dottedNumbers(a);
    const std::optional<QStringList> right = dottedNumbers(b);
    if (!left || !right)
        return std::nullopt;
    const qsizetype parts = std::max(left->size(), right->size());
    const QString zero = QStringLiteral("0");
    for (qsizetype i = 0; i < parts; ++i) {
        const int order
            = compareNumbers(i < left->size() ? left->at(i) : zero, i < right->size() ? right->at(i) : zero);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}
