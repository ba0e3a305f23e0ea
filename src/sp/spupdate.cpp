#include "sp/spupdate.h"

#include "common/appfolder.h"
#include "common/eventwait.h"
#include "common/failure.h"
#include "common/fileops.h"
#include "common/services.h"
#include "common/textlines.h"
#include "common/thisdesk.h"
#include "net/endpoints.h"
#include "net/publishedrelease.h"
#include "net/releasecheck.h"
#include "net/releasefetch.h"
#include "net/transfercodes.h"
#include "net/webclient.h"
#include "sp/journal.h"
#include "sp/runguard.h"
#include "sp/runlock.h"
#include "sp/serverlist.h"
#include "sp/sqlscript.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QTimer>

namespace {

const QString kStopQuestion
    = QStringLiteral("Stop the script? The running batch will be cancelled and no later batch will run.");

// The batches of batches[from...] that hold something to run: how many,
// and the numbers (1-based) of the first and the last of them.
struct Remaining
{
    int count = 0;
    int first = 0;
    int last = 0;
};

Remaining remaining(const QList<QStringView> &batches, qsizetype from)
{
    Remaining result;
    for (qsizetype i = from; i < batches.size(); ++i) {
        if (TextRules::trimBlanks(batches.at(i)).isEmpty())
            continue;
        ++result.count;
        if (result.first == 0)
            result.first = int(i) + 1;
        result.last = int(i) + 1;
    }
    return result;
}

// How often a desk that waits for another desk's run tries the lock again,
// and up to how much later, so that the waiting desks do not all ask at once.
constexpr int kLockRetryMs = 500;
constexpr int kLockRetrySpreadMs = 250;

// The SHA-256 (lower-case hex) and size of a file; an empty digest when it
// cannot be read.
struct Digest
{
    QString sha256;
    qint64 bytes = 0;
};

Digest digestOf(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return {QString::fromLatin1(hash.result().toHex()), file.size()};
}

} // namespace

SpUpdate::SpUpdate(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder,
                   DatabaseFactory databases, QString &serverName, QList<QByteArray> keys, int commandTimeout)
    : m_services(services), m_web(web), m_endpoints(endpoints), m_appFolder(std::move(appFolder)),
      m_databases(std::move(databases)), m_serverName(serverName), m_keys(std::move(keys)),
      m_commandTimeout(commandTimeout)
{
}

ConnectionSettings SpUpdate::connection(const QString &serverName, int commandTimeout)
{
    // Blanks around the name are not part of it, as in every connection
    // string that names a server.
    return {ConnectionString::odbcDriver(), serverName.trimmed(),       QStringLiteral("Quorvel"),
            QStringLiteral("sa"),           QStringLiteral("tr5kelvo"), commandTimeout};
}

void SpUpdate::closeRequested()
{
    // While waiting for another desk there is nothing to stop: the wait
    // ends and the script is not run.
    if (m_waitingForLock) {
        m_stopRequested = true;
        if (m_pause)
            m_pause->finish();
        return;
    }
    if (!m_running || m_asking || m_stopRequested)
        return;
    Answer answer = Answer::No;
    {
        const QScopedValueRollback asking(m_asking, true);
        answer = m_services.showMessage(kStopQuestion, MessageStyle::Question, QStringLiteral("Confirmation"));
    }
    // The batches may have ended while the question was open.
    if (answer != Answer::Yes || !m_running)
        return;
    m_stopRequested = true;
    m_running->cancel();
}

Outcome SpUpdate::run()
{
    const BusyCursor busy(m_services);
    Outcome outcome;
    const std::optional<Failure> failure = attempt([&] {
        m_services.setProgressRange(0, 100);
        m_services.setProgressValue(0);
        m_services.setStatus(QString());
        ServerList::load(m_services, m_appFolder, m_serverName);
        if (const std::optional<QString> scriptText = fetchScript(outcome))
            outcome = execute(*scriptText);
    });
    if (failure) {
        attempt([&] {
            showTrapBox(m_services, *failure, kTrapTitle);
            m_services.setStatus(QStringLiteral("Error executing script: ") + failure->description);
        });
        return failure->outcome();
    }
    return outcome;
}

