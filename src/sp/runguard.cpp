#include "sp/runguard.h"

#include "common/failure.h"
#include "common/services.h"

namespace {

// What a DBA grants so that the guarantee holds, said with each refusal.
const QString kForceHint = QStringLiteral("the README lists the rights the login needs; --force runs it without");

QString serverName(ServerKind kind)
{
    switch (kind) {
    case ServerKind::Sqlite: return QStringLiteral("SQLite");
    case ServerKind::SqlServer: return QStringLiteral("SQL Server");
    case ServerKind::PostgreSql: return QStringLiteral("PostgreSQL");
    case ServerKind::Other: break;
    }
    return QStringLiteral("of a kind not known");
}

} // namespace

RunGuard::RunGuard(Services &services, Database &script, DatabaseFactory databases, ConnectionSettings settings,
                   Policy policy, std::function<void(int)> pause)
    : m_services(services), m_script(script), m_databases(std::move(databases)), m_settings(std::move(settings)),
      m_policy(policy), m_pause(std::move(pause)), m_schema(Journal::schemaFromEnvironment())
{
}

RunGuard::~RunGuard()
{
    finish();
}

std::optional<Outcome> RunGuard::mayGoAhead(const Journal::Run &run, const std::function<bool(RunLock &)> &take)
{
    if (std::optional<Outcome> refused = lock(take))
        return refused;
    if (std::optional<Outcome> refused = openJournal())
        return refused;
    if (!m_journal)
        return std::nullopt;
    if (run.sha256.isEmpty()) {
        closeJournal();
        return withoutGuarantee(QStringLiteral("no journal: LATEST.sql could not be read again for its digest"));
    }
    if (std::optional<Outcome> refused = consultJournal(run))
        return refused;
    return begin(run);
}

std::optional<Outcome> RunGuard::lock(const std::function<bool(RunLock &)> &take)
{
    const ServerKind kind = m_script.serverKind();
    if (kind != ServerKind::SqlServer && kind != ServerKind::PostgreSql) {
        // One file on one desk: the journal alone stands.
        m_services.note(QStringLiteral("no lock: the server (%1) has none that holds across batches; desks that "
                                       "share this database are not kept apart")
                            .arg(serverName(kind)));
        return std::nullopt;
    }
    QString name = RunLock::name(m_schema);
    bool held = false;
    std::optional<Failure> failure
        = attempt([&] { name = RunLock::name(RunLock::resolvedSchema(m_script, m_schema)); });
    if (!failure) {
        m_lock = std::make_unique<RunLock>(m_script, name);
        failure = attempt([&] { held = take(*m_lock); });
    }
    if (failure && failure->number == DatabaseCode::ConnectionLost) {
        failure->kind = OutcomeKind::DatabaseUnreachable;
        throw *failure;
    }
    if (failure) {
        m_lock.reset();
        return withoutGuarantee(QStringLiteral("no lock: ") + failure->description);
    }
    if (!held)
        return Outcome::of(OutcomeKind::ScriptRunElsewhere);
    return std::nullopt;
}

std::optional<Outcome> RunGuard::openJournal()
{
    // On a connection of its own in autocommit, read only now that the
    // lock is held: the first runs do not race to make the table.
    const std::optional<Failure> failure = attempt([&] {
        m_journalConnection = m_databases();
        m_journalConnection->open(m_settings);
        m_journal = std::make_unique<Journal>(*m_journalConnection, m_schema);
        m_journal->open();
    });
    if (!failure) {
        m_sinceUsed.start();
        return std::nullopt;
    }
    closeJournal();
    return withoutGuarantee(QStringLiteral("no journal: ") + failure->description);
}

