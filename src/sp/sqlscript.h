#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// The stored-procedure script: from the bytes of LATEST.sql to the batches
// sent to the database, one at a time.
namespace SqlScript {

// The script text of a file's bytes, every line (ending at CR LF or a lone
// CR; a lone LF stays inside the line) followed by CR LF. A file that
// begins with a byte-order mark is Unicode text in the encoding the mark
// names (TextRules::byteOrderMark; bytes not valid in it throw Failure,
// FailureCode::InvalidText), and each of its lines loses a leading U+FEFF
// or U+00FF U+00FE. Any other file is text in the system code page, and
// each line loses a leading mark checked on its bytes before decoding, so
// the code page does not matter: FF FE (UTF-16) or else EF BB BF (UTF-8).
QString text(const QByteArray &bytes);

// The script text of a file, by the same rules, read a piece at a time so
// that the file's bytes are never held whole beside the text. Throws
// Failure as TextRules::readFile does.
QString readFile(const QString &path);

// The batches of a script text: blanks (U+0020) removed from both ends,
// then cut at every CR LF "GO" CR LF, case-sensitive, each delimiter
// consumed. So only a line that is exactly "GO" and not the first line
// separates, and a script ending in a "GO" line has an empty last batch.
// Never empty: a text without a separator is one batch.
QStringList batches(const QString &scriptText);

// The same batches as views into the script text, which must outlive them:
// a large script is held once, not twice.
QList<QStringView> batchViews(const QString &scriptText);

} // namespace SqlScript
