#include "cli/fleetreport.h"

#include "common/appfolder.h"
#include "common/versionorder.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>

namespace {

// A status file is a few hundred bytes; anything far larger is not one.
constexpr qint64 kLargestStatusFile = qint64{64} * 1024;

bool hasOrder(const QString &version)
{
    return !version.isEmpty() && compareVersions(version, version).has_value();
}

// The highest version present: by the version order where every version
// has one, else the version of the highest release serial, else the
// highest of those that have an order.
QString newestOf(const QList<FleetReport::Desk> &desks)
{
    QString newest;
    bool allOrdered = true;
    for (const FleetReport::Desk &desk : desks) {
        const QString &version = desk.status.installedVersion;
        if (!hasOrder(version)) {
            allOrdered = allOrdered && version.isEmpty();
            continue;
        }
        if (newest.isEmpty() || compareVersions(version, newest).value_or(0) > 0)
            newest = version;
    }
    if (allOrdered)
        return newest;
    const auto highest
        = std::ranges::max_element(desks, {}, [](const FleetReport::Desk &desk) { return desk.status.releaseSerial; });
    return highest != desks.end() && highest->status.releaseSerial > 0 ? highest->status.installedVersion : newest;
}

bool sameVersion(const QString &a, const QString &b)
{
    const std::optional<int> order = compareVersions(a, b);
    return order ? *order == 0 : a == b;
}

QString whenText(const QDateTime &when)
{
    return when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")) + QStringLiteral(" UTC");
}

QString countsText(const QList<FleetReport::Count> &counts, const QString &newest)
{
    QStringList parts;
    for (const FleetReport::Count &count : counts) {
        const QString label = count.label.isEmpty() ? QStringLiteral("(none)") : count.label;
        parts << QStringLiteral("%1%2: %3")
                     .arg(label, !newest.isEmpty() && label == newest ? QStringLiteral(" (newest)") : QString())
                     .arg(count.count);
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

std::optional<FleetReport> FleetReport::read(const QString &folder, const QDateTime &now, int staleDays, QString *why)
{
    const QDir dir(folder);
    if (!dir.exists() || !dir.isReadable()) {
        *why = QStringLiteral("%1 is not a folder that can be read").arg(QDir::toNativeSeparators(folder));
        return std::nullopt;
    }
    FleetReport report;
    report.m_folder = folder;
    report.m_now = now;
    report.m_staleDays = staleDays;
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        QString problem;
        if (file.size() > kLargestStatusFile)
            problem = QStringLiteral("too large for a status file");
        else if (!file.open(QIODevice::ReadOnly))
            problem = QStringLiteral("cannot be read: ") + file.errorString();
        std::optional<InstallationStatus> status;
        if (problem.isEmpty())
            status = InstallationStatus::fromJson(file.readAll(), &problem);
        if (status)
            report.m_desks.append(Desk{*status, name});
        else
            report.m_skipped.append(Skipped{name, problem});
    }
    report.judge();
    return report;
}

void FleetReport::judge()
{
    m_newest = newestOf(m_desks);
    const QDateTime staleBefore = m_now.addDays(-m_staleDays);
    for (Desk &desk : m_desks) {
        ++m_installationsOn[desk.status.computer];
        const QString &version = desk.status.installedVersion;
        desk.behind = version.isEmpty() || (!m_newest.isEmpty() && !sameVersion(version, m_newest));
        desk.failed = desk.status.exitCode != 0;
        desk.stale = desk.status.ranAt < staleBefore;
    }
    std::ranges::stable_sort(m_desks, [](const Desk &a, const Desk &b) {
        if (a.problem() != b.problem())
            return a.problem();
        return std::tie(a.status.computer, a.status.folder) < std::tie(b.status.computer, b.status.folder);
    });
}

QList<FleetReport::Count> FleetReport::perVersion() const
{
    QList<Count> counts;
    for (const Desk &desk : m_desks) {
        const auto found = std::ranges::find_if(counts, [&](const Count &count) {
            return sameVersion(count.label, desk.status.installedVersion);
        });
        if (found != counts.end())
            ++found->count;
        else
            counts.append(Count{desk.status.installedVersion, 1});
    }
    std::ranges::stable_sort(counts, [](const Count &a, const Count &b) {
        const std::optional<int> order = compareVersions(a.label, b.label);
        return order ? *order > 0 : a.label > b.label;
    });
    return counts;
}

QList<FleetReport::Count> FleetReport::perOutcome() const
{
    QList<Count> counts;
    for (const Desk &desk : m_desks) {
        const auto found
            = std::ranges::find_if(counts, [&](const Count &count) { return count.label == desk.status.outcome; });
        if (found != counts.end())
            ++found->count;
        else
            counts.append(Count{desk.status.outcome, 1});
    }
    std::ranges::stable_sort(counts, [](const Count &a, const Count &b) { return a.count > b.count; });
    return counts;
}

bool FleetReport::allWell() const
{
    return std::ranges::none_of(m_desks, &Desk::problem);
}

QString FleetReport::problemText(const Desk &desk) const
{
    QStringList problems;
    if (desk.behind) {
        problems << (desk.status.installedVersion.isEmpty() ? QStringLiteral("no version.txt")
                                                            : QStringLiteral("behind %1").arg(m_newest))
                + (desk.status.held.isEmpty() ? QString() : QStringLiteral(" (held: %1)").arg(desk.status.held));
    }
    if (desk.failed)
        problems << QStringLiteral("exit code %1").arg(desk.status.exitCode);
    if (desk.stale)
        problems << QStringLiteral("not heard from for %1 days").arg(desk.status.ranAt.daysTo(m_now));
    return problems.join(QStringLiteral(", "));
}

QString FleetReport::deskName(const Desk &desk) const
{
    // Two installations on one computer: each named with its folder.
    return m_installationsOn.value(desk.status.computer) > 1
        ? QStringLiteral("%1 (%2)").arg(desk.status.computer, desk.status.folder)
        : desk.status.computer;
}

QString FleetReport::text() const
{
    QList<QStringList> rows{{QStringLiteral("COMPUTER"), QStringLiteral("VERSION"), QStringLiteral("ACTION"),
                             QStringLiteral("OUTCOME"), QStringLiteral("WHEN"), QStringLiteral("PROBLEM")}};
    for (const Desk &desk : m_desks) {
        const QString problem = problemText(desk);
        rows.append({deskName(desk),
                     desk.status.installedVersion.isEmpty() ? QStringLiteral("-") : desk.status.installedVersion,
                     desk.status.action, desk.status.outcome, whenText(desk.status.ranAt),
                     problem.isEmpty() ? QString()
                                       : problem
                             + (desk.failed && !desk.status.reason.isEmpty() ? QStringLiteral(": ") + desk.status.reason
                                                                             : QString())});
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype column = 0; column + 1 < row.size(); ++column)
            widths[column] = std::max(widths[column], row.at(column).size());
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column)
            line += column + 1 < row.size() ? row.at(column).leftJustified(widths[column] + 2) : row.at(column);
        out += line.trimmed() + u'\n';
    }
    QStringList stale;
    for (const Desk &desk : m_desks)
        if (desk.stale)
            stale << deskName(desk);
    const auto problems = std::ranges::count_if(m_desks, &Desk::problem);
    out += u'\n';
    out += QStringLiteral("installations: %1, with a problem: %2\n").arg(m_desks.size()).arg(problems);
    out += QStringLiteral("per version: %1\n").arg(countsText(perVersion(), m_newest));
    out += QStringLiteral("per outcome: %1\n").arg(countsText(perOutcome(), QString()));
    out += QStringLiteral("not heard from for %1 days: %2%3\n")
               .arg(m_staleDays)
               .arg(stale.size())
               .arg(stale.isEmpty() ? QString() : QStringLiteral(" (") + stale.join(QStringLiteral(", ")) + u')');
    for (const Skipped &skipped : m_skipped)
        out += QStringLiteral("skipped %1: %2\n").arg(skipped.file, skipped.why);
    return out;
}
