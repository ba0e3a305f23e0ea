#include "sp/serverlist.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/services.h"
#include "common/textencoding.h"
#include "common/textfiles.h"
#include "common/textlines.h"
#include "sp/database.h"

#include <optional>

namespace ServerList {

namespace {

constexpr int kSubscriptOutOfRange = 9;

} // namespace

QStringList splitItems(const QString &text)
{
    QStringList items;
    const QStringView all(text);
    const qsizetype size = all.size();
    qsizetype pos = 0;
    // Consumes a comma or a line end (CR LF counts as one) at pos.
    auto skipDelimiter = [&] {
        if (pos < size)
            pos += qMax(qsizetype{1}, TextRules::lineEndAt(all, pos));
    };
    auto atDelimiter = [&] { return all.at(pos) == u',' || TextRules::lineEndAt(all, pos) > 0; };

    while (pos < size) {
        while (pos < size && text.at(pos) == TextRules::kBlank)
            ++pos;
        if (pos < size && text.at(pos) == u'"') {
            const qsizetype start = pos + 1;
            qsizetype end = text.indexOf(u'"', start);
            if (end < 0)
                end = size;
            items.append(text.mid(start, end - start));
            pos = end < size ? end + 1 : size;
            while (pos < size && !atDelimiter())
                ++pos;
        } else {
            const qsizetype start = pos;
            while (pos < size && !atDelimiter())
                ++pos;
            items.append(text.mid(start, pos - start));
        }
        skipDelimiter();
    }
    return items;
}

void checkServerName(const QString &name)
{
    const auto refuse = [](const QString &why) {
        throw Failure{DatabaseCode::BadServerName, QStringLiteral("The server name in CONSTR.txt ") + why};
    };
    if (name.size() > kMaxServerNameLength) {
        refuse(QStringLiteral("is %1 characters long; a server name has at most %2.")
                   .arg(name.size())
                   .arg(kMaxServerNameLength));
    }
    const QString plainText = QStringLiteral(": CONSTR.txt must be a plain text file, one server name per line, "
                                             "in the system code page (ANSI) or Unicode with its byte-order mark.");
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const QString position = QStringLiteral(" at position %1").arg(i + 1);
        if (c.category() == QChar::Other_Control) {
            refuse(QStringLiteral("holds the control character U+%1")
                       .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0')))
                   + position + plainText);
        }
        if (c == QChar::ReplacementCharacter)
            refuse(QStringLiteral("holds a byte the system code page cannot read") + position + plainText);
        if (c == u';' || c == u'=')
            refuse(QStringLiteral("holds \"%1\"").arg(c) + position
                   + QStringLiteral(": CONSTR.txt names the server only, not a connection string."));
    }
}

void load(Services &services, const QString &appFolder, QString &serverName)
{
    const std::optional<Failure> failure = attempt([&] {
        const QString path = inFolder(appFolder, QStringLiteral("CONSTR.txt"));
        const QStringList items = splitItems(TextRules::decodeFile(TextRules::readFile(path), path));
        if (items.size() > kMaxItems)
            throw Failure{kSubscriptOutOfRange,
                          QStringLiteral("Subscript out of range: CONSTR.txt holds more than %1 items").arg(kMaxItems)};
        if (items.isEmpty())
            throw Failure{kSubscriptOutOfRange,
                          QStringLiteral("Subscript out of range: CONSTR.txt holds no server name")};
        services.setServerList(items);
        serverName = items.first();
    });
    if (failure)
        services.showMessage(failure->description, MessageStyle::Critical);
}

} // namespace ServerList
