#include "reports/reportactions.h"

#include "common/appfolder.h"
#include "common/failure.h"
#include "common/fileops.h"
#include "common/services.h"
#include "net/endpoints.h"
#include "net/webclient.h"
#include "reports/catalogue.h"
#include "reports/reportlist.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <optional>

namespace {
const QString kColumnCaption = QStringLiteral("File Name");
constexpr int kOpeningColumnTwips = 8000;
constexpr int kListedColumnTwips = 5000;
} // namespace

ReportActions::ReportActions(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder,
                             ReportList &list)
    : m_services(services), m_web(web), m_endpoints(endpoints), m_appFolder(std::move(appFolder)), m_list(list)
{
}

Outcome ReportActions::cmdReports_Click()
{
    const BusyCursor busy(m_services);
    Outcome outcome;
    const std::optional<Failure> failure = attempt([&] {
        m_services.showReportPanel(true);
        // Clearing a checked "Select All" runs its handler, which clears
        // every row.
        m_services.setSelectAllChecked(false);
        m_services.setReportColumn(kColumnCaption, kOpeningColumnTwips);
        outcome = LoadReportCatalogue();
    });
    if (failure) {
        attempt([&] { showTrapBox(m_services, *failure, kTrapTitle); });
        return failure->outcome();
    }
    return outcome;
}

Outcome ReportActions::LoadReportCatalogue()
{
    const BusyCursor busy(m_services);
    const std::optional<Failure> failure = attempt([&] {
        const QList<Catalogue::Entry> entries
            = Catalogue::parse(Catalogue::decode(m_web.fetchText(m_endpoints.catalogueUrl()).bodyOrThrow()));
        m_services.setReportColumn(kColumnCaption, kListedColumnTwips);
        // One reset for the whole catalogue: the view lays out once.
        m_list.setEntries(entries);
    });
    if (!failure)
        return Outcome::of(OutcomeKind::Done);
    m_services.showMessage(QStringLiteral("Error loading file list: ") + failure->description, MessageStyle::Plain);
    return failure->outcome();
}

Outcome ReportActions::cmdDownloadRpt_Click()
{
    const BusyCursor busy(m_services);
    Outcome outcome = Outcome::of(OutcomeKind::Done);
    const std::optional<Failure> failure = attempt([&] {
        const QString folder = Catalogue::reportsFolder(m_appFolder);
        if (FileOps::isLink(folder))
            throw Failure{FailureCode::PathAccess, FileOps::linkRefused(folder)};
        if (!QFileInfo::exists(folder) && !QDir().mkdir(folder))
            throw Failure{FailureCode::PathAccess,
                          QStringLiteral("Cannot create the folder %1").arg(QDir::toNativeSeparators(folder))};
        const int rows = m_list.count();
        for (int row = 0; row < rows && row < m_list.count(); ++row) {
            if (!m_list.isChecked(row))
                continue;
            // Fetched and saved as its row shows it (the characters the
            // row drops are not part of the name); a name that cannot be a
            // file of its own in Reports is never requested.
            const QString name = m_list.name(row);
            const QString refused = Catalogue::refusal(name);
            const Outcome stored = refused.isEmpty()
                ? download(name, folder)
                : Outcome::of(OutcomeKind::DownloadFailed, 0,
                              QStringLiteral("The report \"%1\" is not downloaded: %2.").arg(name, refused));
            if (stored.kind != OutcomeKind::Done) {
                if (outcome.kind == OutcomeKind::Done)
                    outcome = stored;
                // The URL as requested, with only what cannot be mistaken
                // (blanks, for one) shown decoded; a refused one encoded
                // whole. A refusal, and a full disk (the one cause the user
                // can mend at the desk), say why.
                const QUrl url = m_endpoints.reportUrl(name);
                QString text = QStringLiteral("Failed to download: ")
                    + (refused.isEmpty() ? url.toString() : QString::fromLatin1(url.toEncoded()));
                if (!refused.isEmpty() || stored.kind == OutcomeKind::DiskFull)
                    text += QStringLiteral("\n\n") + stored.reason;
                m_services.showMessage(text, MessageStyle::Exclamation);
            }
        }
        m_services.showMessage(QStringLiteral("Download complete."), MessageStyle::Information);
    });
    if (failure) {
        attempt([&] { showTrapBox(m_services, *failure, kListTrapTitle); });
        return failure->outcome();
    }
    return outcome;
}

Outcome ReportActions::download(const QString &name, const QString &folder)
{
    const TransferResult result = m_web.downloadToFile(m_endpoints.reportUrl(name), inFolder(folder, name));
    if (result.ok())
        return Outcome::of(OutcomeKind::Done);
    return result.failure().outcome();
}

void ReportActions::chkAll_Click()
{
    if (const std::optional<Failure> failure = attempt([&] { m_list.setAllChecked(m_services.selectAllChecked()); }))
        showTrapBox(m_services, *failure, kListTrapTitle);
}
