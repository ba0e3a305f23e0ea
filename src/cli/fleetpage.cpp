// The fleet report as one page: opened from the share on any desk, so it
// holds everything it shows (style, charts as inline SVG, the sorting
// script) and loads nothing from elsewhere.
#include "cli/fleetreport.h"

#include <QDir>

#include <algorithm>

namespace {

constexpr int kBarWidth = 56;
constexpr int kBarGap = 24;
constexpr int kBarsHigh = 160;  // the tallest bar
constexpr int kTop = 24;        // room for the count above a bar
constexpr int kLabelRoom = 150; // labels under the bars, slanted

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString whenOf(const QDateTime &when)
{
    return when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// One bar chart: a bar per label, its height proportional to its count.
QString barChart(const QString &name, const QString &title, const QList<FleetReport::Count> &counts)
{
    int most = 1;
    for (const FleetReport::Count &count : counts)
        most = std::max(most, count.count);
    const int width = kBarGap + static_cast<int>(counts.size()) * (kBarWidth + kBarGap) + kLabelRoom;
    const int base = kTop + kBarsHigh;
    QString svg = QStringLiteral("<figure><figcaption>%1</figcaption>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                 "class=\"chart\" id=\"%2\" width=\"%3\" height=\"%4\" role=\"img\">\n")
                      .arg(escaped(title), name)
                      .arg(width)
                      .arg(base + kLabelRoom);
    svg += QStringLiteral("<line x1=\"0\" y1=\"%1\" x2=\"%2\" y2=\"%1\" class=\"axis\"/>\n").arg(base).arg(width);
    int x = kBarGap;
    for (const FleetReport::Count &count : counts) {
        const int height = count.count * kBarsHigh / most;
        const QString label = count.label.isEmpty() ? QStringLiteral("(none)") : count.label;
        svg += QStringLiteral("<rect class=\"bar\" data-label=\"%1\" data-count=\"%2\" x=\"%3\" y=\"%4\" "
                              "width=\"%5\" height=\"%6\"><title>%1: %2</title></rect>\n")
                   .arg(escaped(label))
                   .arg(count.count)
                   .arg(x)
                   .arg(base - height)
                   .arg(kBarWidth)
                   .arg(height);
        svg += QStringLiteral("<text class=\"count\" x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                   .arg(x + kBarWidth / 2)
                   .arg(base - height - 6)
                   .arg(count.count);
        svg += QStringLiteral("<text class=\"label\" x=\"%1\" y=\"%2\" transform=\"rotate(30 %1 %2)\">%3</text>\n")
                   .arg(x + kBarWidth / 2)
                   .arg(base + 14)
                   .arg(escaped(label.size() > 28 ? label.left(27) + QChar(0x2026) : label));
        x += kBarWidth + kBarGap;
    }
    return svg + QStringLiteral("</svg></figure>\n");
}

const char *const kStyle = R"(
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; }
.summary { font-size: 1.05em; }
.charts { display: flex; flex-wrap: wrap; gap: 2em; }
figure { margin: 0; }
figcaption { font-weight: bold; margin-bottom: 0.3em; }
.bar { fill: #3b6ea5; }
#outcomes .bar { fill: #6a8f3b; }
.axis { stroke: #888; }
.count, .label { font-size: 12px; fill: #222; }
table { border-collapse: collapse; margin-top: 1em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: left; vertical-align: top; white-space: nowrap; }
td:nth-child(9) { white-space: normal; min-width: 18em; }
th { background: #eee; cursor: pointer; user-select: none; }
th:hover { background: #ddd; }
tr.problem td { background: #fbe3e3; }
tr.stale td { background: #fff4cc; }
tr.problem.stale td { background: #fbd9c4; }
.skipped { color: #8a4b00; }
)";

// Sorts the table by the column clicked (again: the other way round); a
// page opened as fleet.html#sort=N starts sorted by column N.
const char *const kScript = R"(
(function () {
  var table = document.getElementById('desks');
  var body = table.tBodies[0];
  var order = {};
  function key(row, column) {
    var cell = row.cells[column];
    return cell.getAttribute('data-sort') || cell.textContent;
  }
  function sortBy(column) {
    var rows = Array.prototype.slice.call(body.rows);
    var up = order[column] = !order[column];
    rows.sort(function (a, b) {
      var c = key(a, column).localeCompare(key(b, column), undefined, { numeric: true });
      return up ? c : -c;
    });
    rows.forEach(function (row) { body.appendChild(row); });
  }
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, column) {
    th.addEventListener('click', function () { sortBy(column); });
  });
  var wanted = /^#sort=(\d+)$/.exec(location.hash);
  if (wanted) sortBy(Number(wanted[1]));
})();
)";

} // namespace

QString FleetReport::html() const
{
    const auto problems = std::ranges::count_if(m_desks, &Desk::problem);
    QString page = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                                  "<title>Vantora installations</title>\n<style>%1</style></head>\n<body>\n")
                       .arg(QString::fromUtf8(kStyle));
    page += QStringLiteral("<h1>Vantora installations in %1</h1>\n").arg(escaped(QDir::toNativeSeparators(m_folder)));
    page += QStringLiteral("<p class=\"summary\" id=\"summary\">%1 installations, %2 with a problem; newest version "
                           "%3; read %4 UTC, not heard from after %5 days.</p>\n")
                .arg(m_desks.size())
                .arg(problems)
                .arg(escaped(m_newest.isEmpty() ? QStringLiteral("unknown") : m_newest),
                     m_now.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")))
                .arg(m_staleDays);
    page += QStringLiteral("<div class=\"charts\">\n");
    page += barChart(QStringLiteral("versions"), QStringLiteral("Installations per version"), perVersion());
    page += barChart(QStringLiteral("outcomes"), QStringLiteral("Installations per outcome of the last run"),
                     perOutcome());
    page += QStringLiteral("</div>\n<table id=\"desks\"><thead><tr>");
    for (const char *heading : {"Computer", "Folder", "Version", "Action", "Outcome", "Exit code", "When (UTC)",
                                "Problem", "Reason", "Account", "Updater"})
        page += QStringLiteral("<th>%1</th>").arg(QLatin1String(heading));
    page += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const Desk &desk : m_desks) {
        QStringList classes{QStringLiteral("desk")};
        if (desk.behind || desk.failed)
            classes << QStringLiteral("problem");
        if (desk.stale)
            classes << QStringLiteral("stale");
        const InstallationStatus &s = desk.status;
        page += QStringLiteral("<tr class=\"%1\">").arg(classes.join(u' '));
        for (const QString &cell :
             {s.computer, s.folder, s.installedVersion, s.action, s.outcome, QString::number(s.exitCode),
              whenOf(s.ranAt), problemText(desk), s.reason, s.account, s.updaterVersion})
            page += QStringLiteral("<td>%1</td>").arg(escaped(cell));
        page += QStringLiteral("</tr>\n");
    }
    page += QStringLiteral("</tbody></table>\n");
    for (const Skipped &skipped : m_skipped)
        page += QStringLiteral("<p class=\"skipped\">Skipped %1: %2</p>\n")
                    .arg(escaped(skipped.file), escaped(skipped.why));
    return page + QStringLiteral("<script>%1</script>\n</body></html>\n").arg(QString::fromUtf8(kScript));
}
