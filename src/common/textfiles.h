#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <functional>

// Whole text files, read and written by the rules of textencoding.h and
// textlines.h. Only a plain file is read: a pipe or a device at the path
// is refused without waiting on it. Each throws Failure: FileNotFound when
// nothing is at the path, PathAccess when it cannot be opened or is not a
// plain file, InputPastEnd when a first line
// is asked of an empty file, WriteFailed when writing fails.
namespace TextRules {

// `maxBytes` (not negative): a larger file throws PathAccess, read no
// further than one byte past it.
QByteArray readFile(const QString &path, qint64 maxBytes = -1);
// Hands the file's bytes to `consume` a piece at a time, so a large file is
// never held whole. Throws as readFile does.
void readChunks(const QString &path, const std::function<void(QByteArrayView)> &consume);
// The first line, in the system's code page.
QString readFirstLine(const QString &path);
// Replaces the file with the lines, each in the system's code page and
// followed by CR LF. The new content appears whole or not at all. A link
// at the path is refused (PathAccess), neither followed nor replaced.
void writeLines(const QString &path, const QStringList &lines);

} // namespace TextRules
