#include "sp/spupdate.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/services.h"
#include "common/textrules.h"
#include "net/endpoints.h"
#include "net/releasecheck.h"
#include "net/webclient.h"
#include "sp/serverlist.h"
#include "sp/sqlscript.h"

#include <QDir>
#include <QFileInfo>

SpUpdate::SpUpdate(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder,
                   DatabaseFactory databases, QString &serverName, QList<QByteArray> keys)
    : m_services(services), m_web(web), m_endpoints(endpoints), m_appFolder(std::move(appFolder)),
      m_databases(std::move(databases)), m_serverName(serverName), m_keys(std::move(keys))
{
}

ConnectionSettings SpUpdate::connection(const QString &serverName)
{
    // Blanks around the name are not part of it, as in every connection
    // string that names a server.
    return {ConnectionString::odbcDriver(), serverName.trimmed(), QStringLiteral("Quorvel"), QStringLiteral("sa"),
            QStringLiteral("tr5kelvo")};
}

void SpUpdate::run()
{
    const BusyCursor busy(m_services);
    const std::optional<Failure> failure = attempt([&] {
        m_services.setProgressRange(0, 100);
        m_services.setProgressValue(0);
        m_services.setStatus(QString());
        ServerList::load(m_services, m_appFolder, m_serverName);
        if (const std::optional<QString> scriptText = fetchScript())
            execute(*scriptText);
    });
    if (failure) {
        showTrapBox(m_services, *failure, kTrapTitle);
        m_services.setStatus(QStringLiteral("Error executing script: ") + failure->description);
    }
}

std::optional<QString> SpUpdate::fetchScript()
{
    m_services.setStatus(QStringLiteral("Checking SP folder..."));
    m_services.processPendingEvents();
    const QString folder = inFolder(m_appFolder, QStringLiteral("SP"));
    // Anything at the path counts, a file named SP included: the download
    // into it then fails.
    if (!QFileInfo::exists(folder) && !QFileInfo(folder).isSymLink() && !QDir().mkdir(folder))
        throw Failure{FailureCode::PathAccess, QStringLiteral("Cannot create the folder %1").arg(folder)};

    m_services.setStatus(QStringLiteral("Downloading stored procedure script..."));
    m_services.processPendingEvents();
    const QString path = inFolder(folder, QStringLiteral("LATEST.sql"));
    // Only a script the publisher released is read (and run).
    DownloadOptions options;
    options.check = releaseCheck(m_web, m_endpoints.scriptUrl(), ReleaseKind::Script, m_keys);
    const int status = m_web.downloadToFile(m_endpoints.scriptUrl(), path, options);
    if (status != 0) {
        m_services.setStatus(QStringLiteral("Download failed. Error code: ") + QString::number(status));
        return std::nullopt;
    }

    const Answer answer = m_services.showMessage(QStringLiteral("Are you sure you want to execute the SQL script?"),
                                                 MessageStyle::Question, QStringLiteral("Confirmation"));
    if (answer != Answer::Yes)
        return std::nullopt;

    if (!QFileInfo::exists(path)) {
        m_services.showMessage(QStringLiteral("Error: File not found at ") + QDir::toNativeSeparators(path),
                               MessageStyle::Critical);
        return std::nullopt;
    }

    m_services.setStatus(QStringLiteral("Reading SQL script..."));
    m_services.processPendingEvents();
    return SqlScript::readFile(path);
}

void SpUpdate::execute(const QString &scriptText)
{
    const QList<QStringView> batches = SqlScript::batchViews(scriptText);
    const int count = int(batches.size());
    const QString total = QString::number(count);

    ServerList::checkServerName(m_serverName);
    std::unique_ptr<Database> database = m_databases();
    database->open(connection(m_serverName));

    m_services.setProgressRange(0, count - 1);
    m_services.setProgressValue(0);
    m_services.setStatus(QStringLiteral("Executing SQL script..."));
    m_services.processPendingEvents();

    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const QString batch = TextRules::trimBlanks(batches.at(i).toString());
        if (batch.isEmpty())
            continue;
        m_services.setProgressValue(i);
        m_services.setStatus(QStringLiteral("Executing batch ") + QString::number(i + 1) + QStringLiteral(" of ")
                             + total);
        m_services.processPendingEvents();
        if (const std::optional<Failure> failure = attempt([&] { database->execute(batch); })) {
            ++failed;
            m_services.showMessage(QStringLiteral("Error executing batch ") + QString::number(i + 1)
                                       + QStringLiteral(": ") + failure->description,
                                   MessageStyle::Critical);
        }
    }

    database->close();
    database.reset();

    m_services.setStatus(QStringLiteral("Execution Completed!"));
    m_services.setProgressValue(count - 1);
    if (failed == 0) {
        m_services.showMessage(QStringLiteral("SQL Script Execution Completed Successfully!"),
                               MessageStyle::Information);
    } else {
        m_services.showMessage(QStringLiteral("SQL Script Execution Completed with errors: ") + QString::number(failed)
                                   + QStringLiteral(" of ") + total + QStringLiteral(" batches failed."),
                               MessageStyle::Exclamation);
    }
}
