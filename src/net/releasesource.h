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
    // Patches already brought into `folder` (taken like a folder mirror's,
    // never asked for a whole file), called `name`.
    static ReleaseSource local(const QString &folder, const QString &name);

    bool isMirror() const { return m_mirror; }
    bool isFolder() const { return m_folder; }
    bool patchesOnly() const { return m_patchesOnly; }
    // "the publisher", "the mirror https://..." / "the mirror \\server\share".
    QString name() const;

    // A text file of updates/ (version.txt, release.json, a .sig). `stamp`
    // keeps web caches from answering (an https source only). From a
    // folder the code is TransferCode::MirrorFile when the folder is there
    // but the file is not, MirrorUnreadable when the folder cannot be
    // reached or the file is not a plain file or cannot be read, and
    // TransferCode::TimedOut when the read stalls.
    TransferResult fetchText(WebClient &web, const QString &file, const QString &stamp) const;

    // A file of updates/ brought into localPath, as WebClient::downloadToFile
    // does (the options' size bounds, exact size, check and progress apply
    // to a copy from a folder as well, and the stall rule: a folder on a
    // share that stops answering ends it with TransferCode::TimedOut, the
    // window painting meanwhile). A mirror's bytes travel through a
    // name of their own beside the target, so that bytes kept from the
    // publisher for the same target stay for its next attempt.
    TransferResult download(WebClient &web, const QString &file, const QString &localPath,
                            const DownloadOptions &options) const;

private:
    ReleaseSource(QString base, bool mirror, bool folder, QString name = {})
        : m_base(std::move(base)), m_name(std::move(name)), m_mirror(mirror), m_folder(folder)
    {
    }
    QString m_base; // "https://host/updates/" or the folder's updates/ path, ending in "/"
    QString m_name; // a name of its own, else the one its kind and address make
    bool m_mirror = false;
    bool m_folder = false;
    bool m_patchesOnly = false;
};
