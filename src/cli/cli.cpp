#include "cli/cli.h"

#include "cli/commandline.h"
#include "cli/consoleservices.h"
#include "cli/fleetreport.h"
#include "common/appfolder.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/loggingservices.h"
#include "common/signature.h"
#include "common/updatelog.h"
#include "net/endpoints.h"
#include "net/webclient.h"
#include "reports/reportactions.h"
#include "reports/reportlist.h"
#include "sp/loggingdatabase.h"
#include "sp/odbcdatabase.h"
#include "sp/spupdate.h"
#include "update/appupdate.h"
#include "update/installation.h"
#include "update/installationstatus.h"
#include "update/installfiles.h"
#include "update/logginginstall.h"
#include "update/processcontrol.h"
#include "update/releasemirror.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

#ifndef UPDATER_VERSION
#define UPDATER_VERSION "0"
#endif

namespace {

// The arguments as the log shows them: an address's password (a proxy's
// account) left out.
QStringList withoutPasswords(QStringList arguments)
{
    static const QRegularExpression password(QStringLiteral("(://[^/@:]*):[^/@]*@"));
    for (QString &argument : arguments)
        argument.replace(password, QStringLiteral("\\1@"));
    return arguments;
}

// The proxy of the run: --proxy, else UPDATER_PROXY, else the system's;
// the hosts it is not used for: --no-proxy, else no_proxy. `error` says
// why an UPDATER_PROXY cannot be used.
ProxyChoice proxyOf(const CommandLine &line, QString *error = nullptr)
{
    ProxyChoice proxy = line.proxy ? *line.proxy : ProxyChoice::fromEnvironment(error);
    proxy.bypass = line.noProxy;
    return proxy;
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

    Run(const CommandLine &commandLine, QString folder, UpdateLog &updateLog)
        : line(commandLine), appFolder(std::move(folder)), log(updateLog), console(line.yes, line.quiet),
          services(console, log), processes(ProcessControl::system(), log), files(InstallFiles::plain(), log),
          endpoints(Endpoints::fromEnvironment())
    {
        web.setMaxBytesPerSecond(line.maxRate);
        web.setProxy(proxyOf(line));
        if (!line.mirrorFrom.isEmpty())
            endpoints.setMirror(line.mirrorFrom);
        web.setObserver(
            [this](const TransferResult &record) { log.write(QStringLiteral("transfer"), record.summary()); });
    }

    Outcome check();
    Outcome updateApp();
    Outcome updateReports();
    Outcome updateSp();
};

Outcome Run::check()
{
    AppUpdate::Versions versions;
    AppUpdate update(services, web, clock, endpoints, appFolder, processes, files);
    if (const std::optional<Failure> failure = attempt([&] { versions = update.readVersions(); })) {
        // As "Update App" words it.
        services.setStatus(QStringLiteral("Error: ") + failure->description);
        services.showMessage(QStringLiteral("An error occurred: ") + failure->description, MessageStyle::Critical);
        return failure->outcome();
    }
    console.say(QStringLiteral("installed version: ") + versions.local);
    console.say(QStringLiteral("published version: ") + versions.remote);
    log.write(QStringLiteral("check"),
              QStringLiteral("installed %1, published %2").arg(versions.local, versions.remote));
    return update.settled(versions).value_or(Outcome::of(OutcomeKind::UpdateAvailable));
}

Outcome Run::updateApp()
{
    AppUpdate update(services, web, clock, endpoints, appFolder, processes, files);
    update.setStartWatch({line.probationSeconds, line.force});
    return update.run();
}

Outcome Run::updateReports()
{
    ReportList list;
    ReportActions actions(services, web, endpoints, appFolder, list);
    console.onSelectAllChanged = [&] { actions.chkAll_Click(); };
    Outcome listed = actions.cmdReports_Click();
    if (listed.kind != OutcomeKind::Done)
        return listed;
    QStringList missing;
    if (line.allReports) {
        services.setSelectAllChecked(true);
    } else {
        for (const QString &name : line.reports) {
            // Every row that shows the name: one whose published name
            // differs is refused with its box, the others are downloaded.
            bool inCatalogue = false;
            for (int row = 0; row < list.count(); ++row) {
                if (list.name(row) == name) {
                    list.setChecked(row, true);
                    inCatalogue = true;
                }
            }
            if (!inCatalogue)
                missing << name;
        }
    }
    for (const QString &name : missing) {
        console.say(QStringLiteral("not in the published catalogue: ") + name, true);
        log.write(QStringLiteral("reports"), QStringLiteral("not in the published catalogue: ") + name);
    }
    Outcome downloaded = actions.cmdDownloadRpt_Click();
    if (downloaded.kind == OutcomeKind::Done && !missing.isEmpty())
        return Outcome::of(OutcomeKind::Failed, 0,
                           QStringLiteral("not in the published catalogue: ") + missing.join(QStringLiteral(", ")));
    return downloaded;
}

Outcome Run::updateSp()
{
    QString serverName;
    SpUpdate update(services, web, endpoints, appFolder,
                    LoggingDatabase::factory(OdbcDatabase::factory(OdbcDatabase::Thread::Caller), log), serverName,
                    Signature::trustedKeys(), line.sqlTimeout >= 0 ? line.sqlTimeout : kDefaultCommandTimeout);
    update.setOnceOnly(!line.force);
    update.setGuaranteed(!line.force);
    update.setLockWait(line.lockWait >= 0 ? line.lockWait : SpUpdate::kDefaultLockWait);
    return update.run();
}

// The action's name in the status file.
QString actionName(CommandLine::Action action)
{
    switch (action) {
    case CommandLine::Action::Check: return QStringLiteral("check");
    case CommandLine::Action::UpdateApp: return QStringLiteral("update-app");
    case CommandLine::Action::UpdateReports: return QStringLiteral("update-reports");
    case CommandLine::Action::UpdateSp: return QStringLiteral("update-sp");
    default: return QStringLiteral("other");
    }
}

// --fleet-report: reads the share, prints the report, writes the page.
int runFleetReport(const CommandLine &line)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    QString why;
    const std::optional<FleetReport> report
        = FleetReport::read(line.fleetFolder, QDateTime::currentDateTimeUtc(),
                            line.staleDays >= 0 ? line.staleDays : FleetReport::kDefaultStaleDays, &why);
    if (!report) {
        err << "updater: " << why << '\n';
        return ExitCode::of(OutcomeKind::Failed);
    }
    out << report->text();
    if (!line.htmlPath.isEmpty()) {
        QSaveFile page(line.htmlPath);
        const QByteArray html = report->html().toUtf8();
        if (!page.open(QIODevice::WriteOnly) || page.write(html) != html.size() || !page.commit()) {
            err << "updater: the page " << QDir::toNativeSeparators(line.htmlPath)
                << " cannot be written: " << page.errorString() << '\n';
            return ExitCode::of(OutcomeKind::Failed);
        }
    }
    return ExitCode::of(report->allWell() ? OutcomeKind::Done : OutcomeKind::FleetAttention);
}

} // namespace

