#pragma once

#include <QString>
#include <QUrl>

// Where the tool's files are published. The two hosts are set at build time
// (CMake cache variables UPDATER_UPDATE_HOST and UPDATER_REPORT_HOST) and can
// be overridden at run time by the environment variables of the same names.
class Endpoints
{
public:
    Endpoints(QString updateHost, QString reportHost);
    // Build-time hosts, overridden by the environment where it says so.
    static Endpoints fromEnvironment();

    QString updateHost() const { return m_updateHost; }
    QString reportHost() const { return m_reportHost; }

    // "/updates/version.txt?t=" + the time stamp as given.
    QUrl versionUrl(const QString &timeStamp) const;
    // release.json beside version.txt; its signature is signatureUrl() of it.
    QUrl manifestUrl(const QString &timeStamp) const;
    QUrl executableUrl() const;
    QUrl scriptUrl() const;
    QUrl catalogueUrl() const;
    // The folder of the reports, ending in "/".
    QString reportBaseUrl() const;
    // The URL of one report: the base followed by the name as one path
    // segment ("%", "#", "?" and the like are percent-encoded).
    QUrl reportUrl(const QString &name) const;

private:
    QString m_updateHost;
    QString m_reportHost;
};
