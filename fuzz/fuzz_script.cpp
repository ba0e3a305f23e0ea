// The script reader, bytes in. A file without a byte-order mark at its
// start: one output line per line of the file, each ending in CR LF and
// holding no other CR; lone LFs kept, CR LF turned into line ends; a line
// never longer than its bytes; and a line starts with a byte-order mark
// only where the file's line held a second UTF-8 mark right after the one
// removed. A file with a mark: either refused, saying which encoding its
// bytes break, or valid text whose lines each end in CR LF, no line
// starting with a mark unless the file's text held two there.
#include "common/failure.h"
#include "common/textencoding.h"
#include "common/textlines.h"
#include "fuzzcheck.h"
#include "sp/sqlscript.h"

#include <cstdint>

namespace {

void marked(const QByteArray &bytes)
{
    QString text;
    try {
        text = SqlScript::text(bytes);
    } catch (const Failure &failure) {
        FUZZ_CHECK(failure.number == FailureCode::InvalidText);
        FUZZ_CHECK(failure.description.startsWith(QStringLiteral("LATEST.sql begins with the byte-order mark of ")));
        return;
    }
    FUZZ_CHECK(QStringView(text).isValidUtf16());
    FUZZ_CHECK(text.isEmpty() || text.endsWith(QStringLiteral("\r\n")));
    FUZZ_CHECK(text.count(QLatin1Char('\r')) == text.count(QStringLiteral("\r\n")));
    // Every character comes from at least one byte (UTF-8) or two (UTF-16).
    FUZZ_CHECK(text.size() <= bytes.size() + text.count(QLatin1Char('\r')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (TextRules::byteOrderMark(bytes).size > 0) {
        marked(bytes);
        return 0;
    }
    const QString text = SqlScript::text(bytes);
    QList<QByteArray> byteLines;
    TextRules::LineSplitter splitter;
    const TextRules::LineSplitter::Sink add = [&](QByteArrayView line) { byteLines.append(line.toByteArray()); };
    splitter.feed(bytes, add);
    splitter.finish(add);
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
