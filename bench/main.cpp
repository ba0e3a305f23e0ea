// Measurement driver for scripts/bench. Each subcommand prints one line:
//
//   download URL OUT [RATE] seconds bytes peak_rss_kib; RATE limits the
//                           transfer to that many bytes a second
//   resume FILE             serves FILE from a local HTTPS server that cuts
//                           the first transfer at half the file, downloads
//                           it (fails), then again (resumes): the body bytes
//                           each request was sent, the file's size, and
//                           whether the result is identical
//   startup                 milliseconds from process start to the window shown
//   catalogue               milliseconds from the "Update Reports" click to the
//                           last row shown (the catalogue comes from
//                           UPDATER_REPORT_HOST), and the number of rows
//   script FOLDER           runs "Update SP" in the application folder FOLDER
//                           (CONSTR.txt there, LATEST.sql from
//                           UPDATER_UPDATE_HOST) on an offscreen window:
//                           seconds in all, seconds in status, progress and
//                           event processing, and the final box
//   split FILE              reads and splits a script file: seconds, batches,
//                           peak_rss_kib
//   status-files DIR N      writes N desks' status files into DIR, of mixed
//                           versions, outcomes and ages, as a school's share
//                           holds them
//   status-write APP DIR    milliseconds an action's end spends on its status
//                           file (made for the installation APP, written to
//                           DIR): the median of 21 writes
//
// Trust for the download comes from UPDATER_CA_FILE, as in the tool itself.
#include "app/messagebox.h"
#include "app/platform.h"
#include "app/updater.h"
#include "common/clock.h"
#include "common/services.h"
#include "httpsfileserver.h"
#include "net/webclient.h"
#include "sp/odbcdatabase.h"
#include "sp/spupdate.h"
#include "sp/sqlscript.h"
#include "testpki.h"
#include "update/installationstatus.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

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
    const double nowMs = static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
    return nowMs - startTicks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

int download(const QStringList &args)
{
    WebClient web;
    web.setMaxBytesPerSecond(args.value(4).toLongLong());
    DownloadOptions options;
    options.maxBytes = kExecutableBytes;
    QElapsedTimer timer;
    timer.start();
    const int code = web.downloadToFile(QUrl(args.value(2)), args.value(3), options).code;
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (code != 0) {
        QTextStream(stderr) << "download failed with code " << code << "\n";
        return 1;
    }
    QTextStream(stdout) << seconds << ' ' << QFileInfo(args.value(3)).size() << ' ' << peakRssKib() << "\n";
    return 0;
}

int resume(const QString &file)
{
    QTemporaryDir scratch;
    const TestPki pki = TestPki::create(scratch.path());
    if (!pki.ok()) {
        QTextStream(stderr) << pki.error << "\n";
        return 1;
    }
    const QFileInfo served(file);
    HttpsFileServer server(served.absolutePath(), pki.certFile, pki.keyFile);
    if (!server.listen())
        return 1;
    HttpsFileServer::Fault cut = HttpsFileServer::Fault::droppedAfter(served.size() / 2);
    cut.times = 1;
    server.setFault(QLatin1Char('/') + served.fileName(), cut);
    TransferOptions options;
    options.caFile = pki.caFile;
    options.retryPausesMs.clear(); // the second attempt is the next call
    WebClient web(options);
    DownloadOptions keep;
    keep.maxBytes = kExecutableBytes;
    keep.keepPartial = true;
    const QUrl url(QStringLiteral("https://%1/%2").arg(server.host(), served.fileName()));
    const QString target = scratch.filePath(QStringLiteral("out.bin"));
    const int first = web.downloadToFile(url, target, keep).code;
    const int second = web.downloadToFile(url, target, keep).code;
    QFile a(file);
    QFile b(target);
    bool same = first != 0 && second == 0 && a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly);
    while (same && !a.atEnd())
        same = a.read(1 << 20) == b.read(1 << 20);
    const QList<qint64> sent = server.bodyBytesSent();
    QTextStream(stdout) << sent.value(0) << ' ' << sent.value(1) << ' ' << served.size() << ' '
                        << (same && b.atEnd() ? "identical" : "different") << "\n";
    return 0;
}

// The window's services, with the time spent in status, progress and event
// processing added up.
class TimedServices : public Services
{
public:
    explicit TimedServices(Services &window) : m_window(window) {}
    double uiSeconds = 0;

