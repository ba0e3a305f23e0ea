#include "cli/commandline.h"

#include <QCommandLineParser>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// What reading one option may do: set the line, or say why it cannot be run.
class Reading
{
public:
    Reading(CommandLine &into, QString name, QString value)
        : line(into), option(std::move(name)), given(std::move(value))
    {
    }

    CommandLine &line;

    void fail(const QString &why) const
    {
        if (line.error.isEmpty())
            line.error = why;
    }
    void action(CommandLine::Action wanted) const
    {
        if (line.action != CommandLine::Action::None && line.action != wanted)
            fail(QStringLiteral("%1 cannot be combined with another action.").arg(option));
        line.action = wanted;
    }
    // The option's value; what is missing is named with `what`.
    QString value(const char *what = "a value") const
    {
        if (given.trimmed().isEmpty() || given.startsWith(QLatin1String("--")))
            fail(QStringLiteral("%1 needs %2.").arg(option, QLatin1String(what)));
        return given;
    }
    // The option's value as given, empty included.
    QString text() const { return given; }
    // A whole number from 0 to `ceiling`.
    qint64 number(qint64 ceiling) const
    {
        bool ok = false;
        const qint64 number = given.toLongLong(&ok);
        if (!ok || number < 0 || number > ceiling || given.startsWith(u'+')) {
            fail(QStringLiteral("%1 needs a whole number from 0 to %2, not \"%3\".")
                     .arg(option)
                     .arg(ceiling)
                     .arg(given));
            return 0;
        }
        return number;
    }

private:
    QString option;
    QString given;
};

// One option: its names ("h|help"), the name of its value (none: a switch),
// its line in --help, and how it is read into the command line.
struct OptionRow
{
    const char *names;
    const char *valueName;
    const char *help;
    void (*read)(const Reading &);
};

constexpr qint64 kDay = 86'400;

