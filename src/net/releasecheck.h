#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

#include "net/releasemanifest.h"

// What a published file must be before the tool installs or runs it.
enum class ReleaseKind {
    Program, // Vantora.exe
    Script,  // LATEST.sql
};

// The check DownloadToFile runs on the complete body of a release file
// (DownloadOptions::check). It refuses (TransferCode::NotARelease) an HTML
// page, and for a program an empty file or one that does not begin with
// the executable header of this platform ("MZ" on Windows; an ELF header
// or "#!" elsewhere). A file the release manifest lists (`listed`) must
// then have its size and SHA-256 (else TransferCode::NotListed).
std::function<int(const QString &path, const QByteArray &contentType)>
releaseCheck(ReleaseKind kind, const std::optional<ReleaseFile> &listed = std::nullopt);

// The address of the signature of the file at url.
QUrl signatureUrl(const QUrl &url);
