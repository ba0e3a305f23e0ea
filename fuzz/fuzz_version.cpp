// The version normaliser: no LF survives, no blank at either end, and a
// normalised version normalises to itself.
#include "common/textlines.h"
#include "fuzzcheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString version = TextRules::normalizeVersion(text);
    FUZZ_CHECK(!version.contains(QLatin1Char('\n')));
    FUZZ_CHECK(!version.startsWith(QLatin1Char(' ')) && !version.endsWith(QLatin1Char(' ')));
    FUZZ_CHECK(TextRules::normalizeVersion(version) == version);
    FUZZ_CHECK(version.size() <= text.size());
    return 0;
}
