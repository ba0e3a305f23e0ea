#pragma once

#include "common/outcome.h"
#include "net/publishedrelease.h"

#include <QByteArray>
#include <QList>
#include <QString>

class Endpoints;
class ReleaseFetch;
class Services;
class WebClient;

// "updater --mirror DIR": keeps a copy of the publisher's current release
// in DIR (the publisher's layout: DIR/updates/version.txt, release.json and
// its .sig, Vantora.exe, LATEST.sql, their .sig, patches/) for the desks
// of a school to read from its own server.
//
// The manifest is taken by the desks' rules (signature, a serial that
// never goes back, expiry; the accepted serial is kept in DIR's
// updater.state). Every file is brought into DIR/.staging first and
// checked against the manifest: the program by a patch from the mirror's
// own copy of the build before when the release lists one, else whole.
// Only then are the files moved into updates/, the patches and signatures
// after them, release.json and its signature next and version.txt last:
// a run that stops before the moves leaves the last release whole. Files
// already as listed are kept; patches the release no longer lists go.
// Holds DIR/updater.lock for the whole run.
class ReleaseMirror
{
public:
    ReleaseMirror(Services &services, WebClient &web, const Endpoints &endpoints, QString folder,
                  QList<QByteArray> keys);

    // Done when a new release was mirrored, UpToDate when the mirror held
    // it already; else why not (Busy, DownloadFailed, Refused, Expired,
    // DiskFull, Failed). The reason says what came from where.
    Outcome run();

private:
    struct Staging;

    Outcome mirror();
    // Refuses a link in place of the run's folders; makes the staging
    // folder. Throws Failure.
    static void makeStaging(const Staging &stage);
    // What is missing or differs, brought into the staging folder: for
    // each file its patches, the file, its signature. Nothing when all
    // came; else the run's outcome.
    std::optional<Outcome> bringFiles(const ReleaseManifest &manifest, const QString &stamp, Staging &stage);
    // A patch of `name`; one that cannot be fetched is not mirrored (the
    // desks then fetch the whole file), unless the disk is full or the run
    // was stopped.
    std::optional<Outcome> bringPatch(const QString &name, const ReleasePatchEntry &patch, Staging &stage);
    std::optional<Outcome> bringFile(ReleaseFetch &fetch, const QString &name, const ReleaseFile &entry,
                                     Staging &stage);
    // The file's own signature, for builds that check it: taken when it is
    // published and (with keys) valid for the listed bytes; one that is
    // not, or no longer published, is not served.
    std::optional<Outcome> bringSignature(const QString &name, const QString &stamp, Staging &stage);
    // The files, then the manifest and its signature, the version last.
    // Throws Failure.
    static void moveInPlace(const Staging &stage, const PublishedRelease::Taken &taken, const QByteArray &versionBytes);

    Services &m_services;
    WebClient &m_web;
    const Endpoints &m_endpoints;
    QString m_folder;
    QList<QByteArray> m_keys;
};
