#include "update/installationstatus.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/textfiles.h"
#include "common/textlines.h"
#include "common/thisdesk.h"
#include "net/publishedrelease.h"
#include "update/installation.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#ifndef UPDATER_VERSION
#define UPDATER_VERSION "0"
#endif

namespace {

// The members of a status file, in the order they are written.
const QString kFormatKey = QStringLiteral("format");
const QString kComputer = QStringLiteral("computer");
const QString kIdentity = QStringLiteral("installation");
const QString kAccount = QStringLiteral("account");
const QString kFolder = QStringLiteral("folder");
const QString kInstalled = QStringLiteral("installedVersion");
const QString kUpdater = QStringLiteral("updaterVersion");
const QString kAction = QStringLiteral("action");
const QString kOutcome = QStringLiteral("outcome");
const QString kExitCode = QStringLiteral("exitCode");
const QString kReason = QStringLiteral("reason");
const QString kRanAt = QStringLiteral("ranAt");
const QString kSerial = QStringLiteral("releaseSerial");
const QString kHeld = QStringLiteral("heldRelease");
const QString kJournal = QStringLiteral("scriptJournal");

// The version.txt of the installation as the check reads it; empty when it
// is missing or cannot be read (the status never makes one).
QString readInstalledVersion(const QString &appFolder)
{
    QString version;
    attempt([&] {
        version
            = TextRules::normalizeVersion(TextRules::readFirstLine(inFolder(appFolder, QStringLiteral("version.txt"))));
    });
    return version;
}

} // namespace

InstallationStatus InstallationStatus::of(const QString &appFolder, const QString &action, const Outcome &outcome,
                                          int exitCode, const std::function<void(const QString &)> &note)
{
    InstallationStatus status;
    status.computer = ThisDesk::computerName();
    if (const std::optional<Failure> failure
        = attempt([&] { status.identity = PublishedRelease::identity(appFolder, note); })) {
        // Named after the folder: still one file per installation.
        if (note)
            note(QStringLiteral("the installation's identity cannot be read: ") + failure->description);
        status.identity = QString::fromLatin1(
            QCryptographicHash::hash(QDir(appFolder).absolutePath().toUtf8(), QCryptographicHash::Sha256)
                .toHex()
                .left(32));
    }
    status.account = ThisDesk::accountName();
    status.folder = QDir::toNativeSeparators(QDir(appFolder).absolutePath());
    status.installedVersion = readInstalledVersion(appFolder);
    status.updaterVersion = QStringLiteral(UPDATER_VERSION);
    status.action = action;
    status.outcome = outcomeName(outcome.kind);
    status.exitCode = exitCode;
    // The summary without the name in front: the number and the reason.
    status.reason = outcome.summary().mid(status.outcome.size());
    if (status.reason.startsWith(u':'))
        status.reason.remove(0, 1);
    status.reason = status.reason.trimmed();
    status.ranAt = QDateTime::currentDateTimeUtc();
    status.releaseSerial = PublishedRelease::acceptedSerial(appFolder);
    status.held = outcome.held;
    status.journal = outcome.journal;
    return status;
}

QString InstallationStatus::folderFromEnvironment()
{
    return qEnvironmentVariable("UPDATER_STATUS_DIR").trimmed();
}

QString InstallationStatus::fileName() const
{
    QString name;
    for (const QChar c : computer.left(64))
        name += c.isLetterOrNumber() || c == u'-' || c == u'_' ? c : u'_';
    return (name.isEmpty() ? QStringLiteral("unknown") : name) + u'-' + identity.left(8) + QStringLiteral(".json");
}

QByteArray InstallationStatus::toJson() const
{
    QJsonObject object{
        {kFormatKey, kFormat},      {kComputer, computer}, {kIdentity, identity},
        {kAccount, account},        {kFolder, folder},     {kInstalled, installedVersion},
        {kUpdater, updaterVersion}, {kAction, action},     {kOutcome, outcome},
        {kExitCode, exitCode},      {kReason, reason},     {kRanAt, ranAt.toUTC().toString(Qt::ISODateWithMs)},
    };
    if (releaseSerial > 0)
        object.insert(kSerial, releaseSerial);
    if (!held.isEmpty())
        object.insert(kHeld, held);
    if (!journal.isEmpty())
        object.insert(kJournal, journal);
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

std::optional<InstallationStatus> InstallationStatus::fromJson(const QByteArray &json, QString *why)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        *why = QStringLiteral("not JSON, or cut short (%1 at byte %2)").arg(error.errorString()).arg(error.offset);
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    if (object.value(kFormatKey).toString() != kFormat) {
        *why = QStringLiteral("not a status file of the updater");
        return std::nullopt;
    }
    InstallationStatus status;
    status.computer = object.value(kComputer).toString();
    status.identity = object.value(kIdentity).toString();
    status.account = object.value(kAccount).toString();
    status.folder = object.value(kFolder).toString();
    status.installedVersion = object.value(kInstalled).toString();
    status.updaterVersion = object.value(kUpdater).toString();
    status.action = object.value(kAction).toString();
    status.outcome = object.value(kOutcome).toString();
    status.exitCode = object.value(kExitCode).toInt(-1);
    status.reason = object.value(kReason).toString();
    status.ranAt = QDateTime::fromString(object.value(kRanAt).toString(), Qt::ISODateWithMs);
    status.releaseSerial = object.value(kSerial).toInteger();
    status.held = object.value(kHeld).toString();
    status.journal = object.value(kJournal).toString();
    if (status.computer.isEmpty() || status.outcome.isEmpty() || !status.ranAt.isValid()
        || !object.value(kExitCode).isDouble()) {
        *why = QStringLiteral("a status file without its computer, outcome, exit code or time");
        return std::nullopt;
    }
    return status;
}

bool InstallationStatus::writeTo(const QString &statusFolder, QString *why) const
{
    // QSaveFile writes beside the file and renames it over the old one on
    // commit: a reader on the share sees the old file or the new, whole.
    QSaveFile file(inFolder(statusFolder, fileName()));
    const QByteArray json = toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        *why = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
        return false;
    }
    return true;
}
