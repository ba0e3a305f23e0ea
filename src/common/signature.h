#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Ed25519 signatures of published files: the publisher signs the whole
// file, the tool checks it against the public keys compiled into it.
namespace Signature {

constexpr qsizetype kKeyBytes = 32;
constexpr qsizetype kSignatureBytes = 64;

// The keys of a ";"-separated list of public keys (blanks around each
// allowed), each the base64 of its 32 bytes or of its DER form (what
// `openssl pkey -pubout -outform DER` writes: a fixed 12-byte prefix, then
// the 32 bytes). A key that is neither makes the whole list invalid:
// `error` says which, and the result is empty.
QList<QByteArray> parseKeys(const QString &text, QString *error = nullptr);

// The keys of the texts compiled into a build, one key each. Should one
// not parse, the result is a single empty key, which no signature matches:
// the build refuses every signed file rather than check none.
QList<QByteArray> compiledKeys(const QStringList &texts);

// The keys this build trusts (the CMake cache variable UPDATER_TRUSTED_KEYS,
// checked when the build is configured, through the generated header
// trustedkeys.h). Empty for a build that checks no signature. Never read
// from the environment or a file.
const QList<QByteArray> &trustedKeys();

// A key's fingerprint as OpenSSH writes one: "SHA256:" and the base64,
// without padding, of the SHA-256 of the key's 32 bytes. Empty for
// anything that is not a key.
QString fingerprint(const QByteArray &key);

// The 64 bytes of a signature file's text: base64 on one line (a line end
// and blanks around it allowed); empty when the text is not that.
QByteArray parseSignatureText(const QByteArray &text);

// Whether `signature` is a valid Ed25519 signature of the whole file at
// `path` by one of `keys`. The file is mapped, not read into memory.
bool verifyFile(const QString &path, const QByteArray &signature, const QList<QByteArray> &keys);

// The same for bytes in memory.
bool verify(QByteArrayView message, const QByteArray &signature, const QList<QByteArray> &keys);

} // namespace Signature
