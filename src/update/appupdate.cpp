#include "update/appupdate.h"

#include "common/appfolder.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/fileops.h"
#include "common/services.h"
#include "common/textencoding.h"
#include "common/textfiles.h"
#include "common/textlines.h"
#include "common/versionorder.h"
#include "net/endpoints.h"
#include "net/releasecheck.h"
#include "net/releasefetch.h"
#include "net/transfercodes.h"
#include "net/webclient.h"
#include "update/downloadprogress.h"
#include "update/installation.h"
#include "update/installfiles.h"
#include "update/probation.h"
#include "update/processcontrol.h"

#include <QCryptographicHash>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopedValueRollback>

#include <optional>

namespace {
const QString kDefaultVersion = QStringLiteral("1.0.0");
const QString kCrLf = QStringLiteral("\r\n");
const QString kRelaunchSwitch = QStringLiteral("/silentdbupdate");
const QString kVersionFile = QStringLiteral("version.txt");
constexpr int kMoveAsideAttempts = 10;
constexpr int kMoveAsideRetryMs = 500;
constexpr int kProbationPollMs = 100;
// Keys of the state file: the build held as one that did not start
// ("SHA-256|version|serial"), the failed starts of one build
// ("SHA-256|count"), and a probation under way
// ("phase|SHA-256|keep|serial|version|previous version").
const QString kHeldKey = QStringLiteral("held");
const QString kFailuresKey = QStringLiteral("start_failures");
const QString kProbationKey = QStringLiteral("probation");
const QString kWatching = QStringLiteral("watching");
const QString kTakingBack = QStringLiteral("taking-back");
const QString kStopWatchingQuestion
    = QStringLiteral("Stop waiting? %1 %2 stays in place; the next update checks that it runs, and puts the previous "
                     "version back if it does not.");

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

// Permissions for an executable that had no predecessor: whoever may read
// it may run it.
QFile::Permissions runnable(QFile::Permissions permissions)
{
    if (permissions & QFile::ReadOwner)
        permissions |= QFile::ExeOwner;
    if (permissions & QFile::ReadGroup)
        permissions |= QFile::ExeGroup;
    if (permissions & QFile::ReadOther)
        permissions |= QFile::ExeOther;
    return permissions;
}
// The first character of a version that version.txt, once written, would
// not read back as it is: a CR ends the line there, a NUL ends the text,
// and a character the code page cannot hold comes back as another. Empty
// when the version reads back equal (a tab or another control character
// does).
QString unkeepable(const QString &version)
{
    for (qsizetype i = 0; i < version.size();) {
        const qsizetype length = version.at(i).isHighSurrogate() && i + 1 < version.size() ? 2 : 1;
        QString character = version.mid(i, length);
        if (character == u"\r" || character == QChar(u'\0')
            || TextRules::decode(TextRules::encode(character)) != character)
            return character;
        i += length;
    }
    return {};
}

// The three names of the swap are the tool's own files: a link under any
// of them is refused (NotReplaced) before the download, with the
// application left running.
void refuseLinkedExecutables(const QString &appFolder)
{
    for (const QString &name :
         {Installation::kExecutable, Installation::kNewExecutable, Installation::kOldExecutable}) {
        const QString path = inFolder(appFolder, name);
        if (FileOps::isLink(path))
            throw Failure{FailureCode::PathAccess, FileOps::linkRefused(path), OutcomeKind::NotReplaced};
    }
}

// How many times the build with this SHA-256 failed to start before, by
// the state file.
int earlierFailures(const PublishedRelease &state, const QByteArray &sha256)
{
    const QStringList failures = state.readState(kFailuresKey).split(u'|');
    return failures.value(0).toLatin1() == sha256 ? failures.value(1).toInt() : 0;
}

// "U+0009", "U+1F600".
QString codeName(const QString &character)
{
    return QStringLiteral("U+") + QString::number(character.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0');
}
} // namespace

AppUpdate::AppUpdate(Services &services, WebClient &web, Clock &clock, const Endpoints &endpoints, QString appFolder,
                     ProcessControl &processes, InstallFiles &files, QList<QByteArray> keys)
    : m_services(services), m_web(web), m_clock(clock), m_endpoints(endpoints), m_appFolder(std::move(appFolder)),
      m_processes(processes), m_files(files), m_keys(std::move(keys))
{
}

QString AppUpdate::readLocalVersionLine(const QString &path)
{
    // Written at the end of an update: a link is refused before anything
    // is done.
    if (FileOps::isLink(path))
        throw Failure{FailureCode::PathAccess, FileOps::linkRefused(path)};
    if (!QFileInfo(path).isFile()) {
        m_services.showMessage(QStringLiteral("Local version.txt not found in the application folder!") + kCrLf
                                   + QStringLiteral("Please ensure the file exists at: ")
                                   + QDir::toNativeSeparators(path),
                               MessageStyle::Exclamation);
        m_services.setStatus(QStringLiteral("Missing version.txt"));
        TextRules::writeLines(path, {kDefaultVersion});
        m_services.showMessage(QStringLiteral(
                                   "version.txt was missing and has been created with default version 1.0.0"),
                               MessageStyle::Information);
    }
    return TextRules::readFirstLine(path);
}

Outcome AppUpdate::run()
{
    const BusyCursor busy(m_services);
    attempt([&] { finishInterrupted(); });
    m_services.setStatus(QStringLiteral("Checking for updates..."));
    m_services.processPendingEvents();
    Outcome outcome;
    if (const std::optional<Failure> failure = attempt([&] { outcome = check(); })) {
        outcome = failure->outcome();
        attempt([&] {
            m_services.setStatus(QStringLiteral("Error: ") + failure->description);
            m_services.showMessage(QStringLiteral("An error occurred: ") + failure->description,
                                   MessageStyle::Critical);
        });
    }
    return outcome;
}

AppUpdate::Versions AppUpdate::readVersions()
{
    const QString localLine = readLocalVersionLine(inFolder(m_appFolder, kVersionFile));

    // The time stamp only keeps caches from answering: every request's
    // address differs.
    const QString stamp = QString::number(m_clock.secondsSinceMidnight(), 'f', 6);
    PublishedRelease published(m_web, m_endpoints, m_appFolder, m_keys);
    published.note = [this](const QString &line) { m_services.note(line); };
    TransferResult remote = m_web.fetchText(m_endpoints.versionUrl(stamp));
    const std::optional<ReleaseSource> mirror = ReleaseSource::mirror(m_endpoints.mirror());
    if (!remote.ok() && mirror) {
        // A school whose line is down still updates from its own server:
        // the mirror's signed release holds under the same rules.
        if (m_keys.isEmpty()) {
            m_services.note(QStringLiteral("the publisher cannot be reached (%1); %2 is not used alone by a build "
                                           "without keys")
                                .arg(remote.reason, mirror->name()));
        } else {
            m_services.note(QStringLiteral("the publisher cannot be reached (%1); reading the release from %2")
                                .arg(remote.reason, mirror->name()));
            remote = mirror->fetchText(m_web, kVersionFile, stamp);
            published.setSource(*mirror);
        }
    }
    const QString remoteText = remote.textOrThrow();
    Versions versions{TextRules::normalizeVersion(localLine), TextRules::normalizeVersion(remoteText), {}, {}, {}};
    versions.releaseFailure = attempt([&] {
        versions.release = published.fetch(versions.remote);
        if (versions.release && !versions.release->expired && versions.local != versions.remote)
            published.takesRelease(versions.release->manifest, &versions.heldBack);
    });
    return versions;
}

std::optional<Outcome> AppUpdate::settled(const Versions &versions)
{
    if (versions.releaseFailure) {
        m_services.note(QStringLiteral("release.json refused: ") + versions.releaseFailure->description);
        return versions.releaseFailure->outcome();
    }
    const bool expired = versions.release && versions.release->expired;
    if (expired) {
        const QString &why = versions.release->expiredReason;
        m_services.note(QStringLiteral("warning: ") + why);
        return Outcome::of(OutcomeKind::Expired, TransferCode::ExpiredManifest, why);
    }
    if (std::optional<Outcome> ordered = byOrder(versions))
        return ordered;
    if (versions.release && versions.release->signedByKey && versions.local != versions.remote
        && !versions.release->manifest.file(Installation::kExecutable)) {
        const QString why = QStringLiteral("release.json does not list %1.").arg(Installation::kExecutable);
        m_services.note(QStringLiteral("release.json refused: ") + why);
        return Outcome::of(OutcomeKind::Refused, TransferCode::NotListed, why);
    }
    if (const QString held = heldBecause(versions); !held.isEmpty()) {
        m_services.note(QStringLiteral("held: ") + held);
        return Outcome::of(OutcomeKind::UpToDate, 0, QStringLiteral("held: ") + held);
    }
    if (!versions.heldBack.isEmpty()) {
        m_services.note(QStringLiteral("not updated yet: ") + versions.heldBack);
        Outcome held = Outcome::of(OutcomeKind::UpToDate, 0, QStringLiteral("not updated yet: ") + versions.heldBack);
        held.held = versions.heldBack;
        return held;
    }
    if (versions.local == versions.remote)
        return Outcome::of(OutcomeKind::UpToDate);
    return std::nullopt;
}

std::optional<Outcome> AppUpdate::byOrder(const Versions &versions)
{
    // A signed release is never a step back unless the publisher says so;
    // a build without keys leaves it to the user, who answers the box.
    if (!versions.release || !versions.release->signedByKey || versions.local == versions.remote)
        return std::nullopt;
    const std::optional<int> order = compareVersions(versions.remote, versions.local);
    if (order == 0)
        return Outcome::of(OutcomeKind::UpToDate); // one version, written two ways
    if (!order || *order > 0 || versions.release->manifest.downgrade)
        return std::nullopt;
    const QString why = QStringLiteral("the published version %1 is older than the installed %2, and the release "
                                       "does not step desks back: an older program is not installed.")
                            .arg(versions.remote, versions.local);
    m_services.note(QStringLiteral("release.json refused: ") + why);
    return Outcome::of(OutcomeKind::Refused, TransferCode::OlderManifest, why);
}

Outcome AppUpdate::check()
{
    const Versions versions = readVersions();
    const QString &localVersion = versions.local;
    const QString &remoteVersion = versions.remote;
    // version.txt holds one line, read back as it was compared: a version
    // that would read back as another could never be (it would be offered
    // again at every run).
    const QString unkept = unkeepable(remoteVersion);
    if (remoteVersion != localVersion && !unkept.isEmpty()) {
        throw Failure{FailureCode::InvalidText,
                      QStringLiteral("The published version.txt holds %1 in its version, which version.txt "
                                     "cannot keep as it is.")
                          .arg(codeName(unkept)),
                      OutcomeKind::Refused};
    }
    const std::optional<Outcome> done = settled(versions);
    if (done
        && (done->kind == OutcomeKind::UpToDate
            || (done->kind == OutcomeKind::Expired && remoteVersion == localVersion))) {
        // A desk the rollout holds back is up to date for this release; on
        // an expired release's version it is too, though the log warns.
        m_services.setStatus(QStringLiteral("Already up to date."));
        m_services.showMessage(QStringLiteral("You already have the latest version (") + localVersion
                                   + QStringLiteral(")."),
                               MessageStyle::Information);
        return *done;
    }
    if (done) {
        // A release refused or expired is not installed.
        m_services.showMessage(QStringLiteral("Failed to download update."), MessageStyle::Critical);
        m_services.setStatus(QStringLiteral("Update failed."));
        return *done;
    }

    const Answer answer
        = m_services.showMessage(QStringLiteral("A new version (") + remoteVersion + QStringLiteral(") is available.")
                                     + kCrLf + QStringLiteral("Your version: ") + localVersion + kCrLf + kCrLf
                                     + QStringLiteral("Do you want to update now?"),
                                 MessageStyle::Question, QStringLiteral("Update Available"));
    if (answer != Answer::Yes) {
        m_services.setStatus(QStringLiteral("Update cancelled."));
        return Outcome::of(OutcomeKind::Declined);
    }
    m_services.setStatus(QStringLiteral("Downloading update..."));
    m_services.processPendingEvents();
    return install(remoteVersion, localVersion, versions.release);
}

Outcome AppUpdate::install(const QString &version, const QString &previous,
                           const std::optional<PublishedRelease::Taken> &release)
{
    const QString oldPath = inFolder(m_appFolder, Installation::kExecutable);
    const QString newPath = inFolder(m_appFolder, Installation::kNewExecutable);
    refuseLinkedExecutables(m_appFolder);
    // The bytes of the program are the ones the release lists (a signed
    // release that does not list it was refused by settled()).
    const std::optional<ReleaseFile> listed
        = release ? release->manifest.file(Installation::kExecutable) : std::nullopt;
    Outcome downloaded = downloadProgram(oldPath, newPath, listed);
    if (downloaded.kind != OutcomeKind::Done) {
        // A full disk is the one cause the user can mend at the desk: said.
        m_services.showMessage(QStringLiteral("Failed to download update.")
                                   + (downloaded.kind == OutcomeKind::DiskFull ? kCrLf + kCrLf + downloaded.reason
                                                                               : QString()),
                               MessageStyle::Critical);
        m_services.setStatus(QStringLiteral("Update failed."));
        return downloaded;
    }
    m_services.setStatus(QStringLiteral("Preparing to update..."));
    m_services.processPendingEvents();

    // From here on a failing step is skipped, except that the version is
    // recorded only when the new executable really is in place, and success
    // is claimed only once it is recorded.
    attempt([&] { m_processes.stopAll(oldPath); });
    bool replaced = false;
    const std::optional<Failure> notReplaced = attempt([&] { replaced = replaceExecutable(oldPath, newPath); });
    std::optional<Failure> notRecorded;
    bool oldBack = false;
    if (replaced) {
        notRecorded = attempt([&] { TextRules::writeLines(inFolder(m_appFolder, kVersionFile), {version}); });
        // A version.txt that does not name the executable in place would
        // offer this update again and again: the old executable goes back.
        oldBack = notRecorded && putOldBack(oldPath, newPath);
    }
    if (replaced && !notRecorded) {
        Outcome outcome = watchStart(installedBuild(version, previous, oldPath, release));
        if (outcome.kind == OutcomeKind::Done)
            outcome.reason = downloaded.reason;
        return outcome;
    }
    return notInstalled(oldPath, notReplaced, notRecorded, oldBack);
}

Outcome AppUpdate::downloadProgram(const QString &oldPath, const QString &newPath,
                                   const std::optional<ReleaseFile> &listed)
{
    ReleaseFetch fetch(m_web, releaseSources(m_endpoints, listed.has_value(), [this](const QString &line) {
                           m_services.note(line);
                       }));
    fetch.note = [this](const QString &line) { m_services.note(line); };
    QString how;
    Outcome downloaded = DownloadWithProgress(
        m_services, m_clock,
        [&](const DownloadOptions &options) {
            if (!listed)
                return m_web.downloadToFile(m_endpoints.executableUrl(), newPath, options);
            ReleaseFetch::Fetched fetched = fetch.fetch(Installation::kExecutable, *listed, newPath, oldPath, options);
            how = fetched.how;
            return fetched.result;
        },
        releaseCheck(ReleaseKind::Program, listed), listed ? listed->size : -1);
    if (!how.isEmpty() && downloaded.kind == OutcomeKind::Done) {
        m_services.note(QStringLiteral("%1: %2").arg(Installation::kExecutable, how));
        downloaded.reason = QStringLiteral("%1: %2").arg(Installation::kExecutable, how);
    }
    return downloaded;
}

AppUpdate::Installed AppUpdate::installedBuild(const QString &version, const QString &previous, const QString &oldPath,
                                               const std::optional<PublishedRelease::Taken> &release) const
{
    Installed installed{version, previous, sha256Of(oldPath), 0, false, Probation::kDefaultSeconds};
    if (release) {
        installed.serial = release->manifest.serial;
        installed.keep = release->manifest.keepIfStartFails;
        if (release->manifest.probationSeconds >= 0)
            installed.probationSeconds = release->manifest.probationSeconds;
    }
    if (m_watch.probationSeconds >= 0)
        installed.probationSeconds = m_watch.probationSeconds;
    return installed;
}

Outcome AppUpdate::notInstalled(const QString &oldPath, const std::optional<Failure> &notReplaced,
                                const std::optional<Failure> &notRecorded, bool oldBack)
{
    Outcome outcome;
    if (notRecorded) {
        outcome = notRecorded->outcome();
        // Success is never claimed without the version recorded, even where
        // the old executable could not be put back (the new one then runs).
        const QString why = (oldBack ? QStringLiteral("version.txt could not be written, the old executable is back "
                                                      "in place: ")
                                     : QStringLiteral("version.txt could not be written: "))
            + notRecorded->description;
        outcome.reason = why;
        m_services.setStatus(QStringLiteral("Error: ") + why);
        m_services.showMessage(QStringLiteral("An error occurred: ") + why, MessageStyle::Critical);
    } else {
        m_services.setStatus(QStringLiteral("Update failed."));
        m_services.showMessage(QStringLiteral("Update failed. Couldn't replace the old EXE."), MessageStyle::Critical);
        outcome = notReplaced ? Outcome::of(OutcomeKind::NotReplaced, notReplaced->number, notReplaced->description)
                              : Outcome::of(OutcomeKind::NotReplaced);
    }
    // Started whichever executable is there now: the old one, or a new one
    // whose version is not recorded.
    attempt([&] { m_processes.startDetached(oldPath, {kRelaunchSwitch}, m_appFolder); });
    return outcome;
}

Outcome AppUpdate::watchStart(const Installed &installed)
{
    const QString oldPath = inFolder(m_appFolder, Installation::kExecutable);
    recordProbation(kWatching, installed);
    std::unique_ptr<WatchedProgram> program = m_processes.startWatched(oldPath, {kRelaunchSwitch}, m_appFolder);
    ProgramEnd end = program->poll();
    if (installed.probationSeconds > 0 && end.how == ProgramEnd::How::Running && program->watched()) {
        // Said once; the window goes on answering meanwhile.
        m_services.setStatus(QStringLiteral("Waiting up to %1 seconds to see that %2 %3 starts...")
                                 .arg(installed.probationSeconds)
                                 .arg(Installation::kExecutable, installed.version));
        const QScopedValueRollback watching(m_watching, true);
        m_watchedVersion = installed.version;
        for (int waited = 0;
             waited < installed.probationSeconds * 1000 && end.how == ProgramEnd::How::Running && !m_stopWatching;
             waited += kProbationPollMs) {
            m_clock.sleepMs(kProbationPollMs);
            m_services.processPendingEvents();
            end = program->poll();
        }
    }
    if (m_stopWatching && end.how == ProgramEnd::How::Running)
        return watchStopped(installed);
    PublishedRelease state(m_web, m_endpoints, m_appFolder, m_keys);
    const int earlier = earlierFailures(state, installed.sha256);
    const Probation::Decision decision = Probation::decide(Probation::judge(end), earlier, installed.keep);
    if (decision.failures == 0) {
        recordProbation({}, installed);
        m_services.setStatus(QStringLiteral("Update successful."));
        m_services.showMessage(QStringLiteral("Update completed successfully!"), MessageStyle::Information);
        return Outcome::of(OutcomeKind::Done);
    }
    const QString how = Probation::describe(end);
    const QString failed
        = QStringLiteral("%1 %2 did not start (%3).").arg(Installation::kExecutable, installed.version, how);
    m_services.note(QStringLiteral("start failed: %1 failed start %2 of this build (SHA-256 %3)")
                        .arg(failed)
                        .arg(decision.failures)
                        .arg(QString::fromLatin1(installed.sha256)));
    recordFailedStart(state, installed, decision);
    QString text;
    if (!decision.takeBack) {
        recordProbation({}, installed);
        text = failed
            + QStringLiteral(" It stays installed, as its publisher asked: the previous version cannot work "
                             "with the changes it made. Please tell your IT department.");
    } else {
        recordProbation(kTakingBack, installed);
        QString why;
        const bool back = takeBack(installed, &why);
        text = back ? failed + QStringLiteral(" The previous version (%1) is back in place.").arg(installed.previous)
                    : failed + QStringLiteral(" The previous version could not be put back: ") + why;
    }
    m_services.setStatus(QStringLiteral("Update failed."));
    m_services.showMessage(text, MessageStyle::Critical);
    return Outcome::of(OutcomeKind::StartFailed, 0, text);
}

void AppUpdate::closeRequested()
{
    if (!m_watching || m_asking || m_stopWatching)
        return;
    Answer answer = Answer::No;
    {
        const QScopedValueRollback asking(m_asking, true);
        answer = m_services.showMessage(kStopWatchingQuestion.arg(Installation::kExecutable, m_watchedVersion),
                                        MessageStyle::Question, QStringLiteral("Confirmation"));
    }
    m_stopWatching = answer == Answer::Yes && m_watching;
}

Outcome AppUpdate::watchStopped(const Installed &installed)
{
    // The probation stays recorded: the next run finds the program running
    // (taken as good) or not (taken back).
    const QString why = QStringLiteral("the wait for %1 %2 to start was stopped; the next update finishes it")
                            .arg(Installation::kExecutable, installed.version);
    m_services.note(QStringLiteral("probation: ") + why);
    m_services.setStatus(
        QStringLiteral("Stopped waiting for %1 %2 to start.").arg(Installation::kExecutable, installed.version));
    return Outcome::of(OutcomeKind::Failed, 0, why);
}

void AppUpdate::recordFailedStart(PublishedRelease &state, const Installed &installed,
                                  const Probation::Decision &decision)
{
    state.writeState(kFailuresKey,
                     QStringLiteral("%1|%2").arg(QString::fromLatin1(installed.sha256)).arg(decision.failures));
    if (decision.hold) {
        state.writeState(kHeldKey,
                         QStringLiteral("%1|%2|%3")
                             .arg(QString::fromLatin1(installed.sha256), installed.version)
                             .arg(installed.serial));
    }
}

bool AppUpdate::takeBack(const Installed &installed, QString *why)
{
    const QString oldPath = inFolder(m_appFolder, Installation::kExecutable);
    const QString newPath = inFolder(m_appFolder, Installation::kNewExecutable);
    attempt([&] { m_processes.stopAll(oldPath); });
    // An earlier run may have put it back already (a repair after it ended).
    if (sha256Of(oldPath) == installed.sha256 && !putOldBack(oldPath, newPath)) {
        *why = QStringLiteral("%1 could not be moved back into place.").arg(Installation::kOldExecutable);
        m_services.note(QStringLiteral("take back: ") + *why);
        return false;
    }
    if (sha256Of(newPath) == installed.sha256)
        QFile::remove(newPath);
    if (const std::optional<Failure> failure
        = attempt([&] { TextRules::writeLines(inFolder(m_appFolder, kVersionFile), {installed.previous}); })) {
        m_services.note(QStringLiteral("take back: version.txt could not be written: ") + failure->description);
    }
    recordProbation({}, installed);
    m_services.note(
        QStringLiteral("take back: %1 %2 is back in place").arg(Installation::kExecutable, installed.previous));
    attempt([&] { m_processes.startDetached(oldPath, {kRelaunchSwitch}, m_appFolder); });
    return true;
}

void AppUpdate::recordProbation(const QString &phase, const Installed &installed)
{
    PublishedRelease state(m_web, m_endpoints, m_appFolder, m_keys);
    const QString value = phase.isEmpty() ? QString()
                                          : QStringList{phase,
                                                        QString::fromLatin1(installed.sha256),
                                                        installed.keep ? QStringLiteral("1") : QStringLiteral("0"),
                                                        QString::number(installed.serial),
                                                        installed.version,
                                                        installed.previous}
                                                .join(u'|');
    state.writeState(kProbationKey, value);
}

void AppUpdate::finishInterrupted()
{
    PublishedRelease state(m_web, m_endpoints, m_appFolder, m_keys);
    const QStringList fields = state.readState(kProbationKey).split(u'|');
    if (fields.size() != 6)
        return;
    const Installed installed{fields.at(4),
                              fields.at(5),
                              fields.at(1).toLatin1(),
                              fields.at(3).toLongLong(),
                              fields.at(2) == QLatin1String("1"),
                              0};
    const QString oldPath = inFolder(m_appFolder, Installation::kExecutable);
    const int earlier = earlierFailures(state, installed.sha256);
    const Probation::Phase phase
        = fields.at(0) == kTakingBack ? Probation::Phase::TakingBack : Probation::Phase::Watching;
    const Probation::Decision decision
        = Probation::resume(phase, m_processes.anyRunning(oldPath), earlier, installed.keep);
    m_services.note(
        QStringLiteral("an earlier updater ended while %1 %2 was %3")
            .arg(Installation::kExecutable, installed.version,
                 phase == Probation::Phase::TakingBack ? QStringLiteral("taken back") : QStringLiteral("watched")));
    if (phase == Probation::Phase::Watching && decision.failures > 0) {
        recordFailedStart(state, installed, decision);
    }
    QString why;
    if (!decision.takeBack) {
        recordProbation({}, installed);
        m_services.note(decision.failures == 0 ? QStringLiteral("it runs: the release is taken as good")
                                               : QStringLiteral("it does not run; kept as its publisher asked"));
        return;
    }
    recordProbation(kTakingBack, installed);
    if (!takeBack(installed, &why))
        m_services.note(QStringLiteral("take back not finished: ") + why);
}

QString AppUpdate::heldBecause(const Versions &versions) const
{
    if (m_watch.force || versions.local == versions.remote)
        return {};
    const PublishedRelease state(m_web, m_endpoints, m_appFolder, m_keys);
    const QStringList held = state.readState(kHeldKey).split(u'|');
    if (held.size() != 3)
        return {};
    const std::optional<ReleaseFile> listed
        = versions.release ? versions.release->manifest.file(Installation::kExecutable) : std::nullopt;
    // Without a manifest the bytes are not known before the download: the
    // version stands for them.
    const bool same = listed ? listed->sha256.toHex() == held.at(0).toLatin1() : held.at(1) == versions.remote;
    if (!same)
        return {};
    return QStringLiteral("%1 %2 (SHA-256 %3) did not start on this desk; it is not installed again until another "
                          "build is published (--update-app --force tries it)")
        .arg(Installation::kExecutable, held.at(1), held.at(0));
}

bool AppUpdate::putOldBack(const QString &oldPath, const QString &newPath)
{
    const QString asidePath = inFolder(m_appFolder, Installation::kOldExecutable);
    // No old executable (a first install): the new one stays.
    if (!QFileInfo(asidePath).isFile() || !m_files.move(oldPath, newPath))
        return false;
    if (m_files.move(asidePath, oldPath))
        return true;
    // Never a folder without Vantora.exe.
    m_files.move(newPath, oldPath);
    return false;
}

bool AppUpdate::replaceExecutable(const QString &oldPath, const QString &newPath)
{
    const QString asidePath = inFolder(m_appFolder, Installation::kOldExecutable);
    const bool hadOld = QFileInfo(oldPath).isFile();
    const QFile::Permissions permissions = hadOld ? QFile::permissions(oldPath) : runnable(QFile::permissions(newPath));

    // The old executable is moved aside, never deleted, so that a complete
    // one is always there under one of the three names. Windows lets a
    // running executable be renamed; a just stopped application or a
    // scanner may still hold it for a moment.
    for (int attempt = 0; attempt < kMoveAsideAttempts && QFileInfo(oldPath).isFile(); ++attempt) {
        m_files.move(oldPath, asidePath);
        m_clock.sleepMs(kMoveAsideRetryMs);
        m_services.processPendingEvents();
    }
    if (QFileInfo::exists(oldPath))
        return false;
    if (!m_files.move(newPath, oldPath)) {
        // The old executable goes back, so the folder is as it was.
        if (hadOld)
            m_files.move(asidePath, oldPath);
        return false;
    }
    QFile::setPermissions(oldPath, permissions);
    return true;
}