std::optional<QString> SpUpdate::fetchScript(Outcome &outcome)
{
    const QString folder = scriptFolder();
    m_services.setStatus(QStringLiteral("Downloading stored procedure script..."));
    m_services.processPendingEvents();
    const QString name = QStringLiteral("LATEST.sql");
    const QString path = inFolder(folder, name);
    // Only the script of the publisher's current release is read (and
    // run): the manifest first, which lists its size and SHA-256.
    std::optional<ReleaseFile> listed;
    if (const std::optional<Outcome> ended = listScript(name, listed)) {
        outcome = *ended;
        return std::nullopt;
    }
    const TransferResult downloaded = downloadScript(name, path, listed);
    if (!downloaded.ok()) {
        outcome = downloadFailed(downloaded.failure().outcome());
        return std::nullopt;
    }

    const Answer answer = m_services.showMessage(QStringLiteral("Are you sure you want to execute the SQL script?"),
                                                 MessageStyle::Question, QStringLiteral("Confirmation"));
    if (answer != Answer::Yes) {
        outcome = Outcome::of(OutcomeKind::Declined);
        return std::nullopt;
    }

    if (!QFileInfo::exists(path)) {
        outcome = Outcome::of(OutcomeKind::Failed, FailureCode::FileNotFound,
                              QStringLiteral("not found: ") + QDir::toNativeSeparators(path));
        m_services.showMessage(QStringLiteral("Error: File not found at ") + QDir::toNativeSeparators(path),
                               MessageStyle::Critical);
        return std::nullopt;
    }

    m_services.setStatus(QStringLiteral("Reading SQL script..."));
    m_services.processPendingEvents();
    return SqlScript::readFile(path);
}

QString SpUpdate::scriptFolder()
{
    m_services.setStatus(QStringLiteral("Checking SP folder..."));
    m_services.processPendingEvents();
    QString folder = inFolder(m_appFolder, QStringLiteral("SP"));
    // A link is refused, whatever it leads to. Anything else at the path
    // counts, a file named SP included: the download into it then fails.
    if (FileOps::isLink(folder))
        throw Failure{FailureCode::PathAccess, FileOps::linkRefused(folder)};
    if (!QFileInfo::exists(folder) && !QDir().mkdir(folder))
        throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot create the folder %1").arg(folder)};
    return folder;
}

std::optional<Outcome> SpUpdate::listScript(const QString &name, std::optional<ReleaseFile> &listed)
{
    std::optional<PublishedRelease::Taken> release;
    if (const std::optional<Failure> failure = fetchRelease(release))
        return refused(failure->outcome());
    if (release && release->expired)
        return refused(Outcome::of(OutcomeKind::Expired, TransferCode::ExpiredManifest, release->expiredReason));
    if (release && release->manifest.halted) {
        // A halted release's script is not run anywhere it has not run
        // yet; the staged percent is the program's only (the database is
        // every desk's).
        const QString why = QStringLiteral("the publisher has halted the release %1: its script is not run")
                                .arg(TextRules::normalizeVersion(release->manifest.version));
        m_services.note(why);
        m_services.setStatus(QStringLiteral("Already up to date."));
        return Outcome::of(OutcomeKind::UpToDate, 0, why);
    }
    if (release)
        m_releaseSerial = release->manifest.serial; // the journal's record of which release ran
    listed = release ? release->manifest.file(name) : std::nullopt;
    if (release && release->signedByKey && !listed)
        return refused(Outcome::of(OutcomeKind::Refused, TransferCode::NotListed,
                                   QStringLiteral("release.json does not list %1.").arg(name)));
    return std::nullopt;
}

std::optional<Failure> SpUpdate::fetchRelease(std::optional<PublishedRelease::Taken> &release)
{
    PublishedRelease published(m_web, m_endpoints, m_appFolder, m_keys);
    published.note = [this](const QString &line) { m_services.note(line); };
    std::optional<Failure> failure = attempt([&] { release = published.fetch(std::nullopt); });
    const std::optional<ReleaseSource> mirror = ReleaseSource::mirror(m_endpoints.mirror());
    if (failure && failure->outcome().kind == OutcomeKind::DownloadFailed && mirror && !m_keys.isEmpty()) {
        // The publisher cannot be reached: the mirror's signed release
        // holds under the same rules.
        m_services.note(QStringLiteral("the publisher cannot be reached (%1); reading the release from %2")
                            .arg(failure->description, mirror->name()));
        published.setSource(*mirror);
        failure = attempt([&] { release = published.fetch(std::nullopt); });
    }
    return failure;
}

TransferResult SpUpdate::downloadScript(const QString &name, const QString &path,
                                        const std::optional<ReleaseFile> &listed)
{
    DownloadOptions options;
    options.check = releaseCheck(ReleaseKind::Script, listed);
    options.exactBytes = listed ? listed->size : -1;
    if (!listed) {
        releaseSources(m_endpoints, false, [this](const QString &line) { m_services.note(line); });
        return m_web.downloadToFile(m_endpoints.scriptUrl(), path, options);
    }
    ReleaseFetch fetch(m_web, releaseSources(m_endpoints, true, {}));
    fetch.note = [this](const QString &line) { m_services.note(line); };
    ReleaseFetch::Fetched fetched = fetch.fetch(name, *listed, path, QString(), options);
    if (fetched.result.ok())
        m_services.note(QStringLiteral("%1: %2").arg(name, fetched.how));
    return fetched.result;
}

