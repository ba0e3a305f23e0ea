#pragma once

#include <QString>
#include <QStringList>

class Services;

namespace ServerList {

// The most items CONSTR.txt may hold.
inline constexpr int kMaxItems = 1001;

// The items of CONSTR.txt's text, in file order. An item ends at a comma or
// at the end of a line (CR LF or a lone CR; a lone LF stays in the item);
// blanks (U+0020) before an item are skipped; an item that begins with a
// double quote runs to the next double quote (line ends included) without
// the quotes, and whatever follows up to the next comma or line end is
// dropped. The end of the text ends the last item; a comma or line end just
// before the end starts no further item.
QStringList splitItems(const QString &text);

// LoadServerList: reads CONSTR.txt in the application folder, shows every
// item in the window's server list and keeps the first as serverName. Any
// failure (file missing, unreadable, empty, more than kMaxItems items)
// shows its description in a critical box and leaves the list and
// serverName as they were; the caller is not told.
void load(Services &services, const QString &appFolder, QString &serverName);

} // namespace ServerList
