// The catalogue parser and KeepPrintable: every name is non-empty and
// printable, there are never more names than lines, KeepPrintable changes
// nothing the second time, and no name that could leave the Reports folder
// passes as a plain file name.
#include "fuzzcheck.h"
#include "reports/catalogue.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList names = Catalogue::parse(text);
    FUZZ_CHECK(names.size() <= text.count(QLatin1Char('\n')) + 1);
    for (const QString &name : names) {
        FUZZ_CHECK(!name.isEmpty());
        for (const QChar c : name)
            FUZZ_CHECK(c.unicode() >= 32 && c.unicode() <= 126);
        FUZZ_CHECK(Catalogue::KeepPrintable(name) == name);
        if (Catalogue::isPlainFileName(name)) {
            FUZZ_CHECK(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
            FUZZ_CHECK(!name.contains(QLatin1Char(':')) && name != QLatin1String("..") && name != QLatin1String("."));
        }
    }
    const QString kept = Catalogue::KeepPrintable(text);
    FUZZ_CHECK(Catalogue::KeepPrintable(kept) == kept);
    return 0;
}
