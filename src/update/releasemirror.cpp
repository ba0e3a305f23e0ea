#include "update/releasemirror.h"

#include "common/appfolder.h"
#include "common/diskspace.h"
#include "common/failure.h"
#include "common/fileops.h"
#include "common/services.h"
#include "common/signature.h"
#include "common/textfiles.h"
#include "common/textlines.h"
#include "net/endpoints.h"
#include "net/publishedrelease.h"
#include "net/releasecheck.h"
#include "net/releasefetch.h"
#include "net/releasepatch.h"
#include "net/transfercodes.h"
#include "net/webclient.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

namespace {

const QString kVersionFile = QStringLiteral("version.txt");
const QString kManifest = QStringLiteral("release.json");
const QString kSig = QStringLiteral(".sig");

constexpr int kMoveAttempts = 10;
constexpr unsigned long kMoveRetryMs = 300;

// An answer that says the file is not published (rather than that it could
// not be fetched).
bool notPublished(const TransferResult &result)
{
    return result.code == 404 || result.code == 410;
}

// A name the manifest may give a file of updates/ itself.
bool plainName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(u'.') && !name.contains(u'/') && !name.contains(u'\\')
        && !name.contains(u':');
}

// Replaces the file with the bytes, whole or not at all.
void writeWhole(const QString &path, const QByteArray &bytes)
{
    if (FileOps::isLink(path))
        throw Failure{FailureCode::PathAccess, FileOps::linkRefused(path)};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        throw DiskSpace::writeFailure(
            path, bytes.size(),
            QStringLiteral("%1 cannot be written: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
}

void moveIn(const QString &from, const QString &to)
{
    // A desk or the web server may hold the old file open for a moment
    // (Windows does not replace an open file).
    for (int attempt = 0; attempt < kMoveAttempts && !FileOps::replace(from, to); ++attempt)
        QThread::msleep(kMoveRetryMs);
    if (QFile::exists(from)) {
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("%1 cannot be put in place").arg(QDir::toNativeSeparators(to))};
    }
}

// The bytes of a file of the mirror's own, when it is a plain file no
// larger than a text may be; nothing otherwise. A pipe in its place is
// never waited on: the run would hold the folder's lock for ever.
std::optional<QByteArray> readOwn(const QString &path)
{
    QFile file;
    if (FileOps::openForReading(file, path) != FileOps::ReadOpen::Opened)
        return std::nullopt;
    const qint64 limit = TransferOptions().maxTextBytes;
    QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

// A failed transfer as the run's outcome, naming the file.
Outcome failedOn(const QString &name, const TransferResult &result)
{
    Outcome failed = result.failure().outcome();
    failed.reason = name + QStringLiteral(": ") + failed.reason;
    return failed;
}

// A download's check that the file is the one the release lists.
std::function<int(const QString &, const QByteArray &)> listedCheck(const ReleaseFile &entry)
{
    return [entry](const QString &path, const QByteArray &) {
        return matchesEntry(path, entry) ? 0 : TransferCode::NotListed;
    };
}

// Removes the patches of updates/patches that the release no longer lists.
void removeUnlistedPatches(const ReleaseManifest &manifest, const QDir &updates)
{
    QStringList listedPatches;
    for (auto it = manifest.files.begin(); it != manifest.files.end(); ++it) {
        for (const ReleasePatchEntry &patch : it->patches)
            listedPatches << QFileInfo(ReleasePatch::publishedName(it.key(), patch.from)).fileName();
    }
    const QDir patches(updates.filePath(QStringLiteral("patches")));
    for (const QString &old : patches.entryList({QStringLiteral("*.patch")}, QDir::Files)) {
        if (!listedPatches.contains(old))
            QFile::remove(patches.filePath(old));
    }
}

} // namespace

ReleaseMirror::ReleaseMirror(Services &services, WebClient &web, const Endpoints &endpoints, QString folder,
                             QList<QByteArray> keys)
    : m_services(services), m_web(web), m_endpoints(endpoints), m_folder(std::move(folder)), m_keys(std::move(keys))
{
}

Outcome ReleaseMirror::run()
{
    if (!QDir().mkpath(inFolder(m_folder, QStringLiteral("updates")))) {
        return Outcome::of(OutcomeKind::Failed, FailureCode::PathAccess,
                           QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(m_folder)));
    }
    const QString lockPath = inFolder(m_folder, QStringLiteral("updater.lock"));
    const FileOps::FileLock lock(lockPath);
    if (lock.state() == FileOps::FileLock::State::Busy)
        return Outcome::of(OutcomeKind::Busy, 0, QStringLiteral("another updater is mirroring into this folder"));
    if (lock.state() != FileOps::FileLock::State::Held) {
        return Outcome::of(OutcomeKind::Failed, FailureCode::PathAccess,
                           lock.state() == FileOps::FileLock::State::Link
                               ? FileOps::linkRefused(lockPath)
                               : QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(lockPath)));
    }
    Outcome outcome;
    if (const std::optional<Failure> failure = attempt([&] { outcome = mirror(); }))
        outcome = failure->outcome();
    return outcome;
}