// Every option of the command line, in the order --help lists them.
constexpr OptionRow kOptions[] = {
    {"check", nullptr, "compare the installed and the published version",
     [](const Reading &r) { r.action(CommandLine::Action::Check); }},
    {"update-app", nullptr, "install the published Vantora.exe",
     [](const Reading &r) { r.action(CommandLine::Action::UpdateApp); }},
    {"update-reports", nullptr, "download the published reports (--all, or NAME...) into Reports",
     [](const Reading &r) { r.action(CommandLine::Action::UpdateReports); }},
    {"update-sp", nullptr,
     "run the published LATEST.sql on the database, once: a script the database's journal says ran is not run "
     "again",
     [](const Reading &r) { r.action(CommandLine::Action::UpdateSp); }},
    {"mirror", "DIR",
     "keep in DIR a checked copy of the published release, for the desks of a school to read from its own server",
     [](const Reading &r) {
         r.action(CommandLine::Action::Mirror);
         r.line.mirrorFolder = r.value("a folder");
     }},
    {"yes", nullptr, "answer Yes to the questions (without it: No)", [](const Reading &r) { r.line.yes = true; }},
    {"all", nullptr, "--update-reports: every published report", [](const Reading &r) { r.line.allReports = true; }},
    {"log", "FILE", "the update log (default: updater.log in the application folder)",
     [](const Reading &r) { r.line.logPath = r.value("a file name"); }},
    {"quiet", nullptr, "nothing on standard output; failures still on standard error",
     [](const Reading &r) { r.line.quiet = true; }},
    {"max-rate", "BYTES", "at most this many bytes a second per transfer",
     [](const Reading &r) { r.line.maxRate = r.number(qint64{1} << 40); }},
    {"sql-timeout", "SECONDS", "the time a batch may run (default 30; 0: no limit)",
     [](const Reading &r) { r.line.sqlTimeout = static_cast<int>(r.number(kDay)); }},
    {"jitter", "SECONDS", "first wait a random time of up to this long",
     [](const Reading &r) { r.line.jitterSeconds = static_cast<int>(r.number(kDay)); }},
    {"force", nullptr,
     "--update-sp: run the script even if the journal says it ran, an earlier run did not end, a newer release's "
     "script ran, or there is no lock or journal; --update-app: install a build held as one that did not start",
     [](const Reading &r) { r.line.force = true; }},
    {"lock-wait", "SECONDS", "--update-sp: how long to wait for another desk's run of the script (default 300)",
     [](const Reading &r) { r.line.lockWait = static_cast<int>(r.number(kDay)); }},
    {"probation", "SECONDS",
     "--update-app: how long the started program is watched (default: the release's, else 15; 0: not watched)",
     [](const Reading &r) { r.line.probationSeconds = static_cast<int>(r.number(3600)); }},
    {"mirror-from", "ADDRESS",
     "take the release's files from this mirror first (an https address or a folder; default: UPDATER_MIRROR), "
     "checked against release.json",
     [](const Reading &r) { r.line.mirrorFrom = r.value("an https address or a folder"); }},
    {"proxy", "URL|direct",
     "the proxy of every transfer (http://[user:password@]host:port), or none; default: UPDATER_PROXY, else the "
     "system's setting. Without an account in the address the signed-in one is used (Negotiate, NTLM on Windows)",
     [](const Reading &r) {
         QString why;
         r.line.proxy = ProxyChoice::parse(r.value("a proxy address or direct"), QStringLiteral("--proxy"), why);
         if (!why.isEmpty())
             r.fail(why);
     }},
    {"no-proxy", "HOSTS", "hosts reached without the proxy, comma-separated (default: no_proxy)",
     [](const Reading &r) { r.line.noProxy = r.text(); }},
    {"status-dir", "DIR", "write this installation's status file into DIR at the end (default: UPDATER_STATUS_DIR)",
     [](const Reading &r) { r.line.statusFolder = r.value("a folder"); }},
    {"fleet-report", "DIR", "one line per installation that wrote its status into DIR, the ones with a problem first",
     [](const Reading &r) {
         r.action(CommandLine::Action::FleetReport);
         r.line.fleetFolder = r.value("a folder");
     }},
    {"stale-days", "N", "--fleet-report: a desk without a run for N days is not heard from (default 7)",
     [](const Reading &r) { r.line.staleDays = static_cast<int>(r.number(36'500)); }},
    {"html", "FILE", "--fleet-report: also write the report as a page with charts",
     [](const Reading &r) { r.line.htmlPath = r.value("a file name"); }},
    {"h|help|?", nullptr, "this text", [](const Reading &r) { r.action(CommandLine::Action::Help); }},
    {"version", nullptr, "the version and the trusted keys",
     [](const Reading &r) { r.action(CommandLine::Action::Version); }},
};

const char *const kUsage = "Usage: updater                      opens the window\n"
                           "       updater --check              compares the installed and the published version\n"
                           "       updater --update-app [--yes] [--force] [--probation SECONDS]\n"
                           "                                    installs the published Vantora.exe\n"
                           "       updater --update-reports (--all | NAME...)\n"
                           "       updater --update-sp [--yes] [--force] [--lock-wait SECONDS]\n"
                           "       updater --mirror DIR\n"
                           "       updater --fleet-report DIR [--stale-days N] [--html FILE]\n";

QCommandLineOption optionOf(const OptionRow &row)
{
    QCommandLineOption option(QString::fromLatin1(row.names).split(u'|'), QString::fromUtf8(row.help));
    if (row.valueName != nullptr)
        option.setValueName(QString::fromLatin1(row.valueName));
    return option;
}

// The parser that knows every row of the table.
void addOptions(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QString::fromLatin1(kUsage).trimmed());
    for (const OptionRow &row : kOptions)
        parser.addOption(optionOf(row));
    parser.addPositionalArgument(QStringLiteral("NAME"), QStringLiteral("--update-reports: a report to download"),
                                 QStringLiteral("[NAME...]"));
}

// Whether the options read fit together.
void checkCombination(CommandLine &line)
{
    auto fail = [&line](const QString &why) {
        if (line.error.isEmpty())
            line.error = why;
    };
    using Action = CommandLine::Action;
    if (line.action == Action::None) {
        fail(QStringLiteral(
            "No action given: --check, --update-app, --update-reports, --update-sp, --mirror or --fleet-report."));
    } else if (line.action == Action::UpdateReports && line.allReports == !line.reports.isEmpty()) {
        fail(QStringLiteral("--update-reports needs either --all or the names of the reports."));
    } else if (line.action != Action::UpdateReports && (line.allReports || !line.reports.isEmpty())) {
        fail(line.allReports ? QStringLiteral("--all belongs to --update-reports.")
                             : QStringLiteral("Unexpected argument %1.").arg(line.reports.first()));
    }
    if (!line.mirrorFrom.isEmpty() && line.action != Action::Check && line.action != Action::UpdateApp
        && line.action != Action::UpdateSp)
        fail(QStringLiteral("--mirror-from belongs to --check, --update-app and --update-sp."));
    if (line.force && line.action != Action::UpdateSp && line.action != Action::UpdateApp)
        fail(QStringLiteral("--force belongs to --update-sp and --update-app."));
    if (line.lockWait >= 0 && line.action != Action::UpdateSp)
        fail(QStringLiteral("--lock-wait belongs to --update-sp."));
    if (line.probationSeconds >= 0 && line.action != Action::UpdateApp)
        fail(QStringLiteral("--probation belongs to --update-app."));
    if (line.action != Action::FleetReport && (line.staleDays >= 0 || !line.htmlPath.isEmpty()))
        fail(line.staleDays >= 0 ? QStringLiteral("--stale-days belongs to --fleet-report.")
                                 : QStringLiteral("--html belongs to --fleet-report."));
    if (!line.statusFolder.isEmpty() && (line.action == Action::FleetReport || line.action == Action::Mirror))
        fail(QStringLiteral("--status-dir belongs to the actions on an installation."));
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine line;
    QCommandLineParser parser;
    addOptions(parser);
    // Windows' own way to ask for help.
    QStringList words{QStringLiteral("updater")};
    for (const QString &argument : arguments)
        words << (argument == QLatin1String("/?") ? QStringLiteral("--help") : argument);
    if (!parser.parse(words)) {
        line.error = parser.errorText();
        return line;
    }
    for (const OptionRow &row : kOptions) {
        const QString name = QString::fromLatin1(row.names).section(u'|', -1);
        if (!parser.isSet(name))
            continue;
        const QString shown = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        row.read(Reading(line, shown, row.valueName != nullptr ? parser.value(name) : QString()));
    }
    line.reports = parser.positionalArguments();
    if (line.error.isEmpty() && line.action != Action::Help && line.action != Action::Version)
        checkCombination(line);
    return line;
}

QString usageText()
{
    QCommandLineParser parser;
    addOptions(parser);
    QString text = parser.helpText();
    // The parser's first line names the program as it was started; the forms above say it better.
    text.remove(0, text.indexOf(u'\n') + 1);
    return text
        + QStringLiteral(
               "\n"
               "Exit codes: 0 done or up to date, 1 another failure, 2 usage error, 3 another updater is at\n"
               "work in the folder, 4 network or download failure, 5 download refused (signature or not a\n"
               "release), 6 executable not replaced, 7 SQL batches failed, 8 database unreachable,\n"
               "9 not enough disk space, 10 update available (--check), 11 declined, 12 the published\n"
               "release has expired, 13 another desk is running the script (it waited --lock-wait),\n"
               "14 the script ran but the journal could not record its end, 15 the script was not run: it\n"
               "could not be locked and recorded in the journal, or an earlier run did not end (--force runs it),\n"
               "16 the new program did not start (the previous one is back, or kept as the publisher asked),\n"
               "17 --fleet-report: an installation is behind, failed, or not heard from.\n");
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
    {OutcomeKind::EndNotRecorded, ExitCode::EndNotRecorded},
    {OutcomeKind::NotGuaranteed, ExitCode::NotGuaranteed},
    {OutcomeKind::StartFailed, ExitCode::StartFailed},
    {OutcomeKind::FleetAttention, ExitCode::FleetNeedsAttention},
    {OutcomeKind::Failed, ExitCode::Failed},
};

} // namespace

int ExitCode::of(OutcomeKind kind)
{
    const ExitRow *const row = std::ranges::find(kExitCodes, kind, &ExitRow::kind);
    return row != std::end(kExitCodes) ? row->code : Failed;
}
