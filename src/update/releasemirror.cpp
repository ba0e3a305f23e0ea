#include "update/releasemirror.h"

#include "common/appfolder.h"
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

namespace {

const QString kVersionFile = QStringLiteral("version.txt");
const QString kManifest = QStringLiteral("release.json");
const QString kSig = QStringLiteral(".sig");

// Replaces the file with the bytes, whole or not at all.
void writeWhole(const QString &path, const QByteArray &bytes)
{
    if (FileOps::isLink(path))
        throw Failure{FailureCode::PathAccess, FileOps::linkRefused(path)};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        throw Failure{
            FailureCode::PathAccess,
            QStringLiteral("%1 cannot be written: %2").arg(QDir::toNativeSeparators(path), file.errorString())};
    }
}

void moveIn(const QString &from, const QString &to)
{
    if (!FileOps::replace(from, to))
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("%1 cannot be put in place").arg(QDir::toNativeSeparators(to))};
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

Outcome ReleaseMirror::mirror()
{
    const QDir updates(inFolder(m_folder, QStringLiteral("updates")));
    QDir staging(inFolder(m_folder, QStringLiteral(".staging")));
    auto note = [this](const QString &line) { m_services.note(line); };

    // The release as a desk takes it, the version included.
    const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
    const TransferResult versionText = ReleaseSource::publisher(m_endpoints).fetchText(m_web, kVersionFile, stamp);
    const QByteArray versionBytes = versionText.bodyOrThrow();
    PublishedRelease published(m_web, m_endpoints, m_folder, m_keys);
    published.note = note;
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
        note(QStringLiteral("this build has no keys: the mirror's files are checked against an unsigned "
                            "release.json"));

    // What is missing or differs, brought into the staging folder.
    if (FileOps::isLink(staging.path()))
        throw Failure{FailureCode::PathAccess, FileOps::linkRefused(staging.path())};
    if (!staging.mkpath(QStringLiteral("patches")))
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(staging.path()))};
    QStringList staged; // below updates/, in the order they move in
    QStringList brought;
    ReleaseFetch fetch(m_web, {ReleaseSource::publisher(m_endpoints)});
    fetch.note = note;
    for (auto it = manifest.files.begin(); it != manifest.files.end(); ++it) {
        const QString &name = it.key();
        if (name.contains(u'/') || name.contains(u'\\') || name.startsWith(u'.'))
            continue; // only files of updates/ itself
        if (!matchesEntry(updates.filePath(name), *it)) {
            DownloadOptions options;
            options.maxBytes = it->size;
            options.exactBytes = it->size;
            options.keepPartial = true;
            options.check = [entry = *it](const QString &path, const QByteArray &) {
                return matchesEntry(path, entry) ? 0 : TransferCode::NotListed;
            };
            const ReleaseFetch::Fetched fetched
                = fetch.fetch(name, *it, staging.filePath(name), updates.filePath(name), options);
            if (!fetched.result.ok()) {
                Outcome failed = fetched.result.failure().outcome();
                failed.reason = name + QStringLiteral(": ") + failed.reason;
                return failed;
            }
            note(QStringLiteral("%1: %2").arg(name, fetched.how));
            brought << QStringLiteral("%1: %2").arg(name, fetched.how);
            staged << name;
        }
        for (const ReleasePatchEntry &patch : it->patches) {
            const QString patchName = ReleasePatch::publishedName(name, patch.from);
            const ReleaseFile listed{patch.size, patch.sha256, {}};
            if (matchesEntry(updates.filePath(patchName), listed))
                continue;
            DownloadOptions options;
            options.maxBytes = patch.size;
            options.exactBytes = patch.size;
            options.check = [listed](const QString &path, const QByteArray &) {
                return matchesEntry(path, listed) ? 0 : TransferCode::NotListed;
            };
            const TransferResult result = ReleaseSource::publisher(m_endpoints)
                                              .download(m_web, patchName, staging.filePath(patchName), options);
            if (!result.ok()) {
                Outcome failed = result.failure().outcome();
                failed.reason = patchName + QStringLiteral(": ") + failed.reason;
                return failed;
            }
            staged << patchName;
        }
        // The file's own signature, for builds that check it: taken when
        // it is published (and, with keys, valid for the listed bytes).
        const TransferResult signature = ReleaseSource::publisher(m_endpoints).fetchText(m_web, name + kSig, stamp);
        const QString bytesAt = staged.contains(name) ? staging.filePath(name) : updates.filePath(name);
        if (signature.ok()
            && (m_keys.isEmpty()
                || Signature::verifyFile(bytesAt, Signature::parseSignatureText(signature.body), m_keys))) {
            QFile current(updates.filePath(name + kSig));
            if (!current.open(QIODevice::ReadOnly) || current.readAll() != signature.body) {
                writeWhole(staging.filePath(name + kSig), signature.body);
                staged << name + kSig;
            }
        }
    }
    QFile currentManifest(updates.filePath(kManifest));
    QFile currentVersion(updates.filePath(kVersionFile));
    const bool sameManifest = currentManifest.open(QIODevice::ReadOnly) && currentManifest.readAll() == taken->json;
    const bool sameVersion = currentVersion.open(QIODevice::ReadOnly) && currentVersion.readAll() == versionBytes;
    if (staged.isEmpty() && sameManifest && sameVersion) {
        staging.removeRecursively();
        return Outcome::of(OutcomeKind::UpToDate, 0, QStringLiteral("the mirror holds %1 already").arg(release));
    }

    // The files, then the manifest and its signature, the version last.
    if (!updates.mkpath(QStringLiteral("patches"))) {
        throw Failure{FailureCode::PathAccess,
                      QStringLiteral("%1 cannot be made")
                          .arg(QDir::toNativeSeparators(updates.filePath(QStringLiteral("patches"))))};
    }
    for (const QString &name : staged)
        moveIn(staging.filePath(name), updates.filePath(name));
    if (taken->signedByKey)
        writeWhole(updates.filePath(kManifest + kSig), taken->signature);
    writeWhole(updates.filePath(kManifest), taken->json);
    writeWhole(updates.filePath(kVersionFile), versionBytes);

    // Patches no release lists any more.
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
    staging.removeRecursively();
    return Outcome::of(OutcomeKind::Done, 0,
                       QStringLiteral("the mirror holds %1%2")
                           .arg(release,
                                brought.isEmpty() ? QString()
                                                  : QStringLiteral("; ") + brought.join(QStringLiteral("; "))));
}
