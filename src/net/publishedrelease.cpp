#include "net/publishedrelease.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/signature.h"
#include "common/textfiles.h"
#include "common/textlines.h"
#include "net/endpoints.h"
#include "net/releasecheck.h"
#include "net/transfercodes.h"
#include "net/webclient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QSysInfo>

namespace {

const QString kManifest = QStringLiteral("release.json");
const QString kSerialKey = QStringLiteral("serial");
const QString kIdentityKey = QStringLiteral("identity");
// updater.state holds two short lines: anything far larger is not its own.
constexpr qint64 kStateLimit = qint64{64} * 1024;

bool nonePublished(const TransferResult &result)
{
    return result.code == 404 || result.code == 410 || result.code == TransferCode::MirrorFile;
}

// "HTTP 404", or what a mirror folder said.
QString answer(const TransferResult &result)
{
    return result.code == TransferCode::MirrorFile || result.code == TransferCode::MirrorUnreadable
        ? result.reason
        : QStringLiteral("HTTP %1").arg(result.code);
}

QString utcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

} // namespace

PublishedRelease::PublishedRelease(WebClient &web, const Endpoints &endpoints, QString appFolder,
                                   QList<QByteArray> keys)
    : m_web(web), m_source(ReleaseSource::publisher(endpoints)), m_appFolder(std::move(appFolder)),
      m_keys(std::move(keys))
{
}

std::optional<PublishedRelease::Taken> PublishedRelease::fetch(const std::optional<QString> &version)
{
    const bool signedBuild = !m_keys.isEmpty();
    for (int round = 1;; ++round) {
        // Every request's address differs, so no cache answers with an
        // old pair.
        const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
        const TransferResult json = m_source.fetchText(m_web, kManifest, stamp);
        if (!json.ok() && !signedBuild) {
            if (note && !nonePublished(json))
                note(QStringLiteral("release.json could not be fetched (%1); going on without it").arg(json.reason));
            return std::nullopt;
        }
        if (nonePublished(json)) {
            throw Failure{TransferCode::BadManifest,
                          QStringLiteral("No release manifest is published (release.json: %1); this build "
                                         "installs and runs only releases its publisher signed.")
                              .arg(answer(json)),
                          OutcomeKind::Refused};
        }
        const QByteArray body = json.bodyOrThrow();
        if (!signedBuild) {
            std::optional<Taken> taken = check(body, false, version);
            if (taken)
                taken->json = body;
            return taken;
        }

        const TransferResult signature = m_source.fetchText(m_web, kManifest + QStringLiteral(".sig"), stamp);
        if (nonePublished(signature)) {
            throw Failure{
                TransferCode::BadManifest,
                QStringLiteral("release.json has no signature (release.json.sig: %1).").arg(answer(signature)),
                OutcomeKind::Refused};
        }
        const QByteArray signatureText = signature.bodyOrThrow();
        if (Signature::verify(body, Signature::parseSignatureText(signatureText), m_keys)) {
            std::optional<Taken> taken = check(body, true, version);
            if (taken) {
                taken->json = body;
                taken->signature = signatureText;
            }
            return taken;
        }
        // The pair may have been read while the publisher replaced it.
        if (round == 1) {
            if (note)
                note(QStringLiteral("release.json does not match its signature; fetching both again"));
            continue;
        }
        throw Failure{TransferCode::BadManifest,
                      QStringLiteral("release.json is not signed by a key this build trusts, or was changed after "
                                     "it was signed."),
                      OutcomeKind::Refused};
    }
}

