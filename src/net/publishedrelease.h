#pragma once

#include "net/releasemanifest.h"
#include "net/releasesource.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class Endpoints;
class WebClient;

// The publisher's release manifest as this installation takes it: fetched
// (release.json and release.json.sig beside version.txt), checked, and
// remembered.
//
// A build with keys requires it: the signature by a trusted key, a serial
// not lower than the highest this installation has accepted, a time within
// its expiry, and (for the program) the version version.txt announces.
// What it lists binds the bytes of each file. A build without keys uses a
// manifest when one is published, for its sizes, hashes and rollout only
// (they catch a cut or spliced transfer; anyone on the way could change
// them), and goes on without one.
class PublishedRelease
{
public:
    PublishedRelease(WebClient &web, const Endpoints &endpoints, QString appFolder, QList<QByteArray> keys);

    // Where release.json and its signature are read: the publisher, unless
    // said otherwise (a mirror, where the publisher cannot be reached; the
    // same rules hold).
    void setSource(const ReleaseSource &source) { m_source = source; }

    // What the log should hear that no box says (a warning, why a desk
    // waits): one line each.
    std::function<void(const QString &line)> note;

    // Fetches and checks the manifest; `version` (normalised) is the one
    // version.txt announces (an empty one matches no manifest), none where
    // no version is compared (the script). Returns nothing for a build without keys where none is
    // published or it cannot be used. Throws Failure: kind Refused
    // (TransferCode::BadManifest, OlderManifest, OtherVersion) or
    // DownloadFailed when it cannot be fetched. An expired manifest is
    // returned with `expired` set, so the caller decides how the action
    // ends (TransferCode::ExpiredManifest).
    struct Taken
    {
        ReleaseManifest manifest;
        bool expired = false;
        QString expiredReason; // the expiry and this desk's clock
        bool signedByKey = false;
        QByteArray json;      // release.json as it came
        QByteArray signature; // release.json.sig as it came (a build with keys)
    };
    std::optional<Taken> fetch(const std::optional<QString> &version);

    // Whether this desk takes the release now (rollout percent and halt);
    // `why` says why not. Throws Failure when the state file cannot be
    // read.
    bool takesRelease(const ReleaseManifest &manifest, QString *why);

    // The state file of the installation: the highest accepted serial and
    // the desk's identity for staged rollouts.
    static inline const QString kStateFile = QStringLiteral("updater.state");

    // The installation's identity (32 hex digits), made and recorded the
    // first time it is asked for; one made from the machine and the folder
    // where it cannot be recorded (`note` hears of it). Throws Failure when
    // the state file cannot be read.
    static QString identity(const QString &appFolder, const std::function<void(const QString &)> &note = {});

    // The highest release serial this installation has accepted from a
    // signed manifest; 0 for none or when it cannot be read.
    static qint64 acceptedSerial(const QString &appFolder);

    // One value of the state file, empty when it holds none (throws Failure,
    // Refused, when the file is there but cannot be read), and its
    // replacement (false when it could be written nowhere).
    static QString readState(const QString &appFolder, const QString &key);
    static bool writeState(const QString &appFolder, const QString &key, const QString &value);
    QString readState(const QString &key) const { return readState(m_appFolder, key); }
    bool writeState(const QString &key, const QString &value) { return writeState(m_appFolder, key, value); }

private:
    std::optional<Taken> check(const QByteArray &json, bool signedByKey, const std::optional<QString> &version);
    static QString stateFolder(const QString &appFolder, bool inApplication);

    WebClient &m_web;
    ReleaseSource m_source;
    QString m_appFolder;
    QList<QByteArray> m_keys;
};
