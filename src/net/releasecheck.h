#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

class WebClient;

// What a published file must be before the tool installs or runs it.
enum class ReleaseKind {
    Program, // Vantora.exe
    Script,  // LATEST.sql
};

// The check DownloadToFile runs on the complete body of a release file
// (DownloadOptions::check). It refuses (TransferCode::NotARelease) an HTML
// page, and for a program an empty file or one that does not begin with
// the executable header of this platform ("MZ" on Windows; an ELF header
// or "#!" elsewhere). With keys it then refuses (TransferCode::BadSignature)
// a file without a valid detached signature at url + ".sig" made by one of
// them.
std::function<int(const QString &path, const QByteArray &contentType)>
releaseCheck(WebClient &web, const QUrl &url, ReleaseKind kind, const QList<QByteArray> &keys);

// The address of the signature of the file at url.
QUrl signatureUrl(const QUrl &url);
