#pragma once

#include <QString>
#include <QStringList>

class Services;

namespace ServerList {

// The most items CONSTR.txt may hold.
inline constexpr int kMaxItems = 1001;

// The longest server name the stored-procedure update connects to: far
// more than a machine name, an instance name and a port need together.
inline constexpr int kMaxServerNameLength = 1024;

// The items of CONSTR.txt's text, in file order. An item ends at a comma or
// at the end of a line (CR LF or a lone CR; a lone LF stays in the item);
// blanks (U+0020) before an item are skipped; an item that begins with a
// double quote runs to the next double quote (line ends included) without
// the quotes, and whatever follows up to the next comma or line end is
// dropped. The end of the text ends the last item; a comma or line end just
// before the end starts no further item.
QStringList splitItems(const QString &text);

// LoadServerList: reads CONSTR.txt in the application folder (in the
// system code page, or in the encoding a byte-order mark at its start
// names: TextRules::decodeFile), shows every item in the window's server
// list and keeps the first as serverName. Any failure (file missing,
// unreadable, empty, not valid in the encoding its mark names, more than
// kMaxItems items)
// shows its description in a critical box and leaves the list and
// serverName as they were; the caller is not told.
void load(Services &services, const QString &appFolder, QString &serverName);

// Throws Failure (DatabaseCode::BadServerName) for a server name that
// cannot name a database server, saying why without quoting the name:
// longer than kMaxServerNameLength, or holding a control character (NUL
// included), a byte the system code page could not decode, or ";" or "="
// (CONSTR.txt then holds binary data, Unicode text or a connection string).
// An empty name passes: opening the connection names that problem itself.
void checkServerName(const QString &name);

} // namespace ServerList
