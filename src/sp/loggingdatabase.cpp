#include "sp/loggingdatabase.h"

#include "common/failure.h"
#include "common/updatelog.h"

#include <QElapsedTimer>

void LoggingDatabase::open(const ConnectionSettings &settings)
{
    m_log.addSecret(settings.password);
    const QString what
        = QStringLiteral("database %1 on %2 through %3").arg(settings.database, settings.server, settings.driver);
    try {
        m_inner->open(settings);
    } catch (...) {
        const Failure failure = currentFailure();
        m_log.write(
            QStringLiteral("database"),
            QStringLiteral("could not connect to %1: %2 (%3)").arg(what, failure.description).arg(failure.number));
        throw;
    }
    m_log.write(QStringLiteral("database"), QStringLiteral("connected to ") + what);
}

void LoggingDatabase::execute(const QString &batch)
{
    QElapsedTimer timer;
    timer.start();
    const QString step = m_log.step().isEmpty() ? QStringLiteral("batch") : m_log.step();
    try {
        m_inner->execute(batch);
    } catch (...) {
        const Failure failure = currentFailure();
        m_log.write(QStringLiteral("batch"),
                    QStringLiteral("%1: %2 ms, failed: %3 (%4)")
                        .arg(step)
                        .arg(timer.elapsed())
                        .arg(failure.description)
                        .arg(failure.number));
        throw;
    }
    m_log.write(QStringLiteral("batch"), QStringLiteral("%1: %2 ms, done").arg(step).arg(timer.elapsed()));
}

void LoggingDatabase::cancel()
{
    m_log.write(QStringLiteral("batch"), QStringLiteral("%1: stopping it, as asked").arg(m_log.step()));
    m_inner->cancel();
}

void LoggingDatabase::close()
{
    m_inner->close();
}

DatabaseFactory LoggingDatabase::factory(DatabaseFactory inner, UpdateLog &log)
{
    return [inner = std::move(inner), &log]() -> std::unique_ptr<Database> {
        return std::make_unique<LoggingDatabase>(inner(), log);
    };
}
