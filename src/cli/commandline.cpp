#include "cli/commandline.h"

#include <algorithm>
#include <iterator>

namespace {

struct ActionOption
{
    QLatin1String name;
    CommandLine::Action action;
};

// The options that name the action, each taking no value.
constexpr ActionOption kActionOptions[] = {
    {QLatin1String("--check"), CommandLine::Action::Check},
    {QLatin1String("--update-app"), CommandLine::Action::UpdateApp},
    {QLatin1String("--update-reports"), CommandLine::Action::UpdateReports},
    {QLatin1String("--update-sp"), CommandLine::Action::UpdateSp},
    {QLatin1String("--help"), CommandLine::Action::Help},
    {QLatin1String("-h"), CommandLine::Action::Help},
    {QLatin1String("/?"), CommandLine::Action::Help},
    {QLatin1String("--version"), CommandLine::Action::Version},
};

// A whole number of at least 0; false when the text is not one.
bool wholeNumber(const QString &text, qint64 &value)
{
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok && value >= 0 && !text.startsWith(u'+');
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine line;
    auto fail = [&line](const QString &why) {
        if (line.error.isEmpty())
            line.error = why;
    };
    auto setAction = [&](Action wanted, const QString &option) {
        if (line.action != Action::None && line.action != wanted)
            fail(QStringLiteral("%1 cannot be combined with another action.").arg(option));
        line.action = wanted;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        QString value;
        bool hasValue = false;
        if (option.startsWith(QLatin1String("--")) && option.contains(u'=')) {
            value = option.mid(option.indexOf(u'=') + 1);
            option = option.left(option.indexOf(u'='));
            hasValue = true;
        }
        auto takeValue = [&]() -> QString {
            if (hasValue)
                return value;
            if (i + 1 >= arguments.size() || arguments.at(i + 1).startsWith(QLatin1String("--"))) {
                fail(QStringLiteral("%1 needs a value.").arg(option));
                return {};
            }
            return arguments.at(++i);
        };
        auto takeNumber = [&](qint64 ceiling) -> qint64 {
            const QString text = takeValue();
            qint64 number = 0;
            if (line.error.isEmpty() && (!wholeNumber(text, number) || number > ceiling)) {
                fail(QStringLiteral("%1 needs a whole number from 0 to %2, not \"%3\".")
                         .arg(option)
                         .arg(ceiling)
                         .arg(text));
            }
            return number;
        };
        auto noValue = [&] {
            if (hasValue)
                fail(QStringLiteral("%1 takes no value.").arg(option));
        };

        const ActionOption *const named = std::ranges::find(kActionOptions, option, &ActionOption::name);
        if (named != std::end(kActionOptions)) {
            noValue();
            setAction(named->action, option);
        } else if (option == QLatin1String("--yes")) {
            noValue();
            line.yes = true;
        } else if (option == QLatin1String("--quiet")) {
            noValue();
            line.quiet = true;
        } else if (option == QLatin1String("--force")) {
            noValue();
            line.force = true;
        } else if (option == QLatin1String("--all")) {
            noValue();
            line.allReports = true;
        } else if (option == QLatin1String("--log")) {
            line.logPath = takeValue();
            if (line.error.isEmpty() && line.logPath.isEmpty())
                fail(QStringLiteral("--log needs a file name."));
        } else if (option == QLatin1String("--max-rate")) {
            line.maxRate = takeNumber(qint64{1} << 40);
        } else if (option == QLatin1String("--sql-timeout")) {
            line.sqlTimeout = static_cast<int>(takeNumber(86'400));
        } else if (option == QLatin1String("--lock-wait")) {
            line.lockWait = static_cast<int>(takeNumber(86'400));
        } else if (option == QLatin1String("--mirror")) {
            setAction(Action::Mirror, option);
            line.mirrorFolder = takeValue();
            if (line.error.isEmpty() && line.mirrorFolder.isEmpty())
                fail(QStringLiteral("--mirror needs a folder."));
        } else if (option == QLatin1String("--mirror-from")) {
            line.mirrorFrom = takeValue();
            if (line.error.isEmpty() && line.mirrorFrom.trimmed().isEmpty())
                fail(QStringLiteral("--mirror-from needs an https address or a folder."));
        } else if (option == QLatin1String("--status-dir")) {
            line.statusFolder = takeValue();
            if (line.error.isEmpty() && line.statusFolder.trimmed().isEmpty())
                fail(QStringLiteral("--status-dir needs a folder."));
        } else if (option == QLatin1String("--fleet-report")) {
            setAction(Action::FleetReport, option);
            line.fleetFolder = takeValue();
            if (line.error.isEmpty() && line.fleetFolder.isEmpty())
                fail(QStringLiteral("--fleet-report needs a folder."));
        } else if (option == QLatin1String("--stale-days")) {
            line.staleDays = static_cast<int>(takeNumber(36'500));
        } else if (option == QLatin1String("--html")) {
            line.htmlPath = takeValue();
            if (line.error.isEmpty() && line.htmlPath.isEmpty())
                fail(QStringLiteral("--html needs a file name."));
        } else if (option == QLatin1String("--jitter")) {
            line.jitterSeconds = static_cast<int>(takeNumber(86'400));
        } else if (option.startsWith(u'-')) {
            fail(QStringLiteral("Unknown option %1.").arg(option));
        } else {
            line.reports << option;
        }
    }
    if (!line.error.isEmpty())
        return line;
    if (line.action == Action::None)
        fail(QStringLiteral(
            "No action given: --check, --update-app, --update-reports, --update-sp, --mirror or --fleet-report."));
    else if (line.action == Action::UpdateReports && line.allReports == !line.reports.isEmpty())
        fail(QStringLiteral("--update-reports needs either --all or the names of the reports."));
    else if (line.action != Action::UpdateReports && (line.allReports || !line.reports.isEmpty()))
        fail(line.allReports ? QStringLiteral("--all belongs to --update-reports.")
                             : QStringLiteral("Unexpected argument %1.").arg(line.reports.first()));
    if (!line.mirrorFrom.isEmpty() && line.action != Action::Check && line.action != Action::UpdateApp
        && line.action != Action::UpdateSp)
        fail(QStringLiteral("--mirror-from belongs to --check, --update-app and --update-sp."));
    if (line.action != Action::FleetReport && (line.staleDays >= 0 || !line.htmlPath.isEmpty()))
        fail(line.staleDays >= 0 ? QStringLiteral("--stale-days belongs to --fleet-report.")
                                 : QStringLiteral("--html belongs to --fleet-report."));
    if (!line.statusFolder.isEmpty() && (line.action == Action::FleetReport || line.action == Action::Mirror))
        fail(QStringLiteral("--status-dir belongs to the actions on an installation."));
    if (line.action != Action::UpdateSp && (line.force || line.lockWait >= 0)) {
        fail(line.force ? QStringLiteral("--force belongs to --update-sp.")
                        : QStringLiteral("--lock-wait belongs to --update-sp."));
    }
    return line;
}

QString usageText()
{
    return QStringLiteral(
        "Usage: updater                      opens the window\n"
        "       updater --check              compares the installed and the published version\n"
        "       updater --update-app [--yes] installs the published Vantora.exe\n"
        "       updater --update-reports (--all | NAME...)\n"
        "                                    downloads the published reports into Reports\n"
        "       updater --update-sp [--yes] [--force] [--lock-wait SECONDS]\n"
        "                                    runs the published LATEST.sql on the database, once:\n"
        "                                    a script the database's journal says ran is not run again\n"
        "       updater --mirror DIR         keeps in DIR a checked copy of the published release, for the\n"
        "                                    desks of a school to read from its own server\n"
        "       updater --fleet-report DIR [--stale-days N] [--html FILE]\n"
        "                                    one line per installation that wrote its status into DIR,\n"
        "                                    the ones with a problem first, and a summary\n"
        "\n"
        "Options:\n"
        "  --yes                  answer Yes to the questions (without it: No)\n"
        "  --log FILE             the update log (default: updater.log in the application folder)\n"
        "  --quiet                nothing on standard output; failures still on standard error\n"
        "  --max-rate BYTES       at most this many bytes a second per transfer\n"
        "  --sql-timeout SECONDS  the time a batch may run (default 30; 0: no limit)\n"
        "  --jitter SECONDS       first wait a random time of up to this long\n"
        "  --force                --update-sp: run the script even if the journal says it ran\n"
        "  --lock-wait SECONDS    --update-sp: how long to wait for another desk's run of the script\n"
        "                         (default 300)\n"
        "  --mirror-from ADDRESS  take the release's files from this mirror first (an https address or a\n"
        "                         folder; default: UPDATER_MIRROR), checked against release.json\n"
        "  --status-dir DIR       write this installation's status file into DIR at the end (default:\n"
        "                         UPDATER_STATUS_DIR), for --fleet-report\n"
        "  --stale-days N         --fleet-report: a desk without a run for N days is not heard from\n"
        "                         (default 7)\n"
        "  --html FILE            --fleet-report: also write the report as a page with a chart\n"
        "  --help, --version\n"
        "\n"
        "Exit codes: 0 done or up to date, 1 another failure, 2 usage error, 3 another updater is at\n"
        "work in the folder, 4 network or download failure, 5 download refused (signature or not a\n"
        "release), 6 executable not replaced, 7 SQL batches failed, 8 database unreachable,\n"
        "9 not enough disk space, 10 update available (--check), 11 declined, 12 the published\n"
        "release has expired, 13 another desk is running the script (it waited --lock-wait),\n"
        "17 --fleet-report: an installation is behind, failed or has not been heard from.\n");
}

namespace {

// How each way an action can end leaves the process: the one table.
struct ExitRow
{
    OutcomeKind kind;
    int code;
};
constexpr ExitRow kExitCodes[] = {
    {OutcomeKind::Done, ExitCode::Success},
    {OutcomeKind::UpToDate, ExitCode::Success},
    {OutcomeKind::UpdateAvailable, ExitCode::UpdateAvailable},
    {OutcomeKind::Declined, ExitCode::Declined},
    {OutcomeKind::DownloadFailed, ExitCode::Download},
    {OutcomeKind::Refused, ExitCode::Refused},
    {OutcomeKind::NotReplaced, ExitCode::NotReplaced},
    {OutcomeKind::BatchesFailed, ExitCode::BatchesFailed},
    {OutcomeKind::DatabaseUnreachable, ExitCode::DatabaseUnreachable},
    {OutcomeKind::Busy, ExitCode::Busy},
    {OutcomeKind::DiskFull, ExitCode::DiskFull},
    {OutcomeKind::Expired, ExitCode::Expired},
    {OutcomeKind::ScriptRunElsewhere, ExitCode::ScriptRunElsewhere},
    {OutcomeKind::FleetAttention, ExitCode::FleetNeedsAttention},
    {OutcomeKind::Failed, ExitCode::Failed},
};

} // namespace

int ExitCode::of(OutcomeKind kind)
{
    const ExitRow *const row = std::ranges::find(kExitCodes, kind, &ExitRow::kind);
    return row != std::end(kExitCodes) ? row->code : Failed;
}
