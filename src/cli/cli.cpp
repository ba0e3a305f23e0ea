#include "cli/cli.h"

#include "cli/commandline.h"
#include "cli/consoleservices.h"
#include "common/appfolder.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/loggingservices.h"
#include "common/signature.h"
#include "common/updatelog.h"
#include "net/endpoints.h"
#include "net/transfercodes.h"
#include "net/webclient.h"
#include "reports/reportactions.h"
#include "reports/reportlist.h"
#include "sp/loggingdatabase.h"
#include "sp/odbcdatabase.h"
#include "sp/spupdate.h"
#include "update/appupdate.h"
#include "update/installation.h"
#include "update/installfiles.h"
#include "update/logginginstall.h"
#include "update/processcontrol.h"

#include <QRandomGenerator>
#include <QTextStream>
#include <QThread>

#ifndef UPDATER_VERSION
#define UPDATER_VERSION "0"
#endif

namespace {

// The records an action left from `from` on.
QList<ConsoleServices::Record> since(const ConsoleServices &console, qsizetype from)
{
    return console.records().mid(from);
}

bool saidBox(const QList<ConsoleServices::Record> &records, const QString &start)
{
    return std::any_of(records.begin(), records.end(),
                       [&](const ConsoleServices::Record &r) { return r.box && r.text.startsWith(start); });
}

bool saidStatus(const QList<ConsoleServices::Record> &records, const QString &start)
{
    return std::any_of(records.begin(), records.end(),
                       [&](const ConsoleServices::Record &r) { return !r.box && r.text.startsWith(start); });
}

bool declined(const QList<ConsoleServices::Record> &records)
{
    return std::any_of(records.begin(), records.end(), [](const ConsoleServices::Record &r) {
        return r.box && r.style == MessageStyle::Question && r.answer != Answer::Yes;
    });
}

bool isRefusal(int code)
{
    return code == TransferCode::NotARelease || code == TransferCode::BadSignature;
}

// Everything one run of the unattended mode works with.
struct Run
{
    const CommandLine &line;
    QString appFolder;
    UpdateLog &log;
    ConsoleServices console;
    LoggingServices services;
    WebClient web;
    SystemClock clock;
    LoggingProcesses processes;
    LoggingFiles files;
    Endpoints endpoints;
    TransferRecord lastTransfer;

    Run(const CommandLine &commandLine, QString folder, UpdateLog &updateLog)
        : line(commandLine), appFolder(std::move(folder)), log(updateLog), console(line.yes, line.quiet),
          services(console, log), processes(ProcessControl::system(), log), files(InstallFiles::plain(), log),
          endpoints(Endpoints::fromEnvironment())
    {
        web.setMaxBytesPerSecond(line.maxRate);
        web.setObserver([this](const TransferRecord &record) {
            lastTransfer = record;
            log.write(QStringLiteral("transfer"), record.summary());
        });
    }

