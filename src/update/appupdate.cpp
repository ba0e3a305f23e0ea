#include "update/appupdate.h"

#include "common/appfolder.h"
#include "common/clock.h"
#include "common/failure.h"
#include "common/services.h"
#include "common/textrules.h"
#include "net/endpoints.h"
#include "net/webclient.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kDefaultVersion = QStringLiteral("1.0.0");
const QString kCrLf = QStringLiteral("\r\n");
} // namespace

AppUpdate::AppUpdate(Services &services, WebClient &web, Clock &clock, const Endpoints &endpoints,
                     QString appFolder)
    : m_services(services), m_web(web), m_clock(clock), m_endpoints(endpoints),
      m_appFolder(std::move(appFolder))
{
}

QString AppUpdate::readLocalVersionLine(const QString &path)
{
    if (!QFileInfo(path).isFile()) {
        m_services.showMessage(QStringLiteral("Local version.txt not found in the application folder!")
                                   + kCrLf + QStringLiteral("Please ensure the file exists at: ")
                                   + QDir::toNativeSeparators(path),
                               MessageStyle::Exclamation);
        m_services.setStatus(QStringLiteral("Missing version.txt"));
        TextRules::writeLines(path, {kDefaultVersion});
        m_services.showMessage(
            QStringLiteral("version.txt was missing and has been created with default version 1.0.0"),
            MessageStyle::Information);
    }
    return TextRules::readFirstLine(path);
}

void AppUpdate::run()
{
    m_services.setBusyCursor(true);
    m_services.setStatus(QStringLiteral("Checking for updates..."));
    m_services.processPendingEvents();
    try {
        const QString localLine = readLocalVersionLine(inFolder(m_appFolder, QStringLiteral("version.txt")));

        // The time stamp only keeps caches from answering: every request's
        // address differs.
        const QString stamp = QString::number(m_clock.secondsSinceMidnight(), 'f', 6);
        const QString remoteText = m_web.fetchText(m_endpoints.versionUrl(stamp));

        const QString localVersion = TextRules::normalizeVersion(localLine);
        const QString remoteVersion = TextRules::normalizeVersion(remoteText);
        if (remoteVersion == localVersion) {
            m_services.setStatus(QStringLiteral("Already up to date."));
            m_services.showMessage(QStringLiteral("You already have the latest version (") + localVersion
                                       + QStringLiteral(")."),
                                   MessageStyle::Information);
            m_services.setBusyCursor(false);
            return;
        }

        const Answer answer = m_services.showMessage(
            QStringLiteral("A new version (") + remoteVersion + QStringLiteral(") is available.") + kCrLf
                + QStringLiteral("Your version: ") + localVersion + kCrLf + kCrLf
                + QStringLiteral("Do you want to update now?"),
            MessageStyle::Question, QStringLiteral("Update Available"));
        if (answer != Answer::Yes) {
            m_services.setStatus(QStringLiteral("Update cancelled."));
            m_services.setBusyCursor(false);
            return;
        }
        m_services.setStatus(QStringLiteral("Downloading update..."));
        m_services.processPendingEvents();
        install(remoteText);
    } catch (const Failure &failure) {
        m_services.setStatus(QStringLiteral("Error: ") + failure.description);
        m_services.showMessage(QStringLiteral("An error occurred: ") + failure.description,
                               MessageStyle::Critical);
        m_services.setBusyCursor(false);
    }
}

void AppUpdate::install(const QString &remoteText)
{
    // The download, the swap and the relaunch come here.
    Q_UNUSED(remoteText);
    m_services.setBusyCursor(false);
}
