#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// release.json: what the publisher released, signed as a whole in
// release.json.sig (Ed25519, base64, one line, as every .sig). One JSON
// object:
//
//   {
//     "serial": 1765280000,            a whole number that only grows
//     "version": "2.0.0",              the version version.txt announces
//     "signed": "2026-12-09T11:00:00Z",
//     "expires": "2026-12-23T11:00:00Z",
//     "files": {
//       "Vantora.exe": { "size": 23456789, "sha256": "<64 hex digits>",
//                        "patches": [ { "from": "<64 hex digits>", "size": 812345,
//                                       "sha256": "<64 hex digits>", "window": 26 } ] },
//       "LATEST.sql":  { "size": 1234, "sha256": "<64 hex digits>" }
//     },
//     "rollout": { "percent": 100, "halt": false },
//     "downgrade": true
//   }
//
// Times are UTC in ISO 8601. "rollout" may be left out (every desk, no
// halt). "downgrade" (optional, false when left out) says the publisher
// steps desks back on purpose: a build with keys then takes the version
// even where it orders below the one installed. "patches" (optional) lists patches to the file from earlier builds,
// each by the earlier build's SHA-256 ("from"), with the patch's own size
// and SHA-256 and the window it needs (a power of two); a patch entry that
// cannot be read is left out (the whole file is downloaded). Members a desk does not know are ignored, so the format can grow.
struct ReleasePatchEntry
{
    QByteArray from; // the SHA-256 of the build it applies to (32 bytes)
    qint64 size = 0;
    QByteArray sha256; // of the patch itself
    int windowLog = 0;
};

struct ReleaseFile
{
    qint64 size = 0;
    QByteArray sha256; // the 32 bytes
    QList<ReleasePatchEntry> patches;

    // The patch from the build with this SHA-256, if one is listed.
    std::optional<ReleasePatchEntry> patchFrom(const QByteArray &digest) const;
};

struct ReleaseManifest
{
    qint64 serial = 0;
    QString version;
    QDateTime signedAt;
    QDateTime expires;
    QMap<QString, ReleaseFile> files;
    int rolloutPercent = 100;
    bool halted = false;
    // How long a desk watches the program it started (-1: the desk's
    // default), and whether it keeps a program that does not start (the
    // old one cannot live with the database changes the new one made).
    int probationSeconds = -1;
    bool keepIfStartFails = false;
    // Desks take it even below the version they run: the publisher steps them back.
    bool downgrade = false;

    // The manifest in `json`, or nothing with `error` saying what is wrong.
    static std::optional<ReleaseManifest> parse(QByteArrayView json, QString *error = nullptr);
    // The JSON text the publisher signs.
    QByteArray toJson() const;

    // The entry of a published file, if the release lists it.
    std::optional<ReleaseFile> file(const QString &name) const;
};

// The largest serial a manifest may carry (JSON numbers are exact up to it).
inline constexpr qint64 kMaxSerial = qint64{1} << 53;

// A desk's place in a staged rollout, 0 to 99: the first eight bytes of
// SHA-256(identity + "\n" + version), big-endian, modulo 100. The version,
// not the serial: re-signing a release does not move the desks.
int rolloutBucket(const QByteArray &identity, const QString &version);

// The SHA-256 of a whole file, streamed; empty when it cannot be read.
QByteArray fileSha256(const QString &path);

// Whether the file at `path` is the one `entry` lists; `why` says how not.
bool matchesEntry(const QString &path, const ReleaseFile &entry, QString *why = nullptr);
