#include "app/platform.h"
#include "app/updater.h"
#include "cli/cli.h"
#include "common/appfolder.h"
#include "common/clock.h"
#include "common/updatelog.h"
#include "net/webclient.h"
#include "update/installationstatus.h"

#include <QApplication>

#ifdef Q_OS_WIN
#include "win32/win32layer.h"
#endif

#include <memory>

int main(int argc, char **argv)
{
    // With arguments: the unattended mode, without a window and without a
    // display.
    if (argc > 1) {
#ifdef Q_OS_WIN
        Win32::useParentConsole();
#endif
        const QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Updater"));
        return runCommandLine(QCoreApplication::arguments().mid(1));
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Updater"));

    const QString appFolder = applicationFolder();
    auto log = std::make_shared<UpdateLog>(UpdateLog::defaultPath(appFolder));
    log->write(QStringLiteral("start"), QStringLiteral("updater window in ") + appFolder);
    WebClient web;
    web.setObserver([log](const TransferResult &record) { log->write(QStringLiteral("transfer"), record.summary()); });
    QString proxyError;
    web.setProxy(ProxyChoice::fromEnvironment(&proxyError));
    if (!proxyError.isEmpty())
        log->write(QStringLiteral("start"), proxyError + QStringLiteral(" The system's setting is used."));
    log->write(QStringLiteral("start"), QStringLiteral("proxy: ") + web.proxy().describe());
    SystemClock clock;
    Platform platform{web, clock, Endpoints::fromEnvironment(), appFolder};
    platform.log = log;
    platform.statusFolder = InstallationStatus::folderFromEnvironment();
    Updater window(std::move(platform));
    window.show();
    const int code = QApplication::exec();
    log->write(QStringLiteral("end"), QStringLiteral("window closed"));
    return code;
}
