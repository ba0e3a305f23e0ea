#pragma once

#include <QString>

// File steps that must happen in one piece. Each platform has its own
// implementation beside this file.
namespace FileOps {

// Moves the file `from` to `to` within one volume, in one step, replacing
// a file already at `to`. False when nothing was moved.
bool replace(const QString &from, const QString &to);

} // namespace FileOps
