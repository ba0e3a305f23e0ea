#pragma once

#include "common/outcome.h"

#include <QString>

class Endpoints;
class ReportList;
class Services;
class WebClient;

// "Update Reports", "Download" and "Select All": the report panel's actions
// on the report list. One object per click; each handler is the whole click
// and has its own error trap, and says how the click ended.
class ReportActions
{
public:
    ReportActions(Services &services, WebClient &web, const Endpoints &endpoints, QString appFolder, ReportList &list);

    // "Update Reports": opens the panel, clears "Select All", sets up the
    // column and lists the published catalogue.
    Outcome cmdReports_Click();
    // Fetches the catalogue and replaces the rows with its names. A failed
    // fetch leaves the rows and the column as they were.
    Outcome LoadReportCatalogue();
    // "Download": every checked row into the Reports folder, in row order.
    // Done when every checked report was stored, else the first failure.
    Outcome cmdDownloadRpt_Click();
    // "Select All" after it changed: checks and selects, or unchecks and
    // deselects, every row.
    void chkAll_Click();

private:
    // Downloads one report whose name Catalogue::refusal() lets through:
    // Done, or why it was not stored.
    Outcome download(const QString &name, const QString &folder);

    Services &m_services;
    WebClient &m_web;
    const Endpoints &m_endpoints;
    QString m_appFolder;
    ReportList &m_list;
};
