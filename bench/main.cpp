// Measurement driver for scripts/bench. Each subcommand prints one line:
//
//   download URL OUT        seconds bytes peak_rss_kib
//   startup                 milliseconds from process start to the window shown
//   catalogue               milliseconds from the "Update Reports" click to the
//                           last row shown (the catalogue comes from
//                           UPDATER_REPORT_HOST), and the number of rows
//
// Trust for the download comes from UPDATER_CA_FILE, as in the tool itself.
#include "app/platform.h"
#include "app/updater.h"
#include "common/clock.h"
#include "net/webclient.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QPushButton>
#include <QTreeView>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

long peakRssKib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Milliseconds since this process was started, from the kernel's record.
double msSinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double startTicks = fields.value(19).toDouble(); // field 22 of the whole line
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
    return nowMs - startTicks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

int download(const QStringList &args)
{
    WebClient web;
    QElapsedTimer timer;
    timer.start();
    const int code = web.downloadToFile(QUrl(args.value(2)), args.value(3));
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (code != 0) {
        QTextStream(stderr) << "download failed with code " << code << "\n";
        return 1;
    }
    QTextStream(stdout) << seconds << ' ' << QFileInfo(args.value(3)).size() << ' ' << peakRssKib() << "\n";
    return 0;
}

class ShownProbe : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Expose || event->type() == QEvent::Show) {
            if (!m_done) {
                m_done = true;
                // Measure once the event loop has painted the first frame.
                QTimer::singleShot(0, [] {
                    QTextStream(stdout) << msSinceProcessStart() << "\n";
                    QCoreApplication::quit();
                });
            }
        }
        return false;
    }

private:
    bool m_done = false;
};

} // namespace

int main(int argc, char **argv)
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (command == QLatin1String("startup")) {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Updater"));
        WebClient web;
        SystemClock clock;
        Updater window(Platform{web, clock, Endpoints::fromEnvironment(), QStringLiteral(".")});
        ShownProbe probe;
        window.installEventFilter(&probe);
        window.show();
        return app.exec();
    }
    if (command == QLatin1String("catalogue")) {
        QApplication app(argc, argv);
        WebClient web;
        SystemClock clock;
        Updater window(Platform{web, clock, Endpoints::fromEnvironment(), QStringLiteral(".")});
        window.show();
        QCoreApplication::processEvents();
        auto *view = window.findChild<QTreeView *>(QStringLiteral("lvFiles"));
        QElapsedTimer timer;
        timer.start();
        window.findChild<QPushButton *>(QStringLiteral("cmdReports"))->click();
        QCoreApplication::processEvents(); // lays out and paints the rows
        view->scrollToBottom();
        QCoreApplication::processEvents();
        const double ms = timer.nsecsElapsed() / 1e6;
        QTextStream(stdout) << ms << ' ' << view->model()->rowCount() << "\n";
        return 0;
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (command == QLatin1String("download") && args.size() == 4)
        return download(args);
    QTextStream(stderr) << "usage: updater-bench download URL OUT | startup | catalogue\n";
    return 2;
}