std::optional<PublishedRelease::Taken> PublishedRelease::check(const QByteArray &json, bool signedByKey,
                                                               const std::optional<QString> &version)
{
    QString error;
    std::optional<ReleaseManifest> manifest = ReleaseManifest::parse(json, &error);
    if (!manifest && !signedByKey) {
        if (note)
            note(QStringLiteral("release.json cannot be read (%1); going on without it").arg(error));
        return std::nullopt;
    }
    if (!manifest) {
        throw Failure{TransferCode::BadManifest, QStringLiteral("release.json cannot be read: %1.").arg(error),
                      OutcomeKind::Refused};
    }
    const QString listed = TextRules::normalizeVersion(manifest->version);
    if (version && listed != *version) {
        throw Failure{
            TransferCode::OtherVersion,
            QStringLiteral("release.json is for version %1, but version.txt announces \"%2\".").arg(listed, *version),
            OutcomeKind::Refused};
    }
    Taken taken{*manifest, false, QString(), signedByKey, {}, {}};
    if (!signedByKey)
        return taken;

    const qint64 highest = readState(m_appFolder, kSerialKey).toLongLong();
    if (manifest->serial < highest) {
        throw Failure{TransferCode::OlderManifest,
                      QStringLiteral("release.json has serial %1, but this installation has accepted serial %2: an "
                                     "older release is not taken again.")
                          .arg(manifest->serial)
                          .arg(highest),
                      OutcomeKind::Refused};
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (now >= manifest->expires) {
        taken.expired = true;
        taken.expiredReason = QStringLiteral("release.json (version %1, serial %2) expired at %3; this desk's clock "
                                             "says %4. The publisher has not signed the release again.")
                                  .arg(listed)
                                  .arg(manifest->serial)
                                  .arg(utcText(manifest->expires), utcText(now));
        return taken;
    }
    if (manifest->serial > highest && !writeState(m_appFolder, kSerialKey, QString::number(manifest->serial)) && note)
        note(QStringLiteral("the accepted serial %1 could not be recorded").arg(manifest->serial));
    return taken;
}

bool PublishedRelease::takesRelease(const ReleaseManifest &manifest, QString *why)
{
    const QString version = TextRules::normalizeVersion(manifest.version);
    if (manifest.halted) {
        *why = QStringLiteral("the publisher has halted the rollout of %1").arg(version);
        return false;
    }
    if (manifest.rolloutPercent >= 100)
        return true;
    const QString identity = PublishedRelease::identity(m_appFolder, note);
    const int bucket = rolloutBucket(identity.toLatin1(), version);
    if (bucket < manifest.rolloutPercent)
        return true;
    *why = QStringLiteral("%1 is released to %2 % of the desks so far, and this desk's place is %3")
               .arg(version)
               .arg(manifest.rolloutPercent)
               .arg(bucket);
    return false;
}

QString PublishedRelease::identity(const QString &appFolder, const std::function<void(const QString &)> &note)
{
    QString identity = readState(appFolder, kIdentityKey);
    if (!identity.isEmpty())
        return identity;
    // Made once: machine ids repeat on desks installed from one image.
    QByteArray random(16, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), 4);
    identity = QString::fromLatin1(random.toHex());
    if (writeState(appFolder, kIdentityKey, identity))
        return identity;
    // Not a new roll at every run: one that stays with the desk.
    if (note)
        note(QStringLiteral("this desk's rollout identity could not be recorded; one made from the machine "
                            "and the folder is used"));
    return QString::fromLatin1(
        QCryptographicHash::hash(QSysInfo::machineUniqueId() + '\n' + QDir(appFolder).absolutePath().toUtf8(),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(32));
}

qint64 PublishedRelease::acceptedSerial(const QString &appFolder)
{
    qint64 serial = 0;
    attempt([&] { serial = readState(appFolder, kSerialKey).toLongLong(); });
    return serial;
}

QString PublishedRelease::stateFolder(const QString &appFolder, bool inApplication)
{
    if (inApplication)
        return appFolder;
    // Where the application folder is read-only: the user's data folder,
    // one per installation.
    const QByteArray id
        = QCryptographicHash::hash(QDir(appFolder).absolutePath().toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/updater/")
        + QString::fromLatin1(id.left(16));
}

QString PublishedRelease::readState(const QString &appFolder, const QString &key)
{
    // The serial is the higher of the two places; the identity the first.
    // A state file that is there but cannot be read is not taken for none:
    // the serial it holds would be forgotten.
    QString found;
    for (const bool inApplication : {true, false}) {
        const QString path = inFolder(stateFolder(appFolder, inApplication), kStateFile);
        QByteArray bytes;
        if (const std::optional<Failure> failure = attempt([&] { bytes = TextRules::readFile(path, kStateLimit); })) {
            if (failure->number == FailureCode::FileNotFound)
                continue;
            throw Failure{TransferCode::BadManifest,
                          QStringLiteral("%1 cannot be read (%2): the release serial this installation accepted is "
                                         "not known.")
                              .arg(QDir::toNativeSeparators(path), failure->description),
                          OutcomeKind::Refused};
        }
        for (const QByteArray &line : bytes.split('\n')) {
            const QString text = QString::fromLatin1(line).trimmed();
            if (!text.startsWith(key + u'='))
                continue;
            const QString value = text.mid(key.size() + 1);
            const bool serial = key == kSerialKey;
            if ((!serial && found.isEmpty()) || (serial && value.toLongLong() > found.toLongLong()))
                found = value;
        }
    }
    return found;
}

bool PublishedRelease::writeState(const QString &appFolder, const QString &key, const QString &value)
{
    for (const bool inApplication : {true, false}) {
        const QString folder = stateFolder(appFolder, inApplication);
        const QString path = inFolder(folder, kStateFile);
        QStringList lines;
        QByteArray bytes;
        if (const std::optional<Failure> failure = attempt([&] { bytes = TextRules::readFile(path, kStateLimit); })) {
            // Never rewritten without what it holds.
            if (failure->number != FailureCode::FileNotFound)
                continue;
        }
        for (const QByteArray &line : bytes.split('\n')) {
            const QString text = QString::fromLatin1(line).trimmed();
            if (!text.isEmpty() && !text.startsWith(key + u'='))
                lines << text;
        }
        lines << key + u'=' + value;
        if (!attempt([&] {
                if (!inApplication && !QDir().mkpath(folder))
                    throw Failure{FailureCode::PathAccess, folder};
                TextRules::writeLines(path, lines);
            }))
            return true;
    }
    return false;
}