// The folders of one run, and what it has brought into the staging
// folder so far.
struct ReleaseMirror::Staging
{
    explicit Staging(const QString &folder)
        : updates(inFolder(folder, QStringLiteral("updates"))), root(inFolder(folder, QStringLiteral(".staging"))),
          staging(inFolder(root, QStringLiteral("updates")))
    {
    }

    QDir updates;
    QString root;
    QDir staging;
    QStringList staged;  // below updates/, in the order they move in
    QStringList gone;    // below updates/: what the release no longer serves
    QStringList brought; // "name: how", for the outcome
};

Outcome ReleaseMirror::mirror()
{
    Staging stage(m_folder);

    // The release as a desk takes it, the version included.
    const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
    const TransferResult versionText = ReleaseSource::publisher(m_endpoints).fetchText(m_web, kVersionFile, stamp);
    const QByteArray versionBytes = versionText.bodyOrThrow();
    PublishedRelease published(m_web, m_endpoints, m_folder, m_keys);
    published.note = [this](const QString &line) { m_services.note(line); };
    const std::optional<PublishedRelease::Taken> taken = published.fetch(TextRules::normalizeVersion(versionText.text));
    if (!taken) {
        return Outcome::of(OutcomeKind::Refused, TransferCode::BadManifest,
                           QStringLiteral("the publisher has no release.json that can be read: a mirror serves only "
                                          "files it can check"));
    }
    if (taken->expired)
        return Outcome::of(OutcomeKind::Expired, TransferCode::ExpiredManifest, taken->expiredReason);
    const ReleaseManifest &manifest = taken->manifest;
    const QString release = QStringLiteral("%1 (serial %2)").arg(manifest.version).arg(manifest.serial);
    if (!taken->signedByKey)
        m_services.note(QStringLiteral("this build has no keys: the mirror's files are checked against an unsigned "
                                       "release.json"));

    makeStaging(stage);
    if (std::optional<Outcome> failed = bringFiles(manifest, stamp, stage))
        return *failed;
    const bool sameManifest = readOwn(stage.updates.filePath(kManifest)) == taken->json;
    const bool sameVersion = readOwn(stage.updates.filePath(kVersionFile)) == versionBytes;
    if (stage.staged.isEmpty() && stage.gone.isEmpty() && sameManifest && sameVersion) {
        QDir(stage.root).removeRecursively();
        return Outcome::of(OutcomeKind::UpToDate, 0, QStringLiteral("the mirror holds %1 already").arg(release));
    }

    moveInPlace(stage, *taken, versionBytes);
    removeUnlistedPatches(manifest, stage.updates);
    QDir(stage.root).removeRecursively();
    return Outcome::of(OutcomeKind::Done, 0,
                       QStringLiteral("the mirror holds %1%2")
                           .arg(release,
                                stage.brought.isEmpty()
                                    ? QString()
                                    : QStringLiteral("; ") + stage.brought.join(QStringLiteral("; "))));
}

void ReleaseMirror::makeStaging(const Staging &stage)
{
    // The tool's folders are never written through a link.
    for (const QString &folder :
         {stage.root, stage.staging.path(), stage.updates.path(), stage.updates.filePath(QStringLiteral("patches"))}) {
        if (FileOps::isLink(folder))
            throw Failure{FailureCode::PathAccess, FileOps::linkRefused(folder)};
    }
    if (!stage.staging.mkpath(QStringLiteral("patches"))) {
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(stage.staging.path()))};
    }
}

std::optional<Outcome> ReleaseMirror::bringFiles(const ReleaseManifest &manifest, const QString &stamp, Staging &stage)
{
    // A patch just brought is not fetched twice.
    ReleaseFetch fetch(m_web,
                       {ReleaseSource::local(stage.staging.path(), QStringLiteral("the patches just brought")),
                        ReleaseSource::publisher(m_endpoints)});
    fetch.note = [this](const QString &line) { m_services.note(line); };
    for (auto it = manifest.files.begin(); it != manifest.files.end(); ++it) {
        const QString &name = it.key();
        if (!plainName(name))
            continue; // only files of updates/ itself
        // The patches first: the program may then come from them.
        for (const ReleasePatchEntry &patch : it->patches) {
            if (std::optional<Outcome> failed = bringPatch(name, patch, stage))
                return failed;
        }
        if (std::optional<Outcome> failed = bringFile(fetch, name, *it, stage))
            return failed;
        if (std::optional<Outcome> failed = bringSignature(name, stamp, stage))
            return failed;
    }
    return std::nullopt;
}

