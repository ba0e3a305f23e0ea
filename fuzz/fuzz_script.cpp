// The script reader, bytes in: one output line per line of the file, each
// ending in CR LF and holding no other CR; lone LFs kept, CR LF turned into
// line ends; a line never longer than its bytes; and a line starts with a
// byte-order mark only where the file's line held a second UTF-8 mark right
// after the one removed.
#include "common/textrules.h"
#include "fuzzcheck.h"
#include "sp/sqlscript.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = SqlScript::text(bytes);
    const QList<QByteArray> byteLines = TextRules::splitLines(bytes);
    const qsizetype lines = byteLines.size();

    FUZZ_CHECK(text.isEmpty() == bytes.isEmpty());
    FUZZ_CHECK(text.isEmpty() || text.endsWith(QStringLiteral("\r\n")));
    FUZZ_CHECK(text.count(QLatin1Char('\r')) == lines);
    FUZZ_CHECK(text.count(QStringLiteral("\r\n")) == lines);
    FUZZ_CHECK(text.count(QLatin1Char('\n')) == bytes.count('\n') - bytes.count("\r\n") + lines);

    QStringList textLines = text.split(QStringLiteral("\r\n"));
    textLines.removeLast(); // after the last CR LF
    FUZZ_CHECK(textLines.size() == lines);
    const QChar mark(0xFEFF);
    for (qsizetype i = 0; i < lines; ++i) {
        const QByteArray &line = byteLines.at(i);
        FUZZ_CHECK(textLines.at(i).size() <= line.size());
        if (textLines.at(i).startsWith(mark))
            FUZZ_CHECK(line.startsWith("\xFF\xFE\xEF\xBB\xBF") || line.startsWith("\xEF\xBB\xBF\xEF\xBB\xBF"));
    }
    return 0;
}
