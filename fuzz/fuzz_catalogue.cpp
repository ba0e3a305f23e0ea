// The catalogue reader, parser and KeepPrintable, on the text as the
// loader decodes it (a catalogue with a byte-order mark in its encoding, or
// refused saying so): every row's text is non-empty, printable and what
// KeepPrintable makes of the published name; there are never more rows than
// lines; KeepPrintable changes nothing the second time; and a name that is
// downloaded is the row's text itself and cannot leave the Reports folder
// or be saved by Windows under another name.
#include "common/failure.h"
#include "common/textencoding.h"
#include "fuzzcheck.h"
#include "reports/catalogue.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString text;
    try {
        text = Catalogue::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const Failure &failure) {
        FUZZ_CHECK(failure.number == FailureCode::InvalidText);
        FUZZ_CHECK(TextRules::byteOrderMark(QByteArrayView(data, qsizetype(size))).size > 0);
        return 0;
    }
    const QList<Catalogue::Entry> entries = Catalogue::parse(text);
    FUZZ_CHECK(entries.size() <= text.count(QLatin1Char('\n')) + 1);
    for (const Catalogue::Entry &entry : entries) {
        FUZZ_CHECK(!entry.shown.isEmpty());
        FUZZ_CHECK(entry.shown == Catalogue::KeepPrintable(entry.published));
        FUZZ_CHECK(Catalogue::KeepPrintable(entry.shown) == entry.shown);
        for (const QChar c : entry.shown)
            FUZZ_CHECK(c.unicode() >= 32 && c.unicode() != 127 && c.category() != QChar::Other_Format);
        // A report is fetched and saved under the name its row shows.
        if (Catalogue::refusal(entry.shown).isEmpty()) {
            const QString &name = entry.shown;
            FUZZ_CHECK(Catalogue::isPlainFileName(name));
            FUZZ_CHECK(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
            FUZZ_CHECK(!name.contains(QLatin1Char(':')) && name != QLatin1String("..") && name != QLatin1String("."));
            FUZZ_CHECK(!name.endsWith(QLatin1Char('.')) && !name.endsWith(QLatin1Char(' ')));
        }
    }
    const QString kept = Catalogue::KeepPrintable(text);
    FUZZ_CHECK(Catalogue::KeepPrintable(kept) == kept);
    return 0;
}
