// The line reader: byte and text forms agree, no line holds a CR, and the
// lines joined again give back the text up to its line ends.
#include "common/textrules.h"
#include "fuzzcheck.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> byteLines = TextRules::splitLines(bytes);
    const QString text = QString::fromLatin1(bytes);
    const QStringList lines = TextRules::splitLines(text);
    FUZZ_CHECK(byteLines.size() == lines.size());
    qsizetype total = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        FUZZ_CHECK(!lines.at(i).contains(QLatin1Char('\r')));
        FUZZ_CHECK(lines.at(i) == QString::fromLatin1(byteLines.at(i)));
        total += lines.at(i).size();
    }
    QString withoutCr = text;
    withoutCr.remove(QStringLiteral("\r\n")).remove(QLatin1Char('\r'));
    FUZZ_CHECK(total == withoutCr.size());
    // Decoding never fails, whatever the bytes.
    (void)TextRules::decode(bytes);
    return 0;
}
