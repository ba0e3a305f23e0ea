#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// A patch from one build of a published file to the next: a zstd frame
// compressed with the old file as its reference prefix (zstd's patch
// mode, long-distance matching over a window that covers both files). The
// old file is needed to read it back; the result is checked by the caller
// against the release manifest's SHA-256.
namespace ReleasePatch {

// The largest window (as a power of two) a desk applies a patch with: the
// memory it takes besides the old file. A patch that needs more is not
// applied (the whole file is downloaded instead), and the publisher's tool
// does not make one. 2^28 = 256 MiB covers programs up to 128 MiB.
inline constexpr int kMaxWindowLog = 28;

// The window a patch from a file of oldSize bytes to one of newSize needs.
int windowLogFor(qint64 oldSize, qint64 newSize);

// The published name of the patch to `file` from the build whose SHA-256
// is fromSha256 (32 bytes), below updates/: "patches/<file>.<hex>.patch".
QString publishedName(const QString &file, const QByteArray &fromSha256);

// Writes to patchPath a patch from oldPath to newPath; `windowLog` (when
// given) receives the window it needs. Returns why not, or empty.
QString make(const QString &oldPath, const QString &newPath, const QString &patchPath, int level = 19,
             int *windowLog = nullptr);

// Applies the patch at patchPath to basePath, writing at most maxBytes to
// outPath (a link there is refused). `windowLog`: the window the manifest
// says the patch needs; more than kMaxWindowLog is refused. Returns why not
// (a corrupt or foreign patch, a base it was not made from, a result
// longer than maxBytes), or empty; outPath is removed on failure. `going`,
// when given, hears the bytes written so far after each write; false stops
// the apply, as a failure.
QString apply(const QString &basePath, const QString &patchPath, const QString &outPath, qint64 maxBytes, int windowLog,
              const std::function<bool(qint64 written)> &going = {});

} // namespace ReleasePatch
