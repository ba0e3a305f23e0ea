// A second updater for the tests, in a process of its own: runs "Update App"
// once in APPFOLDER as the window does (under the folder's lock, after the
// repair), answering Yes, against UPDATER_UPDATE_HOST with UPDATER_CA_FILE,
// stopping only the stand-ins of that folder. Prints every box, one a line.
//
//   updaterunner APPFOLDER [MOVES]
//
// With MOVES, it ends itself at once, as a kill or a power cut would, when
// the swap has made that many moves (0: when it is about to make the
// first).
#include "common/folderprocesscontrol.h"
#include "common/recordingservices.h"
#include "common/testclock.h"
#include "net/endpoints.h"
#include "net/webclient.h"
#include "update/appupdate.h"
#include "update/installation.h"
#include "update/installfiles.h"

#include <QCoreApplication>
#include <QTextStream>

#include <unistd.h>

namespace {

class DyingFiles : public InstallFiles
{
public:
    int movesLeft = -1; // -1: never dies

    bool move(const QString &from, const QString &to) override
    {
        if (movesLeft == 0)
            ::_exit(9);
        const bool moved = InstallFiles::move(from, to);
        if (movesLeft > 0 && --movesLeft == 0)
            ::_exit(9);
        return moved;
    }
};

} // namespace

int main(int argc, char **argv)
{
    const QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return 2;
    const QString folder = args.at(1);
    DyingFiles files;
    if (args.size() > 2)
        files.movesLeft = args.at(2).toInt();
    RecordingServices window;
    window.answer({Answer::Yes});
    WebClient web;
    TestClock clock;
    FolderProcessControl processes(folder);
    const Endpoints endpoints = Endpoints::fromEnvironment();
    Installation::runAction(window, folder, files, [&] {
        AppUpdate update(window, web, clock, endpoints, folder, processes, files);
        update.setStartWatch({1, false});
        update.run();
    });
    QTextStream out(stdout);
    for (const QString &box : window.boxes())
        out << box << "\n";
    return 0;
}
