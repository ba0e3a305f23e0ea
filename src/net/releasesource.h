#pragma once

#include "net/transferresult.h"

#include <QString>

#include <optional>

class Endpoints;
class WebClient;
struct DownloadOptions;

// Where the files of a release are read: the publisher, or a mirror of its
// updates/ folder on the school's own server (an https address, or a
// folder: a share's UNC path on Windows). A mirror needs no trust: what it
// serves is checked against the release manifest like the publisher's.
class ReleaseSource
{
public:
    static ReleaseSource publisher(const Endpoints &endpoints);
    // The mirror `address` names (https://host[:port][/path] or a folder);
    // nothing for an empty one.
    static std::optional<ReleaseSource> mirror(const QString &address);

    bool isMirror() const { return m_mirror; }
    bool isFolder() const { return m_folder; }
    // "the publisher", "the mirror https://..." / "the mirror \\server\share".
    QString name() const;

    // A text file of updates/ (version.txt, release.json, a .sig). `stamp`
    // keeps web caches from answering (an https source only). From a
    // folder the code is TransferCode::MirrorFile when the file is not
    // there or cannot be read.
    TransferResult fetchText(WebClient &web, const QString &file, const QString &stamp) const;

    // A file of updates/ brought into localPath, as WebClient::downloadToFile
    // does (the options' size bounds, exact size, check and progress apply
    // to a copy from a folder as well).
    TransferResult download(WebClient &web, const QString &file, const QString &localPath,
                            const DownloadOptions &options) const;

private:
    ReleaseSource(QString base, bool mirror, bool folder) : m_base(std::move(base)), m_mirror(mirror), m_folder(folder)
    {
    }
    QString m_base; // "https://host/updates/" or the folder's updates/ path, ending in "/"
    bool m_mirror = false;
    bool m_folder = false;
};
