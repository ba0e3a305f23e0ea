#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The text rules of the report catalogue filelist.txt and of the names it
// lists. Pure functions: no files, no network.
namespace Catalogue {

// The catalogue's text: after a byte-order mark, in the Unicode encoding it
// names; without one, in the system code page (TextRules::decodeFile).
// Bytes that a mark's encoding does not allow throw Failure
// (FailureCode::InvalidText).
QString decode(const QByteArray &bytes);

// The printable characters of the text, in their order: letters, marks,
// digits, punctuation, symbols and spaces of any script. Dropped: control
// and format characters (the byte-order mark and the direction marks among
// them), line and paragraph separators, private-use and unassigned code
// points, unpaired surrogates, and U+FFFD (what a decoder puts for a byte it
// could not read).
QString KeepPrintable(const QString &text);

// One report the catalogue lists: its name as published (blanks stripped
// from both ends) and the text its row shows (KeepPrintable of it). The
// report is fetched and saved under the name its row shows.
struct Entry
{
    QString published;
    QString shown;

    bool operator==(const Entry &) const = default;
};

// The reports of a catalogue, in catalogue order: every CR removed, the
// text split at LF, blanks (U+0020) stripped from both ends of each line;
// lines that KeepPrintable leaves empty are dropped. Any number of lines.
QList<Entry> parse(const QString &text);
// The rows' texts of parse().
QStringList shownNames(const QList<Entry> &entries);

// Whether a catalogue name can be stored as a file of its own in the
// Reports folder, under that same name on Linux and on Windows: not empty,
// not "." or "..", free of "/", "\", ":" and control characters (no folder
// part, no drive, no alternate stream), not ending in a dot or a blank
// (which Windows drops) and not a device name Windows reserves (CON, NUL,
// COM1, LPT1, ..., with or without an extension).
bool isPlainFileName(const QString &name);

// Why a report is not downloaded under the name its row shows, as the end
// of a sentence ("Windows reserves the name CON for a device"); empty when
// it is downloaded. Only a name that is not a plain file name is refused.
QString refusal(const QString &shown);

// The Reports folder of an application folder, with exactly one separator
// between the two, also when the application folder is a root.
QString reportsFolder(const QString &appFolder);

} // namespace Catalogue