    int check();
    int updateApp();
    int updateReports();
    int updateSp();
};

int Run::check()
{
    AppUpdate::Versions versions;
    AppUpdate update(services, web, clock, endpoints, appFolder, processes, files);
    const std::optional<Failure> failure = attempt([&] { versions = update.readVersions(); });
    if (failure) {
        // As "Update App" words it.
        services.setStatus(QStringLiteral("Error: ") + failure->description);
        services.showMessage(QStringLiteral("An error occurred: ") + failure->description, MessageStyle::Critical);
        return lastTransfer.code != 0 ? ExitCode::Download : ExitCode::Failed;
    }
    console.say(QStringLiteral("installed version: ") + versions.local);
    console.say(QStringLiteral("published version: ") + versions.remote);
    log.write(QStringLiteral("check"),
              QStringLiteral("installed %1, published %2").arg(versions.local, versions.remote));
    return versions.local == versions.remote ? ExitCode::Success : ExitCode::UpdateAvailable;
}

int Run::updateApp()
{
    const qsizetype from = console.records().size();
    AppUpdate(services, web, clock, endpoints, appFolder, processes, files).run();
    const QList<ConsoleServices::Record> said = since(console, from);
    if (saidBox(said, QStringLiteral("Update completed successfully!"))
        || saidBox(said, QStringLiteral("You already have the latest version")))
        return ExitCode::Success;
    if (saidBox(said, QStringLiteral("Update failed. Couldn't replace the old EXE.")))
        return ExitCode::NotReplaced;
    if (saidBox(said, QStringLiteral("Failed to download update.")))
        return isRefusal(lastTransfer.code) ? ExitCode::Refused : ExitCode::Download;
    if (declined(said))
        return ExitCode::Declined;
    if (saidBox(said, QStringLiteral("An error occurred: ")) && lastTransfer.code != 0)
        return ExitCode::Download;
    return ExitCode::Failed;
}

int Run::updateReports()
{
    const qsizetype from = console.records().size();
    ReportList list;
    ReportActions actions(services, web, endpoints, appFolder, list);
    console.onSelectAllChanged = [&] { actions.chkAll_Click(); };
    actions.cmdReports_Click();
    if (saidBox(since(console, from), QStringLiteral("Error loading file list: ")))
        return ExitCode::Download;
    QStringList missing;
    if (line.allReports) {
        services.setSelectAllChecked(true);
    } else {
        for (const QString &name : line.reports) {
            const qsizetype row = list.names().indexOf(name);
            if (row < 0)
                missing << name;
            else
                list.setChecked(static_cast<int>(row), true);
        }
    }
    for (const QString &name : missing) {
        console.say(QStringLiteral("not in the published catalogue: ") + name, true);
        log.write(QStringLiteral("reports"), QStringLiteral("not in the published catalogue: ") + name);
    }
    actions.cmdDownloadRpt_Click();
    const QList<ConsoleServices::Record> said = since(console, from);
    if (saidBox(said, QStringLiteral("Failed to download: ")))
        return ExitCode::Download;
    if (!missing.isEmpty() || !saidBox(said, QStringLiteral("Download complete.")))
        return ExitCode::Failed;
    return ExitCode::Success;
}

int Run::updateSp()
{
    const qsizetype from = console.records().size();
    QString serverName;
    SpUpdate update(services, web, endpoints, appFolder,
                    LoggingDatabase::factory(OdbcDatabase::factory(OdbcDatabase::Thread::Caller), log), serverName,
                    Signature::trustedKeys(), line.sqlTimeout >= 0 ? line.sqlTimeout : kDefaultCommandTimeout);
    update.run();
    const QList<ConsoleServices::Record> said = since(console, from);
    if (saidBox(said, QStringLiteral("SQL Script Execution Completed Successfully!")))
        return ExitCode::Success;
    if (saidBox(said, QStringLiteral("SQL Script Execution Completed with errors")))
        return ExitCode::BatchesFailed;
    if (saidStatus(said, QStringLiteral("Download failed. Error code: ")))
        return isRefusal(lastTransfer.code) ? ExitCode::Refused : ExitCode::Download;
    if (declined(said))
        return ExitCode::Declined;
    // The action's trap: "number : description". The connection could not
    // be had, or the server named none that can be reached.
    for (const ConsoleServices::Record &record : said) {
        const int number = record.box ? record.text.section(QStringLiteral(" : "), 0, 0).toInt() : 0;
        if (number == DatabaseCode::OpenFailed || number == DatabaseCode::NoServer
            || number == DatabaseCode::BadServerName || number == DatabaseCode::NoDriver)
            return ExitCode::DatabaseUnreachable;
    }
    return ExitCode::Failed;
}

} // namespace

int runCommandLine(const QStringList &arguments)
{
    const CommandLine line = CommandLine::parse(arguments);
    if (!line.error.isEmpty()) {
        QTextStream(stderr) << "updater: " << line.error << "\n\n" << usageText();
        return ExitCode::Usage;
    }
    if (line.action == CommandLine::Action::Help) {
        QTextStream(stdout) << usageText();
        return ExitCode::Success;
    }
    if (line.action == CommandLine::Action::Version) {
        QTextStream(stdout) << "updater " << UPDATER_VERSION << "\n";
        return ExitCode::Success;
    }

    const QString appFolder = applicationFolder();
    UpdateLog log(line.logPath.isEmpty() ? UpdateLog::defaultPath(appFolder) : line.logPath);
    log.write(
        QStringLiteral("start"),
        QStringLiteral("updater %1 in %2: %3").arg(QStringLiteral(UPDATER_VERSION), appFolder, arguments.join(u' ')));
    Run run(line, appFolder, log);
    if (line.jitterSeconds > 0) {
        // Machines started by one schedule spread their requests.
        const auto wait = static_cast<unsigned long>(
            QRandomGenerator::global()->bounded(static_cast<quint32>(line.jitterSeconds) * 1000U + 1U));
        log.write(QStringLiteral("start"), QStringLiteral("waiting %1 ms first (--jitter)").arg(wait));
        QThread::msleep(wait);
    }

    int code = ExitCode::Failed;
    const bool ran = Installation::runAction(run.services, appFolder, run.files, [&] {
        switch (line.action) {
        case CommandLine::Action::Check: code = run.check(); break;
        case CommandLine::Action::UpdateApp: code = run.updateApp(); break;
        case CommandLine::Action::UpdateReports: code = run.updateReports(); break;
        case CommandLine::Action::UpdateSp: code = run.updateSp(); break;
        default: break;
        }
    });
    if (!ran)
        code = ExitCode::Busy;
    const QString result = QStringLiteral("result: %1 (exit code %2)").arg(ExitCode::meaning(code)).arg(code);
    log.write(QStringLiteral("end"), result);
    run.console.say(result, code != ExitCode::Success && code != ExitCode::UpdateAvailable);
    return code;
}
