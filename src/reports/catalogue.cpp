#include "reports/catalogue.h"

#include "common/appfolder.h"
#include "common/textencoding.h"
#include "common/textlines.h"

#include <QStringView>

#include <algorithm>
#include <array>

namespace Catalogue {

namespace {

constexpr char16_t kFirstPrintableAscii = 32;
constexpr char16_t kLastPrintableAscii = 126;
constexpr char32_t kReplacement = 0xFFFD;

bool isPrintable(char32_t code)
{
    if (code >= kFirstPrintableAscii && code <= kLastPrintableAscii)
        return true;
    if (code < kFirstPrintableAscii || code == kReplacement)
        return false;
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph: return false;
    default: return true;
    }
}

// The character at `i` (one or two UTF-16 units: `length`); an unpaired
// surrogate is a character of its own, and not printable.
char32_t characterAt(QStringView text, qsizetype i, qsizetype &length)
{
    const QChar unit = text.at(i);
    if (unit.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        length = 2;
        return QChar::surrogateToUcs4(unit, text.at(i + 1));
    }
    length = 1;
    return unit.unicode();
}

// Where the first character KeepPrintable drops begins; -1 when none is.
qsizetype firstUnprintable(QStringView text)
{
    for (qsizetype i = 0; i < text.size();) {
        qsizetype length = 1;
        if (!isPrintable(characterAt(text, i, length)))
            return i;
        i += length;
    }
    return -1;
}

// "U+0009", "U+1F600".
QString codeName(char32_t code)
{
    constexpr int kHex = 16;
    constexpr int kDigits = 4;
    return QStringLiteral("U+") + QString::number(uint(code), kHex).toUpper().rightJustified(kDigits, u'0');
}

// The device name Windows takes a file name for, as the name spells it;
// empty when it is none. A file called CON, NUL, COM1, LPT1 and the like,
// with or without an extension, is the device in every folder.
QStringView reservedDevice(QStringView name)
{
    // Up to the first dot, blanks at the end dropped, as Windows compares.
    const qsizetype dot = name.indexOf(u'.');
    QStringView stem = dot < 0 ? name : name.first(dot);
    while (stem.endsWith(TextRules::kBlank))
        stem.chop(1);
    static constexpr std::array<QStringView, 6> kFixed{u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    if (std::ranges::any_of(kFixed, [&](QStringView device) { return stem.compare(device, Qt::CaseInsensitive) == 0; }))
        return stem;
    constexpr qsizetype kNumbered = 4;
    if (stem.size() != kNumbered
        || !(stem.startsWith(u"COM", Qt::CaseInsensitive) || stem.startsWith(u"LPT", Qt::CaseInsensitive)))
        return {};
    // COM0 to COM9 and LPT0 to LPT9, with the superscripts that Windows
    // also takes as digits.
    const char16_t digit = stem.back().unicode();
    const bool numbered
        = (digit >= u'0' && digit <= u'9') || digit == u'\u00b9' || digit == u'\u00b2' || digit == u'\u00b3';
    return numbered ? stem : QStringView();
}

// Why a name cannot be a file of its own in the Reports folder, under that
// same name; empty when it can.
QString fileNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("its name is empty");
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("its name \"%1\" names a folder").arg(name);
    for (const QChar c : name) {
        if (c == u'/' || c == u'\\')
            return QStringLiteral("its name holds \"%1\", which separates folders").arg(c);
        if (c == u':')
            return QStringLiteral("its name holds \":\", which names a drive or a stream on Windows");
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("its name holds the control character %1").arg(codeName(c.unicode()));
    }
    if (name.endsWith(u'.'))
        return QStringLiteral("its name ends in a dot, which Windows drops, so it would be saved as another file");
    if (name.endsWith(TextRules::kBlank))
        return QStringLiteral("its name ends in a blank, which Windows drops, so it would be saved as another file");
    const QStringView device = reservedDevice(name);
    if (!device.isEmpty())
        return QStringLiteral("Windows reserves the name %1 for a device").arg(device.toString().toUpper());
    return {};
}

} // namespace

QString decode(const QByteArray &bytes)
{
    return TextRules::decodeFile(bytes, QStringLiteral("filelist.txt"));
}

QString KeepPrintable(const QString &text)
{
    // Most names are printable whole: hand those back unchanged, without a
    // copy.
    const qsizetype firstDropped = firstUnprintable(text);
    if (firstDropped < 0)
        return text;
    QString result = text.left(firstDropped);
    result.reserve(text.size());
    for (qsizetype i = firstDropped; i < text.size();) {
        qsizetype length = 1;
        if (isPrintable(characterAt(text, i, length)))
            result += QStringView(text).mid(i, length);
        i += length;
    }
    return result;
}

QList<Entry> parse(const QString &text)
{
    QString joined = text;
    joined.remove(QLatin1Char('\r'));
    QList<Entry> entries;
    for (const QStringView line : QStringView(joined).split(QLatin1Char('\n'))) {
        Entry entry;
        entry.published = TextRules::trimBlanks(line).toString();
        entry.shown = KeepPrintable(entry.published);
        if (!entry.shown.isEmpty())
            entries.append(std::move(entry));
    }
    return entries;
}

QStringList shownNames(const QList<Entry> &entries)
{
    QStringList names;
    names.reserve(entries.size());
    for (const Entry &entry : entries)
        names.append(entry.shown);
    return names;
}

bool isPlainFileName(const QString &name)
{
    return fileNameProblem(name).isEmpty();
}

QString refusal(const QString &shown)
{
    return fileNameProblem(shown);
}

QString reportsFolder(const QString &appFolder)
{
    return inFolder(appFolder, QStringLiteral("Reports"));
}

} // namespace Catalogue