void writeInstallationStatus(const QString &folder, const QString &appFolder, const QString &action,
                             const Outcome &outcome, UpdateLog &log)
{
    if (folder.isEmpty())
        return;
    const auto note = [&log](const QString &text) { log.write(QStringLiteral("status"), text); };
    InstallationStatus status = InstallationStatus::of(appFolder, action, outcome, ExitCode::of(outcome.kind), note);
    status.reason = log.masked(status.reason);
    status.journal = log.masked(status.journal);
    QString why;
    if (!status.writeTo(folder, &why))
        note(QStringLiteral("the status file cannot be written: ") + why);
}

QString versionText(const QList<QByteArray> &keys)
{
    QString text = QStringLiteral("updater " UPDATER_VERSION "\n");
    if (keys.isEmpty())
        text += QStringLiteral("no trusted keys: signatures are not checked\n");
    for (const QByteArray &key : keys) {
        const QString print = Signature::fingerprint(key);
        text += QStringLiteral("trusted key: ")
            + (print.isEmpty() ? QStringLiteral("none that can be read: no signature is accepted") : print) + u'\n';
    }
    return text;
}

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
        QTextStream(stdout) << versionText(Signature::trustedKeys()) << WebClient::libraryText() << '\n';
        return ExitCode::Success;
    }
    if (line.action == CommandLine::Action::FleetReport)
        return runFleetReport(line);

    QString proxyError;
    const ProxyChoice proxy = proxyOf(line, &proxyError);
    if (!proxyError.isEmpty()) {
        // A scheduled run does not guess where its transfers should go.
        QTextStream(stderr) << "updater: " << proxyError << "\n";
        return ExitCode::Usage;
    }

    const QString appFolder = applicationFolder();
    UpdateLog log(line.logPath.isEmpty() ? UpdateLog::defaultPath(appFolder) : line.logPath);
    if (!log.write(QStringLiteral("start"),
                   QStringLiteral("updater %1 in %2: %3")
                       .arg(QStringLiteral(UPDATER_VERSION), appFolder, withoutPasswords(arguments).join(u' ')))) {
        // Said once; the action does not depend on its log.
        QTextStream(stderr) << "updater: the log " << QDir::toNativeSeparators(log.path())
                            << " cannot be written; going on without it.\n";
    }
    log.write(QStringLiteral("start"), QStringLiteral("proxy: ") + proxy.describe());
    Run run(line, appFolder, log);
    if (line.jitterSeconds > 0) {
        // Machines started by one schedule spread their requests.
        const auto wait = static_cast<unsigned long>(
            QRandomGenerator::global()->bounded(static_cast<quint32>(line.jitterSeconds) * 1000U + 1U));
        log.write(QStringLiteral("start"), QStringLiteral("waiting %1 ms first (--jitter)").arg(wait));
        QThread::msleep(wait);
    }

    Outcome outcome;
    if (line.action == CommandLine::Action::Mirror) {
        // The mirror's folder is not an installation: it holds its own lock.
        outcome
            = ReleaseMirror(run.services, run.web, run.endpoints, line.mirrorFolder, Signature::trustedKeys()).run();
        const int code = ExitCode::of(outcome.kind);
        const QString result = QStringLiteral("result: %1 (exit code %2)").arg(outcome.summary()).arg(code);
        log.write(QStringLiteral("end"), result);
        run.console.say(result, code != ExitCode::Success);
        return code;
    }
    const std::optional<Outcome> notRun = Installation::runAction(run.services, appFolder, run.files, [&] {
        switch (line.action) {
        case CommandLine::Action::Check: outcome = run.check(); break;
        case CommandLine::Action::UpdateApp: outcome = run.updateApp(); break;
        case CommandLine::Action::UpdateReports: outcome = run.updateReports(); break;
        case CommandLine::Action::UpdateSp: outcome = run.updateSp(); break;
        default: break;
        }
    });
    if (notRun)
        outcome = *notRun;
    const int code = ExitCode::of(outcome.kind);
    const QString result = QStringLiteral("result: %1 (exit code %2)").arg(outcome.summary()).arg(code);
    log.write(QStringLiteral("end"), result);
    writeInstallationStatus(line.statusFolder.isEmpty() ? InstallationStatus::folderFromEnvironment()
                                                        : line.statusFolder,
                            appFolder, actionName(line.action), outcome, log);
    run.console.say(result, code != ExitCode::Success && code != ExitCode::UpdateAvailable);
    return code;
}
