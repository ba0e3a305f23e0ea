// The batch splitter: never an empty list; no batch holds CR LF "GO" CR LF;
// the batches joined with that separator give back the text without its
// outer blanks; and every cut is at the first separator after the last one
// (the leftmost split); the views the action runs are the same batches.
// The first byte chooses how the rest is read: when odd, each byte is one
// of the separator's own letters, a blank, a tab or a lower-case g or o, so
// that GO lines and near misses come up often; when even, each byte is one
// Latin-1 character.
#include "common/textlines.h"
#include "fuzzcheck.h"
#include "sp/sqlscript.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    QString text;
    if (data[0] & 1) {
        static const char16_t letters[] = u"\r\nGO go\t";
        for (size_t i = 1; i < size; ++i)
            text += QChar(letters[data[i] % 8]);
    } else {
        text = QString::fromLatin1(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    }
    const QString separator = QStringLiteral("\r\nGO\r\n");
    const QStringList batches = SqlScript::batches(text);

    FUZZ_CHECK(!batches.isEmpty());
    FUZZ_CHECK(batches.join(separator) == TextRules::trimBlanks(text));
    for (qsizetype i = 0; i < batches.size(); ++i) {
        FUZZ_CHECK(!batches.at(i).contains(separator));
        if (i + 1 < batches.size())
            FUZZ_CHECK((batches.at(i) + separator).indexOf(separator) == batches.at(i).size());
    }
    const QList<QStringView> views = SqlScript::batchViews(text);
    FUZZ_CHECK(views.size() == batches.size());
    for (qsizetype i = 0; i < views.size(); ++i)
        FUZZ_CHECK(views.at(i) == batches.at(i));
    FUZZ_CHECK(!batches.first().startsWith(QLatin1Char(' ')));
    FUZZ_CHECK(!batches.last().endsWith(QLatin1Char(' ')));
    return 0;
}
