// updater-sign: the publisher's tool for signed releases.
//
//   updater-sign keygen [SECRET_FILE] makes a key pair: the secret key goes
//                                     to SECRET_FILE (readable by its owner
//                                     only; never overwritten), the public
//                                     key is printed, in base64, for
//                                     UPDATER_TRUSTED_KEYS, and its
//                                     fingerprint (SHA256:...) on a second
//                                     line, to standard error
//   updater-sign sign FILE [SECRET_FILE]
//                                     writes FILE.sig: the Ed25519
//                                     signature of the whole FILE, base64,
//                                     one line
//   updater-sign verify FILE [KEY]    checks FILE.sig against KEY (base64,
//                                     of the 32 bytes or the DER form),
//                                     or against the keys this build was
//                                     made with
//
// SECRET_FILE is, when not given, the file UPDATER_SIGNING_KEY names, else
// updater-signing.key in the working folder. Exit codes: 0 done (verify:
// valid), 1 invalid signature, 2 usage, 3 a file could not be read or
// written.
#include "common/signature.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#include <sodium.h>

namespace {

constexpr int kInvalid = 1;
constexpr int kUsage = 2;
constexpr int kFileError = 3;

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int usage()
{
    err() << "usage: updater-sign keygen [SECRET_FILE]\n"
             "       updater-sign sign FILE [SECRET_FILE]\n"
             "       updater-sign verify FILE [KEY]\n";
    return kUsage;
}

QString secretFile(const QString &given)
{
    if (!given.isEmpty())
        return given;
    const QString named = qEnvironmentVariable("UPDATER_SIGNING_KEY");
    return named.isEmpty() ? QStringLiteral("updater-signing.key") : named;
}

int keygen(const QString &secretPath)
{
    if (QFile::exists(secretPath)) {
        err() << secretPath << " exists already; a key is never overwritten.\n";
        return kFileError;
    }
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    const QByteArray secret = QByteArray(reinterpret_cast<const char *>(secretKey), sizeof secretKey).toBase64();
    sodium_memzero(secretKey, sizeof secretKey);
    QSaveFile file(secretPath);
    // Owner only, before a byte of the key is written.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(secret + '\n') != secret.size() + 1 || !file.commit()) {
        err() << "Cannot write " << secretPath << ": " << file.errorString() << "\n";
        return kFileError;
    }
    const QByteArray key(reinterpret_cast<const char *>(publicKey), sizeof publicKey);
    QTextStream(stdout) << key.toBase64() << "\n";
    // Beside it, not in the output that scripts read: the fingerprint that
    // `updater --version` shows for a build trusting the key.
    err() << Signature::fingerprint(key) << "\n";
    return 0;
}

int sign(const QString &secretPath, const QString &path)
{
    QFile secretFile(secretPath);
    QFile input(path);
    if (!secretFile.open(QIODevice::ReadOnly) || !input.open(QIODevice::ReadOnly)) {
        err() << "Cannot read " << (secretFile.isOpen() ? path : secretPath) << "\n";
        return kFileError;
    }
    QByteArray secret = QByteArray::fromBase64(secretFile.readAll().trimmed());
    if (secret.size() != crypto_sign_SECRETKEYBYTES) {
        err() << secretPath << " holds no secret key made by updater-sign keygen.\n";
        return kFileError;
    }
    const qint64 size = input.size();
    const uchar *bytes = size > 0 ? input.map(0, size) : nullptr;
    const QByteArray whole = size > 0 && !bytes ? input.readAll() : QByteArray();
    const auto *message = bytes ? bytes : reinterpret_cast<const uchar *>(whole.constData());
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, message, static_cast<unsigned long long>(size),
                         reinterpret_cast<const unsigned char *>(secret.constData()));
    sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
    QSaveFile out(path + QStringLiteral(".sig"));
    const QByteArray text = QByteArray(reinterpret_cast<const char *>(signature), sizeof signature).toBase64() + '\n';
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        err() << "Cannot write " << out.fileName() << ": " << out.errorString() << "\n";
        return kFileError;
    }
    QTextStream(stdout) << out.fileName() << "\n";
    return 0;
}

int verify(const QString &path, const QString &key)
{
    QString error;
    const QList<QByteArray> keys = key.isEmpty() ? Signature::trustedKeys() : Signature::parseKeys(key, &error);
    if (keys.isEmpty()) {
        err() << (error.isEmpty() ? QStringLiteral("No key given, and this build trusts none.") : error) << "\n";
        return kUsage;
    }
    QFile sig(path + QStringLiteral(".sig"));
    if (!sig.open(QIODevice::ReadOnly) || !QFile::exists(path)) {
        err() << "Cannot read " << path << " and " << sig.fileName() << "\n";
        return kFileError;
    }
    if (!Signature::verifyFile(path, Signature::parseSignatureText(sig.readAll()), keys)) {
        QTextStream(stdout) << "invalid: " << path << "\n";
        return kInvalid;
    }
    QTextStream(stdout) << "valid: " << path << "\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QCoreApplication app(argc, argv);
    if (sodium_init() < 0) {
        err() << "libsodium cannot start.\n";
        return kFileError;
    }
    const QStringList args = QCoreApplication::arguments();
    const QString command = args.value(1);
    if (command == QLatin1String("keygen") && (args.size() == 2 || args.size() == 3))
        return keygen(secretFile(args.value(2)));
    if (command == QLatin1String("sign") && (args.size() == 3 || args.size() == 4))
        return sign(secretFile(args.value(3)), args.at(2));
    if (command == QLatin1String("verify") && (args.size() == 3 || args.size() == 4))
        return verify(args.at(2), args.value(3));
    return usage();
}
