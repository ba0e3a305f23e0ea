// A click on an action button while an action runs, and a close of the
// window meanwhile: the running action ends as if nothing had been clicked,
// and the window closes only after it. Another updater at work in the
// folder: the action does not start.
#include "app/messagebox.h"
#include "app/updater.h"
#include "common/fileops.h"
#include "common/recordingprocesses.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "reports/reportlist.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTreeView>

class TestWindowGuards : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void secondClickDuringAnAction_data();
    void secondClickDuringAnAction();
    void closeWaitsForTheAction();
    void anotherUpdaterAtWork_data();
    void anotherUpdaterAtWork();

private:
    void click(const QString &name) { QTest::mouseClick(m_window->findChild<QPushButton *>(name), Qt::LeftButton); }

    std::unique_ptr<WebFixture> m_web;
    TestClock m_clock;
    RecordingProcesses m_processes;
    std::unique_ptr<Updater> m_window;
    QStringList m_boxes;
    std::function<void()> m_duringQuestion;
};

void TestWindowGuards::init()
{
    m_web = std::make_unique<WebFixture>();
    QVERIFY2(m_web->ok(), qPrintable(m_web->error()));
    QVERIFY(writeBytes(m_web->appFolder() + QStringLiteral("/version.txt"), "1.0.0\r\n"));
    QVERIFY(writeBytes(m_web->appFolder() + QStringLiteral("/Vantora.exe"), "old build"));
    m_web->publish(QStringLiteral("/updates/version.txt"), "1.1.0\r\n");
    m_web->publish(QStringLiteral("/updates/Vantora.exe"), "#!new build");
    m_web->publish(QStringLiteral("/Teldrin/VantoraReports/main/filelist.txt"), "a.rpt\r\n");
    m_window = std::make_unique<Updater>(
        Platform{m_web->web(), m_clock, m_web->endpoints(), m_web->appFolder(), m_processes});
    m_window->show();
    m_boxes.clear();
    m_processes.log.clear();
    m_duringQuestion = nullptr;
    MessageBox::setHook([this](const QString &prompt, MessageStyle style, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt.section(QLatin1Char('\r'), 0, 0);
        if (style == MessageStyle::Question && m_duringQuestion)
            std::exchange(m_duringQuestion, nullptr)();
        return style == MessageStyle::Question ? Answer::Yes : Answer::Ok;
    });
}

void TestWindowGuards::cleanup()
{
    MessageBox::setHook({});
    m_window.reset();
    m_web.reset();
}

void TestWindowGuards::secondClickDuringAnAction_data()
{
    QTest::addColumn<QString>("second");
    QTest::newRow("Update App again") << "cmdCheckUpdate";
    QTest::newRow("Update Reports") << "cmdReports";
    QTest::newRow("Update SP") << "cmdDownloadSP";
}

void TestWindowGuards::secondClickDuringAnAction()
{
    QFETCH(QString, second);
    // The click arrives while "Update App" waits for the user's answer, as a
    // queued click would when the action processes pending events.
    m_duringQuestion = [&] {
        QVERIFY(QApplication::overrideCursor()); // the action is still running
        click(second);
    };
    click(QStringLiteral("cmdCheckUpdate"));

    QCOMPARE(m_boxes,
             (QStringList{QStringLiteral("Update Available|A new version (1.1.0) is available."),
                          QStringLiteral("Updater|Update completed successfully!")}));
    QCOMPARE(m_processes.log.size(), 2); // one stop, one start: the update ran once
    QCOMPARE(readBytes(m_web->appFolder() + QStringLiteral("/Vantora.exe")), QByteArray("#!new build"));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    // Afterwards the button works again: "Update Reports" lists the
    // catalogue, the others answer with boxes.
    click(second);
    if (second == QLatin1String("cmdReports"))
        QCOMPARE(
            qobject_cast<ReportList *>(m_window->findChild<QTreeView *>(QStringLiteral("lvFiles"))->model())->names(),
            QStringList{QStringLiteral("a.rpt")});
    else
        QVERIFY(m_boxes.size() > 2);
}

void TestWindowGuards::closeWaitsForTheAction()
{
    m_duringQuestion = [&] {
        QVERIFY(!m_window->close()); // refused while the action runs
        QVERIFY(m_window->isVisible());
    };
    click(QStringLiteral("cmdCheckUpdate"));

    QCOMPARE(readBytes(m_web->appFolder() + QStringLiteral("/Vantora.exe")), QByteArray("#!new build"));
    QCOMPARE(readBytes(m_web->appFolder() + QStringLiteral("/version.txt")), QByteArray("1.1.0\r\n"));
    QVERIFY(m_boxes.contains(QStringLiteral("Updater|Update completed successfully!")));
    QVERIFY(!m_window->isVisible()); // closed once the update had ended
}

void TestWindowGuards::anotherUpdaterAtWork_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("lockable"); // else no lock file can be made
    QTest::newRow("Update App") << "cmdCheckUpdate" << true;
    QTest::newRow("Update Reports") << "cmdReports" << true;
    QTest::newRow("Update SP") << "cmdDownloadSP" << true;
    QTest::newRow("a read-only folder: runs without, and fails its own way") << "cmdCheckUpdate" << false;
}

void TestWindowGuards::anotherUpdaterAtWork()
{
    QFETCH(QString, button);
    QFETCH(bool, lockable);
    const QString lockPath = m_web->appFolder() + QStringLiteral("/updater.lock");
    // The other updater: a lock held by a live process (this one).
    std::optional<FileOps::FileLock> other;
    // A folder where nothing can be made: immutable, which holds for root
    // too, or else without write permission.
    auto readOnly = [&](bool on) {
        const QString folder = m_web->appFolder();
        if (QProcess::execute(QStringLiteral("chattr"), {on ? QStringLiteral("+i") : QStringLiteral("-i"), folder})
            != 0)
            QFile::setPermissions(folder,
                                  on ? QFile::ReadOwner | QFile::ExeOwner
                                     : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    const auto writable = qScopeGuard([&] { readOnly(false); });
    if (lockable) {
        other.emplace(lockPath);
        QVERIFY(other->state() == FileOps::FileLock::State::Held);
    } else
        readOnly(true);
    QCursor *cursorDuringBox = nullptr;
    MessageBox::setHook([&](const QString &prompt, MessageStyle style, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt.section(QLatin1Char('\r'), 0, 0);
        cursorDuringBox = QApplication::overrideCursor();
        return style == MessageStyle::Question ? Answer::Yes : Answer::Ok;
    });
    click(button);

    if (lockable) {
        QCOMPARE(m_boxes,
                 QStringList{QStringLiteral("Updater|Another Updater is already working in this folder. "
                                            "Please try again when it has finished.")});
        QVERIFY(cursorDuringBox != nullptr);
        QCOMPARE(m_web->server().requests(), QStringList{}); // nothing else was done
        QCOMPARE(readBytes(m_web->appFolder() + QStringLiteral("/Vantora.exe")), QByteArray("old build"));
    } else {
        QCOMPARE(m_boxes,
                 (QStringList{QStringLiteral("Update Available|A new version (1.1.0) is available."),
                              QStringLiteral("Updater|Failed to download update.")}));
    }
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

QTEST_MAIN(TestWindowGuards)
#include "tst_windowguards.moc"