Outcome SpUpdate::downloadFailed(const Outcome &failed)
{
    m_services.setStatus(QStringLiteral("Download failed. Error code: ") + QString::number(failed.number));
    return failed;
}

Outcome SpUpdate::refused(const Outcome &failed)
{
    m_services.note(QStringLiteral("release.json refused: ") + failed.reason);
    return downloadFailed(failed);
}

std::unique_ptr<Database> SpUpdate::openDatabase()
{
    std::unique_ptr<Database> database;
    if (std::optional<Failure> failure = attempt([&] {
            ServerList::checkServerName(m_serverName);
            database = m_databases();
            database->open(connection(m_serverName, m_commandTimeout));
        })) {
        // Whatever kept the connection from being made (no server named,
        // no driver, the server refused or was not reached), the script
        // could not be run.
        failure->kind = OutcomeKind::DatabaseUnreachable;
        throw *failure;
    }
    return database;
}

Outcome SpUpdate::execute(const QString &scriptText)
{
    const QList<QStringView> batches = SqlScript::batchViews(scriptText);
    std::unique_ptr<Database> database = openDatabase();

    // One desk at a time runs the script on the database, and its journal
    // row says so; the server lets go of the lock when this connection
    // ends, however it ends.
    RunGuard guard(m_services, *database, m_databases, connection(m_serverName, m_commandTimeout),
                   {m_onceOnly, m_guaranteed}, [this](int milliseconds) { pause(milliseconds); });
    const Digest digest = digestOf(inFolder(inFolder(m_appFolder, QStringLiteral("SP")), QStringLiteral("LATEST.sql")));
    const Journal::Run run{digest.sha256, digest.bytes, m_releaseSerial, ThisDesk::computerName(),
                           ThisDesk::accountName()};
    if (std::optional<Outcome> refused = guard.mayGoAhead(run, [this](RunLock &lock) { return takeLock(lock); })) {
        guard.finish();
        database->close();
        if (refused->kind == OutcomeKind::ScriptRunElsewhere)
            return notLocked();
        return *refused;
    }

    const BatchRun ran = runBatches(*database, batches, guard);
    const Remaining notRun = remaining(batches, ran.stoppedAt);

    // The journal has the run's end, and the lock goes, before any box
    // keeps this desk: the next desk may go on at once.
    QString ending = Journal::kSucceeded;
    if (ran.lost)
        ending = Journal::kConnectionLost;
    else if (ran.cancelled > 0 || (m_stopRequested && notRun.count > 0))
        ending = Journal::kCancelled;
    else if (ran.failed > 0 || notRun.count > 0)
        ending = Journal::kFailed;
    const std::optional<QString> notRecorded = guard.ended(ending, ran.sent, ran.failed);
    guard.finish();
    database->close();
    database.reset();

    Outcome outcome = Outcome::of(OutcomeKind::Done);
    outcome.batches = remaining(batches, 0).count;
    outcome.failedBatches = ran.failed;
    outcome.cancelledBatch = ran.cancelled;
    outcome.notRunBatches = notRun.count;
    if (ran.lost)
        outcome.reason = QStringLiteral("the connection to the database was lost");
    if (ran.failed > 0 || ran.cancelled > 0 || notRun.count > 0)
        outcome.kind = OutcomeKind::BatchesFailed;
    if (ran.lost) {
        QString text = QStringLiteral("The connection to the database was lost.");
        if (notRun.count > 0 && notRun.first == notRun.last)
            text += QStringLiteral(" Batch %1 was not run.").arg(notRun.first);
        else if (notRun.count > 0)
            text += QStringLiteral(" Batches %1 to %2 were not run.").arg(notRun.first).arg(notRun.last);
        m_services.showMessage(text, MessageStyle::Exclamation);
    }
    if (notRecorded) {
        m_services.showMessage(QStringLiteral("The script ran, but its end could not be recorded in the database's "
                                              "journal: ")
                                   + *notRecorded,
                               MessageStyle::Exclamation);
    }
    report(outcome, int(batches.size()));
    if (notRecorded) {
        // What ran counts more than how: the next desk reads the journal.
        outcome.kind = OutcomeKind::EndNotRecorded;
        outcome.reason = *notRecorded;
    }
    return outcome;
}

