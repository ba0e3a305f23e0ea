// The CONSTR.txt item reader, on the text as ServerList::load decodes it
// (a file with a byte-order mark in its encoding, or refused saying so):
// items come in file order as pieces of the text; a comma or a CR inside an
// item only where the item was quoted (so never beside a double quote); no
// more items than delimiters plus one; and for a text without double quotes
// exactly the pieces between commas and line ends, leading blanks dropped.
// The server-name check accepts only names a connection string can carry
// and says why it refuses in a few words, never by quoting the name.
#include "common/failure.h"
#include "common/textencoding.h"
#include "common/textlines.h"
#include "fuzzcheck.h"
#include "sp/database.h"
#include "sp/serverlist.h"

#include <QRegularExpression>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString text;
    try {
        text = TextRules::decodeFile(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)),
                                     QStringLiteral("CONSTR.txt"));
    } catch (const Failure &failure) {
        FUZZ_CHECK(failure.number == FailureCode::InvalidText);
        FUZZ_CHECK(TextRules::byteOrderMark(QByteArrayView(data, qsizetype(size))).size > 0);
        return 0;
    }
    const QStringList items = ServerList::splitItems(text);

    FUZZ_CHECK(items.isEmpty() == text.isEmpty());
    FUZZ_CHECK(items.size() <= text.count(QLatin1Char(',')) + text.count(QLatin1Char('\r')) + 1);
    qsizetype from = 0;
    for (const QString &item : items) {
        const qsizetype at = text.indexOf(item, from);
        FUZZ_CHECK(at >= 0);
        from = at + item.size();
        if (item.contains(QLatin1Char(',')) || item.contains(QLatin1Char('\r'))) {
            FUZZ_CHECK(!item.contains(QLatin1Char('"')));
            FUZZ_CHECK(text.contains(QLatin1Char('"') + item));
        }
    }

    if (!text.contains(QLatin1Char('"')) && !text.isEmpty()) {
        static const QRegularExpression delimiter(QStringLiteral("\r\n|\r|,"));
        QStringList pieces = text.split(delimiter);
        if (pieces.size() > 1 && pieces.last().isEmpty())
            pieces.removeLast(); // a delimiter at the very end starts no item
        for (QString &piece : pieces) {
            qsizetype blanks = 0;
            while (blanks < piece.size() && piece.at(blanks) == TextRules::kBlank)
                ++blanks;
            piece.remove(0, blanks);
        }
        FUZZ_CHECK(items == pieces);
    }

    const QString name = items.value(0);
    try {
        ServerList::checkServerName(name);
        FUZZ_CHECK(name.size() <= ServerList::kMaxServerNameLength);
        for (const QChar c : name)
            FUZZ_CHECK(c.unicode() >= 0x20 && c != QLatin1Char(';') && c != QLatin1Char('='));
    } catch (const Failure &failure) {
        FUZZ_CHECK(failure.number == DatabaseCode::BadServerName);
        FUZZ_CHECK(!name.isEmpty());
        FUZZ_CHECK(failure.description.size() < 300);
    }
    return 0;
}
