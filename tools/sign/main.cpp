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
//                                     made with; for a release.json also
//                                     what it says and the files it lists
//                                     beside it
//   updater-sign release DIR --key SECRET_FILE --version TEXT
//                [--expires-days N] [--rollout PERCENT] [--halt] [--keep-if-start-fails]
//                [--downgrade] [--previous OLD_EXE]...
//                                     publishes what DIR/updates holds
//                                     (Vantora.exe, LATEST.sql): each
//                                     file's .sig, a patch to Vantora.exe
//                                     from each OLD_EXE (in
//                                     patches/, named by the old build's
//                                     SHA-256), release.json and its
//                                     .sig (serial one more than the
//                                     release.json there, else the Unix
//                                     time; expiry 14 days unless given),
//                                     and version.txt last. Refused: a
//                                     version holding a control
//                                     character, a Vantora.exe that is
//                                     empty or has no executable header
//                                     (MZ, ELF, #!). --downgrade lets
//                                     desks step back to a version
//                                     below theirs
//   updater-sign make-patch OLD NEW PATCH
//   updater-sign apply-patch OLD PATCH OUT
//                                     a patch on its own, and applied (for
//                                     measuring)
//
// SECRET_FILE is, when not given, the file UPDATER_SIGNING_KEY names, else
// updater-signing.key in the working folder. Exit codes: 0 done (verify:
// valid), 1 invalid signature, 2 usage (a version with a control
// character included), 3 a file could not be read or written, or is a
// Vantora.exe no desk takes.
#include "common/signature.h"
#include "common/textlines.h"
#include "net/releasemanifest.h"
#include "net/releasepatch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
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
             "       updater-sign verify FILE [KEY]\n"
             "       updater-sign release DIR --key SECRET_FILE --version TEXT [--expires-days N]\n"
             "                    [--rollout PERCENT] [--halt] [--keep-if-start-fails] [--downgrade]\n"
             "                    [--previous OLD_EXE]...\n"
             "       updater-sign make-patch OLD NEW PATCH\n"
             "       updater-sign apply-patch OLD PATCH OUT\n";
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

// The secret key in the file, or empty (said on stderr).
QByteArray readSecret(const QString &secretPath)
{
    QFile secretFile(secretPath);
    if (!secretFile.open(QIODevice::ReadOnly)) {
        err() << "Cannot read " << secretPath << "\n";
        return {};
    }
    QByteArray secret = QByteArray::fromBase64(secretFile.readAll().trimmed());
    if (secret.size() != crypto_sign_SECRETKEYBYTES) {
        err() << secretPath << " holds no secret key made by updater-sign keygen.\n";
        sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
        return {};
    }
    return secret;
}

// Replaces the file with the bytes, whole or not at all.
bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        err() << "Cannot write " << path << ": " << out.errorString() << "\n";
        return false;
    }
    return true;
}

// The .sig text of the bytes: base64, one line.
QByteArray signatureOf(const QByteArray &secret, const uchar *message, qint64 size)
{
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, message, static_cast<unsigned long long>(size),
                         reinterpret_cast<const unsigned char *>(secret.constData()));
    return QByteArray(reinterpret_cast<const char *>(signature), sizeof signature).toBase64() + '\n';
}

// The .sig text of the file at `path` (mapped, not read whole), or empty.
QByteArray signatureText(const QByteArray &secret, const QString &path)
{
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        err() << "Cannot read " << path << "\n";
        return {};
    }
    const qint64 size = input.size();
    const uchar *bytes = size > 0 ? input.map(0, size) : nullptr;
    const QByteArray whole = size > 0 && !bytes ? input.readAll() : QByteArray();
    return signatureOf(secret, bytes ? bytes : reinterpret_cast<const uchar *>(whole.constData()), size);
}

int sign(const QString &secretPath, const QString &path)
{
    QByteArray secret = readSecret(secretPath);
    if (secret.isEmpty())
        return kFileError;
    const QByteArray text = signatureText(secret, path);
    sodium_memzero(secret.data(), static_cast<size_t>(secret.size()));
    if (text.isEmpty() || !writeWhole(path + QStringLiteral(".sig"), text))
        return kFileError;
    QTextStream(stdout) << path << ".sig\n";
    return 0;
}

