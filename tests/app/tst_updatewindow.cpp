// "Update App" through the window: the real progress bar and a click that
// runs to the end against real stand-in processes (this program shares the
// ctest resource lock of the programs that run stand-ins).
#include "app/messagebox.h"
#include "app/updater.h"
#include "common/folderprocesscontrol.h"
#include "common/standins.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "update/downloadprogress.h"
#include "update/installationstatus.h"
#include "update/linuxprocesscontrol.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QByteArray kNewBuild = "\nVantora 1.1.0 test build\n";
} // namespace

class TestUpdateWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void downloadRestartsABarLeftByAnEarlierAction();
    void updateAppRunsToTheEnd();
    void closeDuringTheWatchAsks_data();
    void closeDuringTheWatchAsks();

private:
    QString app(const QString &name) const { return m_web->appFolder() + QLatin1Char('/') + name; }

    std::unique_ptr<WebFixture> m_web;
    std::unique_ptr<StandIns> m_standIns;
    TestClock m_clock;
    std::unique_ptr<FolderProcessControl> m_processes;
    std::unique_ptr<Updater> m_window;
    QStringList m_boxes;
    QTemporaryDir m_share;
};

void TestUpdateWindow::init()
{
    m_web = std::make_unique<WebFixture>();
    QVERIFY2(m_web->ok(), qPrintable(m_web->error()));
    m_standIns = std::make_unique<StandIns>(m_web->appFolder());
    m_processes = std::make_unique<FolderProcessControl>(m_web->appFolder());
    QVERIFY(StandIns::install(app(QStringLiteral("Vantora.exe"))));
    QVERIFY(writeBytes(app(QStringLiteral("version.txt")), "1.0.0\r\n"));
    m_web->publish(QStringLiteral("/updates/version.txt"), "1.1.0\r\n");
    m_web->publish(QStringLiteral("/updates/Vantora.exe"), StandIns::bytes() + kNewBuild);
    Platform platform{m_web->web(), m_clock, m_web->endpoints(), m_web->appFolder(), *m_processes};
    platform.statusFolder = m_share.path();
    m_window = std::make_unique<Updater>(std::move(platform));
    m_boxes.clear();
    MessageBox::setHook([this](const QString &prompt, MessageStyle, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt;
        return Answer::Yes;
    });
}

void TestUpdateWindow::cleanup()
{
    MessageBox::setHook({});
    m_window.reset();
    m_standIns.reset();
    m_web.reset();
}

void TestUpdateWindow::downloadRestartsABarLeftByAnEarlierAction()
{
    auto *bar = m_window->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
    m_window->setProgressRange(0, 5); // as a script run leaves it
    m_window->setProgressValue(5);
    QList<int> shown;
    // The moves while the bytes arrive (41 to 99) depend on their speed.
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
        if (value <= 40 || value == 100)
            shown << value;
    });

    QCOMPARE(DownloadWithProgress(*m_window, m_web->web(), m_clock, m_web->url(QStringLiteral("/updates/Vantora.exe")),
                                  app(QStringLiteral("Vantora_new.exe")))
                 .kind,
             OutcomeKind::Done);

    QList<int> expected{0};
    for (int i = 1; i <= 40; ++i)
        expected << i;
    QCOMPARE(shown, expected << 100);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
}

void TestUpdateWindow::updateAppRunsToTheEnd()
{
    const qint64 old = m_standIns->start(app(QStringLiteral("Vantora.exe")));
    QVERIFY(old > 0);
    m_window->show();

    QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("cmdCheckUpdate")), Qt::LeftButton);

    QCOMPARE(m_boxes,
             (QStringList{QStringLiteral("Update Available|A new version (1.1.0) is available.\r\n"
                                         "Your version: 1.0.0\r\n\r\nDo you want to update now?"),
                          QStringLiteral("Updater|Update completed successfully!")}));
    QCOMPARE(m_window->findChild<QLabel *>(QStringLiteral("lblStatus"))->text(), QStringLiteral("Update successful."));
    QCOMPARE(m_window->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"))->value(), 100);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(m_window->isVisible());
    QVERIFY(StandIns::waitStopped(old));
    QCOMPARE(readBytes(app(QStringLiteral("Vantora.exe"))), StandIns::bytes() + kNewBuild);
    QCOMPARE(readBytes(app(QStringLiteral("version.txt"))), QByteArray("1.1.0\r\n"));
    QVERIFY(QTest::qWaitFor([&] {
        return StandIns::logLines(app(QStringLiteral("Vantora.exe")))
            .last()
            .endsWith(QStringLiteral(" /silentdbupdate"));
    }));
    QCOMPARE(m_standIns->running().size(), 1);
    // The click left the installation's status on the share.
    const QStringList files = QDir(m_share.path()).entryList({QStringLiteral("*.json")}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QString why;
    const std::optional<InstallationStatus> status
        = InstallationStatus::fromJson(readBytes(m_share.filePath(files.first())), &why);
    QVERIFY2(status, qPrintable(why));
    QCOMPARE(status->action + u' ' + status->outcome + u' ' + status->installedVersion,
             QStringLiteral("update-app done 1.1.0"));
    QCOMPARE(status->exitCode, 0);
}

void TestUpdateWindow::closeDuringTheWatchAsks_data()
{
    QTest::addColumn<bool>("stop");
    QTest::newRow("Yes: the wait ends, the next run finishes it") << true;
    QTest::newRow("No: the watch goes on to its end") << false;
}

// A close while the new program is watched asks, as a close during a
// script's batches does.
void TestUpdateWindow::closeDuringTheWatchAsks()
{
    QFETCH(bool, stop);
    MessageBox::setHook([&](const QString &prompt, MessageStyle, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt.left(14);
        return title == QLatin1String("Confirmation") && !stop ? Answer::No : Answer::Yes;
    });
    bool closed = false;
    m_clock.onSleep = [&] {
        if (!closed && m_clock.sleeps.last() == 100) {
            closed = true;
            m_window->close();
        }
    };
    m_window->show();

    QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("cmdCheckUpdate")), Qt::LeftButton);

    QCOMPARE(m_boxes,
             (QStringList{QStringLiteral("Update Available|A new version "),
                          QStringLiteral("Confirmation|Stop waiting? "), QStringLiteral("Updater|Update complet")})
                 .mid(0, stop ? 2 : 3));
    // The window closes once the action has ended, whichever the answer.
    QVERIFY(!m_window->isVisible());
    QCOMPARE(readBytes(app(QStringLiteral("Vantora.exe"))), StandIns::bytes() + kNewBuild);
    QCOMPARE(readBytes(app(QStringLiteral("updater.state"))).contains("probation=watching|"), stop);
}

QTEST_MAIN(TestUpdateWindow)
#include "tst_updatewindow.moc"