SpUpdate::BatchRun SpUpdate::runBatches(Database &database, const QList<QStringView> &batches, RunGuard &guard)
{
    const int count = int(batches.size());
    const QString total = QString::number(count);
    m_services.setProgressRange(0, count - 1);
    m_services.setProgressValue(0);
    m_services.setStatus(QStringLiteral("Executing SQL script..."));
    m_services.processPendingEvents();

    // From here a close of the window may stop the script.
    m_stopRequested = false;
    m_running = &database;
    const auto notRunning = qScopeGuard([this] { m_running = nullptr; });

    BatchRun ran;
    ran.stoppedAt = count;
    for (int i = 0; i < count; ++i) {
        const QString batch = TextRules::trimBlanks(batches.at(i).toString());
        if (batch.isEmpty())
            continue;
        guard.keepAlive();
        if (m_stopRequested) {
            ran.stoppedAt = i;
            break;
        }
        m_services.setProgressValue(i);
        m_services.setStatus(QStringLiteral("Executing batch ") + QString::number(i + 1) + QStringLiteral(" of ")
                             + total);
        m_services.processPendingEvents();
        // A stop asked for just now keeps this batch from starting.
        if (m_stopRequested) {
            ran.stoppedAt = i;
            break;
        }
        ++ran.sent;
        const std::optional<Failure> failure = attempt([&] { database.execute(batch); });
        if (!failure)
            continue;
        if (failure->number == DatabaseCode::Cancelled) {
            // The user asked for it: no error box.
            ran.cancelled = i + 1;
            ran.stoppedAt = i + 1;
            break;
        }
        ++ran.failed;
        m_services.showMessage(QStringLiteral("Error executing batch ") + QString::number(i + 1) + QStringLiteral(": ")
                                   + failure->description,
                               MessageStyle::Critical);
        if (failure->number == DatabaseCode::ConnectionLost) {
            ran.lost = true;
            ran.stoppedAt = i + 1;
            break;
        }
    }
    return ran;
}

void SpUpdate::report(const Outcome &outcome, int count)
{
    m_services.setStatus(QStringLiteral("Execution Completed!"));
    m_services.setProgressValue(count - 1);
    if (outcome.kind == OutcomeKind::Done) {
        m_services.showMessage(QStringLiteral("SQL Script Execution Completed Successfully!"),
                               MessageStyle::Information);
        return;
    }
    // The batches that held something, as the log's result line counts
    // them: a blank batch is in neither.
    QString text = QStringLiteral("SQL Script Execution Completed with errors: %1 of %2 batches failed")
                       .arg(outcome.failedBatches)
                       .arg(outcome.batches);
    if (outcome.cancelledBatch > 0)
        text += QStringLiteral(", batch %1 was cancelled").arg(outcome.cancelledBatch);
    if (outcome.notRunBatches == 1)
        text += QStringLiteral(", 1 was not run");
    else if (outcome.notRunBatches > 1)
        text += QStringLiteral(", %1 were not run").arg(outcome.notRunBatches);
    m_services.showMessage(text + QLatin1Char('.'), MessageStyle::Exclamation);
}

Outcome SpUpdate::notLocked()
{
    if (m_stopRequested)
        return Outcome::of(OutcomeKind::ScriptRunElsewhere, 0,
                           QStringLiteral("the window was closed while waiting for another desk"));
    m_services.showMessage(QStringLiteral("Another desk is running the script on the database; it was not "
                                          "run here. Please try again when it has finished."),
                           MessageStyle::Exclamation);
    return Outcome::of(OutcomeKind::ScriptRunElsewhere, 0,
                       QStringLiteral("waited %1 s for the other desk's run to end").arg(m_lockWaitSeconds));
}

bool SpUpdate::takeLock(RunLock &lock)
{
    if (lock.tryTake())
        return true;
    // Waiting from here on: a close handled while the status is painted
    // already ends the wait.
    m_stopRequested = false;
    const QScopedValueRollback waiting(m_waitingForLock, true);
    note(QStringLiteral("another desk is running the script; waiting up to %1 s for it to end").arg(m_lockWaitSeconds));
    m_services.setStatus(QStringLiteral("Waiting for another desk to finish the script..."));
    m_services.processPendingEvents();
    QElapsedTimer waited;
    waited.start();
    const qint64 limit = qint64{m_lockWaitSeconds} * 1000;
    while (!m_stopRequested && waited.elapsed() < limit) {
        const int next = kLockRetryMs + int(QRandomGenerator::global()->bounded(kLockRetrySpreadMs));
        pause(int(qMin<qint64>(next, limit - waited.elapsed())));
        if (m_stopRequested)
            break;
        if (lock.tryTake()) {
            // A close that came while the try ran still ends the wait.
            if (m_stopRequested) {
                lock.release();
                return false;
            }
            note(QStringLiteral("the other desk's run has ended; took the lock after %1 ms").arg(waited.elapsed()));
            return true;
        }
    }
    return false;
}

void SpUpdate::pause(int milliseconds)
{
    EventWait wait;
    m_pause = &wait;
    const auto forget = qScopeGuard([this] { m_pause = nullptr; });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&wait] { wait.finish(); });
    timer.start(qMax(0, milliseconds));
    if (!wait.wait())
        m_stopRequested = true; // the program is quitting
}

void SpUpdate::note(const QString &text) const
{
    m_services.note(text);
}
