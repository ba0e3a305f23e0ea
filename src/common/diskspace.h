#pragma once

#include "common/failure.h"

#include <QString>

// Telling a full disk from other write failures, so that the user is told
// to free space rather than that a file "could not be written".
namespace DiskSpace {

// Whether the volume that holds `path` (a file or a folder; the nearest
// existing folder above it counts) has less free space than `bytes`, or
// than one block when `bytes` is smaller.
bool lacksSpaceFor(const QString &path, qint64 bytes);

// The failure of a write of `bytes` bytes to `path` that did not go
// through: "not enough disk space" when the volume is full, else `reason`.
Failure writeFailure(const QString &path, qint64 bytes, const QString &reason);

} // namespace DiskSpace
