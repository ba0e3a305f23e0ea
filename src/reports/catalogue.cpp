#include "reports/catalogue.h"

#include "common/appfolder.h"
#include "common/textlines.h"

#include <QStringEncoder>

#include <algorithm>

namespace Catalogue {

namespace {

constexpr char16_t kFirstPrintable = 32;
constexpr char16_t kLastPrintable = 126;

bool isPrintableCode(uint code)
{
    return code >= kFirstPrintable && code <= kLastPrintable;
}

// The code of one character (one or two UTF-16 units) in the system code
// page: its byte when it encodes to one byte, 63 when the code page cannot
// represent it, and 0 (not printable) when it takes several bytes.
uint systemCode(QStringEncoder &encoder, QStringView character)
{
    const QByteArray bytes = encoder(character);
    if (encoder.hasError()) {
        encoder.resetState();
        return '?';
    }
    return bytes.size() == 1 ? uchar(bytes.at(0)) : 0;
}

} // namespace

QString KeepPrintable(const QString &text)
{
    // Most names are plain ASCII: hand those back unchanged, without a copy.
    qsizetype firstDropped = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isPrintableCode(text.at(i).unicode())) {
            firstDropped = i;
            break;
        }
    }
    if (firstDropped < 0)
        return text;

    // Every code page the tool runs under agrees with ASCII below 128; only
    // the other characters need the encoder.
    QStringEncoder encoder(QStringConverter::System, QStringConverter::Flag::Stateless);
    QString result = text.left(firstDropped);
    result.reserve(text.size());
    for (qsizetype i = firstDropped; i < text.size();) {
        const QChar unit = text.at(i);
        qsizetype length = 1;
        if (unit.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            length = 2;
        const QStringView character = QStringView(text).mid(i, length);
        const uint code = unit.unicode() < 0x80 ? unit.unicode() : systemCode(encoder, character);
        if (isPrintableCode(code))
            result += character;
        i += length;
    }
    return result;
}

QStringList parse(const QString &text)
{
    QString joined = text;
    joined.remove(QLatin1Char('\r'));
    QStringList names;
    for (const QStringView line : QStringView(joined).split(QLatin1Char('\n'))) {
        const QString name = KeepPrintable(TextRules::trimBlanks(line.toString()));
        if (!name.isEmpty())
            names.append(name);
    }
    return names;
}

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return std::ranges::none_of(name, [](QChar c) {
        return c.unicode() < kFirstPrintable || c == u'/' || c == u'\\' || c == u':';
    });
}

QString reportsFolder(const QString &appFolder)
{
    return inFolder(appFolder, QStringLiteral("Reports"));
}

} // namespace Catalogue
