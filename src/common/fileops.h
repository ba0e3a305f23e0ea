#pragma once

#include <QByteArray>
#include <QString>

// File steps that must happen in one piece. Each platform has its own
// implementation beside this file.
namespace FileOps {

// Moves the file `from` to `to` within one volume, in one step, replacing
// a file already at `to`. False when nothing was moved.
bool replace(const QString &from, const QString &to);

// Appends the bytes at the end of the file (made when missing) in one
// write that no other writer can split or overwrite, even one in another
// process at the same moment. False when they were not all written.
bool append(const QString &path, const QByteArray &bytes);

} // namespace FileOps