// What a signed release.json says, and whether the files it lists beside
// it are the ones it lists.
int verifyManifest(const QString &path)
{
    QFile file(path);
    QString error;
    const std::optional<ReleaseManifest> manifest
        = file.open(QIODevice::ReadOnly) ? ReleaseManifest::parse(file.readAll(), &error) : std::nullopt;
    QTextStream out(stdout);
    if (!manifest) {
        out << "invalid: " << path << ": " << error << "\n";
        return kInvalid;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    out << "serial " << manifest->serial << ", version " << manifest->version << ", signed "
        << manifest->signedAt.toString(Qt::ISODate) << ", expires " << manifest->expires.toString(Qt::ISODate)
        << (now >= manifest->expires ? " (expired)" : "") << ", rollout " << manifest->rolloutPercent << " %"
        << (manifest->halted ? ", halted" : "") << (manifest->downgrade ? ", a step back" : "") << "\n";
    int result = now >= manifest->expires ? kInvalid : 0;
    const QDir folder = QFileInfo(path).dir();
    for (auto it = manifest->files.begin(); it != manifest->files.end(); ++it) {
        QString why;
        const bool matches = matchesEntry(folder.filePath(it.key()), *it, &why);
        out << (matches ? "valid: " : "invalid: ") << it.key() << (matches ? QString() : QStringLiteral(": ") + why)
            << "\n";
        if (!matches)
            result = kInvalid;
        for (const ReleasePatchEntry &patch : it->patches) {
            const QString name = ReleasePatch::publishedName(it.key(), patch.from);
            const bool patchMatches
                = matchesEntry(folder.filePath(name), ReleaseFile{patch.size, patch.sha256, {}}, &why);
            out << (patchMatches ? "valid: " : "invalid: ") << name
                << (patchMatches ? QString() : QStringLiteral(": ") + why) << "\n";
            if (!patchMatches)
                result = kInvalid;
        }
    }
    return result;
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
    return QFileInfo(path).fileName() == QLatin1String("release.json") ? verifyManifest(path) : 0;
}

struct ReleaseOptions
{
    QString folder;
    QString secretPath;
    QString version;
    qint64 expiresDays = 14;
    int rolloutPercent = 100;
    bool halt = false;
    bool keepIfStartFails = false; // desks keep it where it does not start
    bool downgrade = false;        // desks take it even below their version
    QStringList previous;          // earlier builds of Vantora.exe to patch from
};

// A patch to Vantora.exe from each earlier build, listed in the manifest.
bool addPatches(ReleaseManifest &manifest, const QDir &updates, const QStringList &previous)
{
    const QString name = QStringLiteral("Vantora.exe");
    auto entry = manifest.files.find(name);
    if (entry == manifest.files.end()) {
        err() << "--previous needs " << updates.filePath(name) << ".\n";
        return false;
    }
    if (!updates.mkpath(QStringLiteral("patches"))) {
        err() << "Cannot make " << updates.filePath(QStringLiteral("patches")) << "\n";
        return false;
    }
    for (const QString &old : previous) {
        const QByteArray from = fileSha256(old);
        if (from.isEmpty()) {
            err() << "Cannot read " << old << "\n";
            return false;
        }
        if (from == entry->sha256 || entry->patchFrom(from))
            continue; // the same build, or one patched already
        const QString path = updates.filePath(ReleasePatch::publishedName(name, from));
        int windowLog = 0;
        const QString why = ReleasePatch::make(old, updates.filePath(name), path, 19, &windowLog);
        if (!why.isEmpty()) {
            err() << "No patch from " << old << ": " << why << "\n";
            return false;
        }
        const QByteArray hash = fileSha256(path);
        if (hash.isEmpty())
            return false;
        entry->patches << ReleasePatchEntry{from, QFileInfo(path).size(), hash, windowLog};
        QTextStream(stdout) << "patch from " << old << ": " << QFileInfo(path).size() << " bytes of " << entry->size
                            << "\n";
    }
    return true;
}

// Why no desk would take the program at `path` (empty: one would): empty,
// or without the executable header of Windows ("MZ") or of Linux (ELF,
// "#!"). An error page saved in its place is the usual cause.
QString notAProgram(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("it cannot be read");
    const QByteArray head = file.read(4);
    if (head.isEmpty())
        return QStringLiteral("it is empty");
    if (head.startsWith("MZ")
        || head
            == "\x7F"
               "ELF"
        || head.startsWith("#!"))
        return {};
    return QStringLiteral("it does not begin with an executable header (MZ, ELF or #!)");
}

// Why the release cannot be made from what it was given, said on stderr:
// the exit code, 0 when it can. The version as given: a line end inside
// would run two lines into one version, and desks refuse what they cannot
// write back.
int refusedInputs(const QDir &updates, const QString &version)
{
    if (version.isEmpty()
        || std::any_of(version.begin(), version.end(), [](QChar c) { return c.category() == QChar::Other_Control; })) {
        err() << "--version needs a version on one line, without control characters.\n";
        return kUsage;
    }
    const QString program = updates.filePath(QStringLiteral("Vantora.exe"));
    if (QFileInfo(program).isFile()) {
        if (const QString why = notAProgram(program); !why.isEmpty()) {
            err() << program << " is not released: " << why << "; no desk would take it.\n";
            return kFileError;
        }
    }
    return 0;
}

// The manifest's own fields, signed now (to the second).
ReleaseManifest newManifest(const ReleaseOptions &options, const QString &version)
{
    ReleaseManifest manifest;
    manifest.version = version;
    manifest.signedAt = QDateTime::currentDateTimeUtc();
    manifest.signedAt.setTime(
        QTime(manifest.signedAt.time().hour(), manifest.signedAt.time().minute(), manifest.signedAt.time().second()));
    manifest.expires = manifest.signedAt.addDays(options.expiresDays);
    manifest.rolloutPercent = options.rolloutPercent;
    manifest.halted = options.halt;
    manifest.keepIfStartFails = options.keepIfStartFails;
    manifest.downgrade = options.downgrade;
    return manifest;
}

// The serial only grows: one more than the manifest published before, else
// the time of signing. False (said on stderr) where the one before cannot
// be read or has the largest serial.
bool setSerial(ReleaseManifest &manifest, const QDir &updates)
{
    QFile previous(updates.filePath(QStringLiteral("release.json")));
    if (!previous.exists()) {
        manifest.serial = manifest.signedAt.toSecsSinceEpoch();
        return true;
    }
    QString error;
    const std::optional<ReleaseManifest> old
        = previous.open(QIODevice::ReadOnly) ? ReleaseManifest::parse(previous.readAll(), &error) : std::nullopt;
    if (!old) {
        err() << previous.fileName() << " cannot be read (" << error
              << "); move it away to start the serials from the current time.\n";
        return false;
    }
    if (old->serial >= kMaxSerial) {
        err() << previous.fileName() << " has the largest serial a manifest may carry.\n";
        return false;
    }
    manifest.serial = old->serial + 1;
    return true;
}

// Signs Vantora.exe and LATEST.sql where they are (each FILE.sig) and lists
// them in the manifest.
bool signFiles(ReleaseManifest &manifest, const QDir &updates, const QByteArray &secret)
{
    for (const QString &name : {QStringLiteral("Vantora.exe"), QStringLiteral("LATEST.sql")}) {
        const QString path = updates.filePath(name);
        if (!QFileInfo(path).isFile())
            continue;
        const QByteArray hash = fileSha256(path);
        const QByteArray text = signatureText(secret, path);
        if (hash.isEmpty() || text.isEmpty() || !writeWhole(path + QStringLiteral(".sig"), text))
            return false;
        manifest.files.insert(name, ReleaseFile{QFileInfo(path).size(), hash, {}});
    }
    return true;
}

// The manifest and its signature, then the version desks compare with:
// each file whole, the version last.
bool writeManifest(const ReleaseManifest &manifest, const QDir &updates, const QByteArray &secret)
{
    const QString manifestPath = updates.filePath(QStringLiteral("release.json"));
    const QByteArray json = manifest.toJson();
    const QByteArray manifestSig = signatureOf(secret, reinterpret_cast<const uchar *>(json.constData()), json.size());
    return writeWhole(manifestPath, json) && writeWhole(manifestPath + QStringLiteral(".sig"), manifestSig)
        && writeWhole(updates.filePath(QStringLiteral("version.txt")), manifest.version.toUtf8() + "\r\n");
}

int release(const ReleaseOptions &options)
{
    const QDir updates(QDir(options.folder).filePath(QStringLiteral("updates")));
    const QString version = TextRules::trimBlanks(options.version);
    if (const int refused = refusedInputs(updates, version); refused != 0)
        return refused;
    QByteArray secret = readSecret(options.secretPath);
    if (secret.isEmpty())
        return kFileError;
    auto forget = qScopeGuard([&] { sodium_memzero(secret.data(), static_cast<size_t>(secret.size())); });

    ReleaseManifest manifest = newManifest(options, version);
    if (!setSerial(manifest, updates) || !signFiles(manifest, updates, secret))
        return kFileError;
    if (!options.previous.isEmpty() && !addPatches(manifest, updates, options.previous))
        return kFileError;
    if (manifest.files.isEmpty()) {
        err() << updates.path() << " holds neither Vantora.exe nor LATEST.sql.\n";
        return kFileError;
    }
    if (!writeManifest(manifest, updates, secret))
        return kFileError;
    QTextStream(stdout) << "released " << version << (options.downgrade ? " (a step back)" : "") << " as serial "
                        << manifest.serial << ", expires " << manifest.expires.toString(Qt::ISODate) << ": "
                        << manifest.files.keys().join(u' ') << "\n";
    return 0;
}

int releaseCommand(const QStringList &args)
{
    ReleaseOptions options;
    options.folder = args.value(2);
    bool ok = !options.folder.isEmpty() && !options.folder.startsWith(QLatin1String("--"));
    const QStringList valued{QStringLiteral("--key"), QStringLiteral("--version"), QStringLiteral("--expires-days"),
                             QStringLiteral("--rollout")};
    for (qsizetype i = 3; ok && i < args.size(); ++i) {
        const QString &option = args.at(i);
        if (option == QLatin1String("--keep-if-start-fails")) {
            options.keepIfStartFails = true;
            continue;
        }
        if (option == QLatin1String("--halt")) {
            options.halt = true;
            continue;
        }
        if (option == QLatin1String("--downgrade")) {
            options.downgrade = true;
            continue;
        }
        if (option == QLatin1String("--previous") && i + 1 < args.size()) {
            options.previous << args.at(++i);
            continue;
        }
        if (!valued.contains(option) || i + 1 >= args.size()) {
            ok = false;
            break;
        }
        const QString &value = args.at(++i);
        if (option == QLatin1String("--key")) {
            options.secretPath = value;
        } else if (option == QLatin1String("--version")) {
            options.version = value;
        } else if (option == QLatin1String("--expires-days")) {
            // A manifest lives at most 90 days: a replayed one is refused
            // at the latest then.
            options.expiresDays = value.toLongLong(&ok);
            ok = ok && options.expiresDays >= 1 && options.expiresDays <= 90;
        } else {
            options.rolloutPercent = value.toInt(&ok);
            ok = ok && options.rolloutPercent >= 0 && options.rolloutPercent <= 100;
        }
    }
    if (!ok || options.version.isEmpty())
        return usage();
    options.secretPath = secretFile(options.secretPath);
    return release(options);
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
    if (command == QLatin1String("release"))
        return releaseCommand(args);
    if (command == QLatin1String("make-patch") && args.size() == 5) {
        int windowLog = 0;
        const QString why = ReleasePatch::make(args.at(2), args.at(3), args.at(4), 19, &windowLog);
        if (!why.isEmpty())
            err() << why << "\n";
        else
            QTextStream(stdout) << args.at(4) << ": " << QFileInfo(args.at(4)).size() << " bytes, window 2^"
                                << windowLog << "\n";
        return why.isEmpty() ? 0 : kFileError;
    }
    if (command == QLatin1String("apply-patch") && args.size() == 5) {
        const QString why
            = ReleasePatch::apply(args.at(2), args.at(3), args.at(4), kMaxSerial, ReleasePatch::kMaxWindowLog);
        if (!why.isEmpty())
            err() << why << "\n";
        return why.isEmpty() ? 0 : kFileError;
    }
    if (command == QLatin1String("verify") && (args.size() == 3 || args.size() == 4))
        return verify(args.at(2), args.value(3));
    return usage();
}
