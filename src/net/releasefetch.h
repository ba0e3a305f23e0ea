#pragma once

#include "net/releasemanifest.h"
#include "net/releasesource.h"
#include "net/transferresult.h"
#include "net/webclient.h"

#include <QList>
#include <QString>

#include <functional>

// Brings one file of a release to the desk by the cheapest way that ends
// in the bytes the release manifest lists: a patch from the build already
// installed, else the whole file; each from the sources in their order
// (the school's mirror, then the publisher). Every way ends in the same
// check (the options' check: the file's kind, size and SHA-256) before
// the file takes its place; a way that fails is said in the log and the
// next one is taken.
class Endpoints;

// The sources of a release's files: the mirror the endpoints name first,
// where the release manifest lists the file (`listed`: its size and
// SHA-256 check the mirror's bytes; else the log hears that the mirror is
// not used), then the publisher.
QList<ReleaseSource> releaseSources(const Endpoints &endpoints, bool listed,
                                    const std::function<void(const QString &line)> &note);

class ReleaseFetch
{
public:
    ReleaseFetch(WebClient &web, QList<ReleaseSource> sources);

    // A line for the log: why a way was left.
    std::function<void(const QString &line)> note;

    struct Fetched
    {
        TransferResult result; // the way that brought the file, else the last that failed
        QString how;           // "patch (812345 bytes) from the mirror https://...", "whole file from ..."
    };

    // Brings `file` (listed as `entry`) into localPath. `basePath`: the
    // installed build a listed patch may apply to (empty: none). The
    // options apply to the whole file; keepPartial to the publisher's only.
    Fetched fetch(const QString &file, const ReleaseFile &entry, const QString &localPath, const QString &basePath,
                  const DownloadOptions &options);

private:
    // The patch from the build at basePath, downloaded and applied, into
    // localPath; empty `how` when no patch brought it.
    Fetched viaPatch(const QString &file, const ReleaseFile &entry, const QString &localPath, const QString &basePath,
                     const DownloadOptions &options);
    // The patch at patchPath applied to the build at basePath, into
    // resultPath, on a thread of its own under the transfers' stall rule;
    // why not, or empty.
    QString applied(const QString &basePath, const QString &patchPath, const QString &resultPath, qint64 maxBytes,
                    int windowLog) const;
    void say(const QString &line) const;
    // Leaves the mirror out for the rest of the run where it could not be
    // asked at all.
    void forget(const ReleaseSource &source, const TransferResult &result);

    WebClient &m_web;
    QList<ReleaseSource> m_sources;
};
