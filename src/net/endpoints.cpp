#include "net/endpoints.h"

#include <QByteArray>

#ifndef UPDATER_DEFAULT_UPDATE_HOST
#define UPDATER_DEFAULT_UPDATE_HOST "updates.vantora.example"
#endif
#ifndef UPDATER_DEFAULT_REPORT_HOST
#define UPDATER_DEFAULT_REPORT_HOST "reports.vantora.example"
#endif

namespace {
const QString kReportFolder = QStringLiteral("/Teldrin/VantoraReports/main/");

QString hostFromEnvironment(const char *variable, const char *fallback)
{
    const QString value = qEnvironmentVariable(variable).trimmed();
    return value.isEmpty() ? QString::fromUtf8(fallback) : value;
}
} // namespace

Endpoints::Endpoints(QString updateHost, QString reportHost)
    : m_updateHost(std::move(updateHost)), m_reportHost(std::move(reportHost))
{
}

Endpoints Endpoints::fromEnvironment()
{
    Endpoints endpoints(hostFromEnvironment("UPDATER_UPDATE_HOST", UPDATER_DEFAULT_UPDATE_HOST),
                        hostFromEnvironment("UPDATER_REPORT_HOST", UPDATER_DEFAULT_REPORT_HOST));
    endpoints.setMirror(qEnvironmentVariable("UPDATER_MIRROR"));
    return endpoints;
}

QUrl Endpoints::versionUrl(const QString &timeStamp) const
{
    return QUrl(QStringLiteral("https://") + m_updateHost + QStringLiteral("/updates/version.txt?t=")
                + QString::fromLatin1(QUrl::toPercentEncoding(timeStamp)));
}

QUrl Endpoints::executableUrl() const
{
    return QUrl(QStringLiteral("https://") + m_updateHost + QStringLiteral("/updates/Vantora.exe"));
}

QUrl Endpoints::scriptUrl() const
{
    return QUrl(QStringLiteral("https://") + m_updateHost + QStringLiteral("/updates/LATEST.sql"));
}

QUrl Endpoints::catalogueUrl() const
{
    return QUrl(reportBaseUrl() + QStringLiteral("filelist.txt"));
}

QString Endpoints::reportBaseUrl() const
{
    return QStringLiteral("https://") + m_reportHost + kReportFolder;
}

QUrl Endpoints::reportUrl(const QString &name) const
{
    // Encode everything that could end or change the path segment; keep the
    // characters a file name usually has readable.
    const QByteArray segment = QUrl::toPercentEncoding(name, "!$&'()*+,;=:@~-._");
    return QUrl(reportBaseUrl() + QString::fromLatin1(segment), QUrl::StrictMode);
}
