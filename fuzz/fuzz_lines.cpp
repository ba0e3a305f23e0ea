// The streaming line splitter, as the script reader feeds it: the lines do
// not depend on where the input is cut into pieces, the byte and text forms
// agree with each other and with lineEndAt, no line holds a CR, and the
// lines joined again give back the text up to its line ends.
#include "common/textencoding.h"
#include "common/textlines.h"
#include "fuzzcheck.h"

#include <QStringList>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the piece size, the rest is the input.
    const qsizetype pieceSize = data[0] % 16 + 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString text = QString::fromLatin1(bytes);

    QStringList byteLines;
    TextRules::LineSplitter splitter;
    const TextRules::LineSplitter::Sink addBytes
        = [&](QByteArrayView line) { byteLines.append(QString::fromLatin1(line)); };
    for (qsizetype at = 0; at < bytes.size(); at += pieceSize)
        splitter.feed(QByteArrayView(bytes).sliced(at, qMin(pieceSize, bytes.size() - at)), addBytes);
    splitter.finish(addBytes);

    QStringList lines;
    TextRules::TextLineSplitter textSplitter;
    const TextRules::TextLineSplitter::Sink add = [&](QStringView line) { lines.append(line.toString()); };
    textSplitter.feed(text, add);
    textSplitter.finish(add);
    FUZZ_CHECK(byteLines == lines);

    // The same lines, cut where lineEndAt finds line ends.
    QStringList expected;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype end = TextRules::lineEndAt(QStringView(text), i);
        if (end == 0)
            continue;
        expected.append(text.sliced(start, i - start));
        i += end - 1;
        start = i + 1;
    }
    if (start < text.size())
        expected.append(text.sliced(start));
    FUZZ_CHECK(lines == expected);

    qsizetype total = 0;
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1Char('\r')));
        total += line.size();
    }
    QString withoutCr = text;
    withoutCr.remove(QStringLiteral("\r\n")).remove(QLatin1Char('\r'));
    FUZZ_CHECK(total == withoutCr.size());
    // Decoding never fails, whatever the bytes.
    (void)TextRules::decode(bytes);
    return 0;
}
