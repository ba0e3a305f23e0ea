#include "app/platform.h"
#include "app/updater.h"
#include "common/appfolder.h"
#include "common/clock.h"
#include "net/webclient.h"
#include "update/linuxprocesscontrol.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Updater"));

    WebClient web;
    SystemClock clock;
    LinuxProcessControl processes;
    Updater window(
        Platform{web, clock, Endpoints::fromEnvironment(), applicationFolder(), processes, OdbcDatabase::factory()});
    window.show();
    return QApplication::exec();
}
