#pragma once

#include "common/outcome.h"

#include <QByteArray>
#include <QList>
#include <QString>

class Endpoints;
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
    Outcome mirror();

    Services &m_services;
    WebClient &m_web;
    const Endpoints &m_endpoints;
    QString m_folder;
    QList<QByteArray> m_keys;
};
