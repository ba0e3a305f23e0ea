#pragma once

#include <QString>
#include <QStringList>

// The text rules of the report catalogue filelist.txt and of the names it
// lists. Pure functions: no files, no network.
namespace Catalogue {

// The characters of the text whose code in the system code page is 32 to
// 126, in their order. A character the code page cannot represent counts as
// "?" (63) and is kept.
QString KeepPrintable(const QString &text);

// The report names of a catalogue, in catalogue order: every CR removed, the
// text split at LF, blanks (U+0020) stripped from both ends of each line,
// then KeepPrintable; lines left empty are dropped. Any number of lines.
QStringList parse(const QString &text);

// Whether a catalogue name can be stored as a file of its own in the
// Reports folder: not empty, not "." or "..", and free of "/", "\", ":"
// and control characters (no folder part, no drive, no alternate stream).
bool isPlainFileName(const QString &name);

// The Reports folder of an application folder, with exactly one separator
// between the two, also when the application folder is a root.
QString reportsFolder(const QString &appFolder);

} // namespace Catalogue