std::optional<Outcome> ReleaseMirror::bringPatch(const QString &name, const ReleasePatchEntry &patch, Staging &stage)
{
    const QString patchName = ReleasePatch::publishedName(name, patch.from);
    const ReleaseFile listed{patch.size, patch.sha256, {}};
    if (matchesEntry(stage.updates.filePath(patchName), listed))
        return std::nullopt;
    if (matchesEntry(stage.staging.filePath(patchName), listed)) {
        stage.staged << patchName;
        return std::nullopt;
    }
    DownloadOptions options;
    options.maxBytes = patch.size;
    options.exactBytes = patch.size;
    options.check = listedCheck(listed);
    const TransferResult result
        = ReleaseSource::publisher(m_endpoints).download(m_web, patchName, stage.staging.filePath(patchName), options);
    if (result.code == TransferCode::DiskFull || result.code == TransferCode::Interrupted)
        return failedOn(patchName, result);
    if (!result.ok()) {
        // The desks download the whole file instead.
        m_services.note(QStringLiteral("%1 is not mirrored: %2").arg(patchName, result.reason));
        if (QFile::exists(stage.updates.filePath(patchName)))
            stage.gone << patchName;
        return std::nullopt;
    }
    stage.staged << patchName;
    return std::nullopt;
}

std::optional<Outcome> ReleaseMirror::bringFile(ReleaseFetch &fetch, const QString &name, const ReleaseFile &entry,
                                                Staging &stage)
{
    if (matchesEntry(stage.staging.filePath(name), entry)) {
        stage.staged << name; // brought by a run that stopped before the moves
        return std::nullopt;
    }
    if (matchesEntry(stage.updates.filePath(name), entry))
        return std::nullopt;
    DownloadOptions options;
    options.maxBytes = entry.size;
    options.exactBytes = entry.size;
    options.keepPartial = true;
    options.check = listedCheck(entry);
    const ReleaseFetch::Fetched fetched
        = fetch.fetch(name, entry, stage.staging.filePath(name), stage.updates.filePath(name), options);
    if (!fetched.result.ok() || fetched.how.isEmpty())
        return failedOn(name, fetched.result);
    m_services.note(QStringLiteral("%1: %2").arg(name, fetched.how));
    stage.brought << QStringLiteral("%1: %2").arg(name, fetched.how);
    stage.staged << name;
    return std::nullopt;
}

std::optional<Outcome> ReleaseMirror::bringSignature(const QString &name, const QString &stamp, Staging &stage)
{
    const TransferResult signature = ReleaseSource::publisher(m_endpoints).fetchText(m_web, name + kSig, stamp);
    if (!signature.ok() && !notPublished(signature))
        return failedOn(name + kSig, signature);
    const QString bytesAt = stage.staged.contains(name) ? stage.staging.filePath(name) : stage.updates.filePath(name);
    const bool valid = signature.ok()
        && (m_keys.isEmpty() || Signature::verifyFile(bytesAt, Signature::parseSignatureText(signature.body), m_keys));
    if (signature.ok() && !valid)
        m_services.note(QStringLiteral("%1 is not mirrored: it is not a valid signature of %2").arg(name + kSig, name));
    const bool same = readOwn(stage.updates.filePath(name + kSig)) == signature.body;
    if (valid && !same) {
        writeWhole(stage.staging.filePath(name + kSig), signature.body);
        stage.staged << name + kSig;
    } else if (!valid && QFileInfo::exists(stage.updates.filePath(name + kSig))) {
        stage.gone << name + kSig;
    }
    return std::nullopt;
}

void ReleaseMirror::moveInPlace(const Staging &stage, const PublishedRelease::Taken &taken,
                                const QByteArray &versionBytes)
{
    if (!stage.updates.mkpath(QStringLiteral("patches"))) {
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("%1 cannot be made")
                          .arg(QDir::toNativeSeparators(stage.updates.filePath(QStringLiteral("patches"))))};
    }
    for (const QString &name : stage.staged)
        moveIn(stage.staging.filePath(name), stage.updates.filePath(name));
    for (const QString &name : stage.gone)
        QFile::remove(stage.updates.filePath(name));
    if (taken.signedByKey)
        writeWhole(stage.updates.filePath(kManifest + kSig), taken.signature);
    writeWhole(stage.updates.filePath(kManifest), taken.json);
    writeWhole(stage.updates.filePath(kVersionFile), versionBytes);
}