std::optional<Outcome> RunGuard::consultJournal(const Journal::Run &run)
{
    if (!m_policy.onceOnly)
        return std::nullopt;
    std::optional<Journal::Row> ended;
    std::optional<Journal::Row> started;
    std::optional<qint64> highest;
    if (const std::optional<Failure> failure = attempt([&] {
            ended = m_journal->lastEnded(run.sha256);
            if (!ended)
                started = m_journal->lastStarted(run.sha256);
            highest = m_journal->highestSucceededSerial();
        })) {
        closeJournal();
        return withoutGuarantee(QStringLiteral("the journal could not be read: ") + failure->description);
    }
    if (ended) {
        const QString when = ended->started + QStringLiteral(" UTC");
        if (ended->outcome == Journal::kSucceeded) {
            const QString why = QStringLiteral("already applied on %1 from %2").arg(when, ended->desk);
            m_services.setStatus(QStringLiteral("LATEST.sql was ") + why + QLatin1Char('.'));
            Outcome applied = Outcome::of(OutcomeKind::UpToDate, 0, why);
            applied.journal = QStringLiteral("LATEST.sql was ") + why;
            return applied;
        }
        const QString why = QStringLiteral("failed on %1 from %2; run it again with --force once the cause is mended")
                                .arg(when, ended->desk);
        m_services.showMessage(QStringLiteral("LATEST.sql ") + why + QLatin1Char('.'), MessageStyle::Exclamation);
        Outcome outcome = Outcome::of(OutcomeKind::BatchesFailed, 0, why);
        outcome.batches = ended->batches;
        outcome.failedBatches = ended->failedBatches;
        outcome.journal = QStringLiteral("LATEST.sql ") + why;
        return outcome;
    }
    if (run.releaseSerial && highest && *run.releaseSerial < *highest) {
        const QString why = QStringLiteral("an older release's script: serial %1, the database has run serial %2")
                                .arg(*run.releaseSerial)
                                .arg(*highest);
        m_services.showMessage(QStringLiteral("LATEST.sql was not run: ") + why + QLatin1Char('.'),
                               MessageStyle::Exclamation);
        return Outcome::of(OutcomeKind::Refused, 0, why);
    }
    if (!started)
        return std::nullopt;
    // The lock is free, so that run is over; whether its batches ran, and
    // how far, the journal cannot say.
    const QString unknown
        = QStringLiteral("a run of LATEST.sql from %1 on %2 UTC did not end").arg(started->desk, started->started);
    if (m_policy.guaranteed) {
        const QString why = unknown
            + QStringLiteral("; whether it ran is not known: check the database, then run "
                             "it with --force");
        m_services.showMessage(QStringLiteral("LATEST.sql was not run: ") + why + QLatin1Char('.'),
                               MessageStyle::Exclamation);
        return Outcome::of(OutcomeKind::NotGuaranteed, 0, why);
    }
    m_services.setStatus(QStringLiteral("A run of LATEST.sql from %1 on %2 UTC did not end; running it again.")
                             .arg(started->desk, started->started));
    return std::nullopt;
}

std::optional<Outcome> RunGuard::begin(const Journal::Run &run)
{
    if (const std::optional<Failure> failure = attempt([&] { m_runId = m_journal->begin(run); })) {
        m_runId.clear();
        closeJournal();
        return withoutGuarantee(QStringLiteral("the journal's row could not be written: ") + failure->description);
    }
    m_sinceUsed.start();
    m_services.note(QStringLiteral("journal: run %1 of LATEST.sql %2 started").arg(m_runId, run.sha256));
    return std::nullopt;
}

std::optional<Outcome> RunGuard::withoutGuarantee(const QString &why)
{
    const bool lockable
        = m_script.serverKind() == ServerKind::SqlServer || m_script.serverKind() == ServerKind::PostgreSql;
    if (m_policy.guaranteed && lockable) {
        finish();
        const QString text = why + QStringLiteral(" (") + kForceHint + QLatin1Char(')');
        m_services.showMessage(QStringLiteral("LATEST.sql was not run: this run could not be kept the database's "
                                              "only one and recorded in its journal: ")
                                   + text + QLatin1Char('.'),
                               MessageStyle::Exclamation);
        return Outcome::of(OutcomeKind::NotGuaranteed, 0, text);
    }
    m_services.note(why);
    if (lockable) {
        m_services.note(QStringLiteral("not guaranteed: the script runs without %1; another desk may run it too")
                            .arg(m_lock ? QStringLiteral("a journal row") : QStringLiteral("the lock")));
    }
    return std::nullopt;
}

void RunGuard::keepAlive()
{
    if (!m_journal || m_sinceUsed.elapsed() < kKeepAliveMs)
        return;
    m_sinceUsed.start();
    // A failure here is met again at the end, which opens a connection anew.
    attempt([&] { m_journal->touch(); });
}

std::optional<QString> RunGuard::ended(const QString &outcome, int batches, int failedBatches)
{
    if (m_runId.isEmpty())
        return std::nullopt;
    std::optional<Failure> failure = attempt([&] { m_journal->end(m_runId, outcome, batches, failedBatches); });
    for (int tries = 0; failure && tries < kEndTries; ++tries) {
        m_services.note(QStringLiteral("the journal's row could not be ended (%1); trying on a new connection")
                            .arg(failure->description));
        closeJournal();
        if (tries > 0)
            m_pause(1000 * tries);
        failure = attempt([&] {
            m_journalConnection = m_databases();
            m_journalConnection->open(m_settings);
            m_journal = std::make_unique<Journal>(*m_journalConnection, m_schema);
            m_journal->end(m_runId, outcome, batches, failedBatches);
        });
    }
    if (failure) {
        m_services.note(QStringLiteral("the journal is out of step with what ran: run %1 ended %2, its row still "
                                       "says \"started\"")
                            .arg(m_runId, outcome));
        return failure->description;
    }
    m_services.note(QStringLiteral("journal: run %1 %2").arg(m_runId, outcome));
    return std::nullopt;
}

void RunGuard::closeJournal()
{
    m_journal.reset();
    if (m_journalConnection)
        m_journalConnection->close();
    m_journalConnection.reset();
}

void RunGuard::finish()
{
    closeJournal();
    if (m_lock)
        m_lock->release();
    m_lock.reset();
}