    void setStatus(const QString &text) override
    {
        timed([&] { m_window.setStatus(text); });
    }
    void processPendingEvents() override
    {
        timed([&] { m_window.processPendingEvents(); });
    }
    void setBusyCursor(bool busy) override { m_window.setBusyCursor(busy); }
    Answer showMessage(const QString &prompt, MessageStyle style, const QString &title) override
    {
        return m_window.showMessage(prompt, style, title);
    }
    void showReportPanel(bool shown) override { m_window.showReportPanel(shown); }
    void setProgressRange(int minimum, int maximum) override
    {
        timed([&] { m_window.setProgressRange(minimum, maximum); });
    }
    void setProgressValue(int value) override
    {
        timed([&] { m_window.setProgressValue(value); });
    }
    void setServerList(const QStringList &items) override { m_window.setServerList(items); }
    void setReportColumn(const QString &caption, int widthTwips) override
    {
        m_window.setReportColumn(caption, widthTwips);
    }
    bool selectAllChecked() const override { return m_window.selectAllChecked(); }
    void setSelectAllChecked(bool checked) override { m_window.setSelectAllChecked(checked); }

private:
    template <typename Step>
    void timed(Step step)
    {
        QElapsedTimer timer;
        timer.start();
        step();
        uiSeconds += static_cast<double>(timer.nsecsElapsed()) / 1e9;
    }
    Services &m_window;
};

int runScript(const QString &folder)
{
    WebClient web;
    SystemClock clock;
    Updater window(Platform{web, clock, Endpoints::fromEnvironment(), folder});
    window.show();
    QCoreApplication::processEvents();
    QString lastBox;
    MessageBox::setHook([&](const QString &prompt, MessageStyle style, const QString &) {
        lastBox = prompt;
        return style == MessageStyle::Question ? Answer::Yes : Answer::Ok;
    });
    TimedServices services(window);
    const Endpoints endpoints = Endpoints::fromEnvironment();
    QString serverName;
    QElapsedTimer timer;
    timer.start();
    SpUpdate(services, web, endpoints, folder, OdbcDatabase::factory(), serverName).run();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QTextStream(stdout) << seconds << ' ' << services.uiSeconds << ' ' << lastBox << "\n";
    return 0;
}

int split(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    // As the action holds them: the text once, the batches as views into it.
    const QString text = SqlScript::readFile(path);
    const QList<QStringView> batches = SqlScript::batchViews(text);
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QTextStream(stdout) << seconds << ' ' << batches.size() << ' ' << peakRssKib() << "\n";
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

// N status files in `folder`: versions 2.0 to 2.3, one desk in ten failed,
// one in twenty not heard from for a fortnight.
int statusFiles(const QString &folder, int count)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < count; ++i) {
        InstallationStatus status;
        status.computer = QStringLiteral("DESK-%1").arg(i, 5, 10, QLatin1Char('0'));
        status.identity = QString::number(0x10000000 + i, 16).repeated(4).left(32);
        status.account = QStringLiteral("staff");
        status.folder = QStringLiteral("C:\\Program Files\\Vantora");
        status.installedVersion = QStringLiteral("2.%1.0").arg(i % 4);
        status.updaterVersion = QStringLiteral("1.4.0");
        status.action = QStringLiteral("update-app");
        const bool failed = i % 10 == 3;
        status.outcome = failed ? QStringLiteral("download failed") : QStringLiteral("done");
        status.exitCode = failed ? 4 : 0;
        status.reason = failed ? QStringLiteral("2005: the server did not answer") : QString();
        status.ranAt = now.addSecs(i % 20 == 7 ? -14 * 86400 : -3600 - i);
        status.releaseSerial = 40 + i % 4;
        QString why;
        if (!status.writeTo(folder, &why)) {
            QTextStream(stderr) << why << "\n";
            return 1;
        }
    }
    return 0;
}

int statusWrite(const QString &appFolder, const QString &folder)
{
    QList<double> ms;
    for (int i = 0; i < 21; ++i) {
        QElapsedTimer timer;
        timer.start();
        QString why;
        const InstallationStatus status
            = InstallationStatus::of(appFolder, QStringLiteral("check"), Outcome::of(OutcomeKind::Done), 0);
        if (!status.writeTo(folder, &why)) {
            QTextStream(stderr) << why << "\n";
            return 1;
        }
        ms.append(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    QTextStream(stdout) << ms.at(ms.size() / 2) << "\n";
    return 0;
}

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
        const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        QTextStream(stdout) << ms << ' ' << view->model()->rowCount() << "\n";
        return 0;
    }
    if (command == QLatin1String("script") && argc == 3) {
        QApplication app(argc, argv);
        return runScript(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (command == QLatin1String("split") && args.size() == 3)
        return split(args.at(2));
    if (command == QLatin1String("download") && (args.size() == 4 || args.size() == 5))
        return download(args);
    if (command == QLatin1String("resume") && args.size() == 3)
        return resume(args.at(2));
    if (command == QLatin1String("status-files") && args.size() == 4)
        return statusFiles(args.at(2), args.at(3).toInt());
    if (command == QLatin1String("status-write") && args.size() == 4)
        return statusWrite(args.at(2), args.at(3));
    QTextStream(stderr) << "usage: updater-bench download URL OUT [RATE] | resume FILE | startup | catalogue | script "
                           "FOLDER | split FILE | status-files DIR N | status-write APP DIR\n";
    return 2;
}
