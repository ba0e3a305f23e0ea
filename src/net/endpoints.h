#pragma once

#include <QString>
#include <QUrl>

// Where the tool's files are published. The two hosts are set at build time
// (CMake cache variables UPDATER_UPDATE_HOST and UPDATER_REPORT_HOST) and can
// be overridden at run time by the environment variables of the same names.
// A school's mirror of the release (UPDATER_MIRROR, or --mirror-from) is an
// https address or a folder that holds a copy of updates/.
class Endpoints
{
public:
    Endpoints(QString updateHost, QString reportHost);
    // Build-time hosts, overridden by the environment where it says so.
    static Endpoints fromEnvironment();

    QString updateHost() const { return m_updateHost; }
    QString reportHost() const { return m_reportHost; }
    // The mirror's address or folder; empty for none.
    QString mirror() const { return m_mirror; }
    void setMirror(const QString &mirror) { m_mirror = mirror.trimmed(); }

    // "/updates/version.txt?t=" + the time stamp as given.
    QUrl versionUrl(const QString &timeStamp) const;
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
    QString m_mirror;
};
