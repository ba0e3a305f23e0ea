#include "app/messagebox.h"
#include "app/updater.h"
#include "common/spfixture.h"
#include "common/testclock.h"
#include "sp/runlock.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <qpa/qwindowsysteminterface.h>

using namespace Qt::StringLiterals;

namespace {
const QString kSuccess = QStringLiteral("Updater|SQL Script Execution Completed Successfully!");
const QString kQuestion = QStringLiteral("Confirmation|Are you sure you want to execute the SQL script?");
const QString kStop
    = QStringLiteral("Confirmation|Stop the script? The running batch will be cancelled and no later batch will run.");

} // namespace

Q_DECLARE_METATYPE(Answer)

namespace {

// Counts the paint events of a widget that arrive while a condition holds.
class PaintCounter : public QObject
{
public:
    std::function<bool()> when;
    int count = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && when())
            ++count;
        return QObject::eventFilter(watched, event);
    }
};
} // namespace

// "Update SP" through the real window, against the local servers.
class TestSpWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void serverNameComesFromTheFile();
    void paintingGoesOnDuringABatch();
    void closeDuringABatch_data();
    void closeDuringABatch();

private:
    void publish(const QByteArray &script);
    void click();

    SpFixture m_sp;
    TestClock m_clock;
    std::unique_ptr<Updater> m_window;
    QStringList m_boxes;
    Answer m_stopAnswer = Answer::Yes;
};

void TestSpWindow::initTestCase()
{
    DatabaseFixture::chooseDriver();
}

void TestSpWindow::init()
{
    if (!m_sp.start())
        return;
    m_window
        = std::make_unique<Updater>(Platform{m_sp.web->web(), m_clock, m_sp.web->endpoints(), m_sp.web->appFolder()});
    m_boxes.clear();
    MessageBox::setHook([this](const QString &prompt, MessageStyle style, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt;
        if (title + QLatin1Char('|') + prompt == kStop)
            return m_stopAnswer;
        return style == MessageStyle::Question ? Answer::Yes : Answer::Ok;
    });
}

void TestSpWindow::cleanup()
{
    MessageBox::setHook({});
    m_window.reset();
    m_sp.stop();
}

void TestSpWindow::publish(const QByteArray &script)
{
    QByteArray text = script;
    text.replace("%S", m_sp.db->schema().toUtf8());
    m_sp.web->publish(QStringLiteral("/updates/LATEST.sql"), text);
}

void TestSpWindow::click()
{
    m_boxes.clear();
    QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("cmdDownloadSP")), Qt::LeftButton);
}

void TestSpWindow::serverNameComesFromTheFile()
{
    m_sp.db->values(QStringLiteral("CREATE TABLE %1.runs (n int)").arg(m_sp.db->schema()));
    publish("INSERT INTO %S.runs VALUES (1)");
    const QString constr = m_sp.web->appFolder() + QStringLiteral("/CONSTR.txt");
    QVERIFY(writeBytes(constr, "127.0.0.1\r\n127.0.0.2\r\n"));
    auto *list = m_window->findChild<QListWidget *>(QStringLiteral("List1"));
    auto rows = [list] {
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        return texts;
    };
    const QString countRuns = QStringLiteral("SELECT count(*) FROM %1.runs").arg(m_sp.db->schema());

    click();
    QCOMPARE(m_boxes, (QStringList{kQuestion, kSuccess}));
    QCOMPARE(rows(), (QStringList{u"127.0.0.1"_s, u"127.0.0.2"_s}));

    // Choosing the second server in the list changes nothing.
    list->setCurrentRow(1);
    click();
    QCOMPARE(m_boxes, (QStringList{kQuestion, kSuccess}));
    QCOMPARE(m_sp.db->values(countRuns), QStringList{u"2"_s});

    // A missing or empty file: one box, the list and the server kept.
    QVERIFY(QFile::remove(constr));
    click();
    QCOMPARE(m_boxes.size(), 3);
    QVERIFY2(m_boxes.at(0).startsWith(QStringLiteral("Updater|File not found")), qPrintable(m_boxes.at(0)));
    QCOMPARE(m_boxes.mid(1), (QStringList{kQuestion, kSuccess}));
    QVERIFY(writeBytes(constr, ""));
    click();
    QCOMPARE(m_boxes.size(), 3);
    QCOMPARE(m_boxes.mid(1), (QStringList{kQuestion, kSuccess}));
    QCOMPARE(rows(), (QStringList{u"127.0.0.1"_s, u"127.0.0.2"_s}));
    QCOMPARE(m_sp.db->values(countRuns), QStringList{u"4"_s});
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestSpWindow::paintingGoesOnDuringABatch()
{
    publish("SELECT pg_sleep(1.5)\r\nGO\r\nSELECT 1");
    QVERIFY(writeBytes(m_sp.web->appFolder() + QStringLiteral("/CONSTR.txt"), "127.0.0.1"));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    auto *status = m_window->findChild<QLabel *>(QStringLiteral("lblStatus"));
    const QString longBatch = QStringLiteral("Executing batch 1 of 2");

    // While the long batch runs, something keeps asking the status line to
    // repaint; the paints must get through.
    PaintCounter paints;
    paints.when = [&] { return status->text() == longBatch; };
    status->installEventFilter(&paints);
    int ticks = 0;
    QTimer poke;
    QObject::connect(&poke, &QTimer::timeout, [&] {
        if (status->text() == longBatch) {
            ++ticks;
            status->update();
        }
    });
    poke.start(50);
    click();
    poke.stop();
    status->removeEventFilter(&paints);
    QCOMPARE(m_boxes, (QStringList{kQuestion, kSuccess}));
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QVERIFY2(paints.count >= 10, qPrintable(QString::number(paints.count)));
}

void TestSpWindow::closeDuringABatch_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QByteArray>("sleep");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<bool>("locked"); // another desk's run holds the lock: the close ends the wait
    QTest::newRow("Yes: stopped at once")
        << Answer::Yes << QByteArray("30")
        << "Updater|SQL Script Execution Completed with errors: 0 of 2 batches failed, batch 1 was cancelled, 1 was "
           "not run."
        << QStringList{} << false;
    QTest::newRow("No: the script ends first")
        << Answer::No << QByteArray("1.5") << kSuccess << QStringList{u"1"_s} << false;
    QTest::newRow("waiting for another desk: the wait ends, nothing runs")
        << Answer::No << QByteArray("0") << QString() << QStringList{} << true;
}

void TestSpWindow::closeDuringABatch()
{
    QFETCH(Answer, answer);
    QFETCH(QByteArray, sleep);
    QFETCH(QString, summary);
    QFETCH(QStringList, rows);
    QFETCH(bool, locked);
    m_stopAnswer = answer;
    const QString key = QString::number(RunLock::advisoryKey(RunLock::name(m_sp.db->schema())));
    if (locked)
        m_sp.db->values(QStringLiteral("SELECT pg_advisory_lock(%1)::text").arg(key));
    m_sp.db->values(QStringLiteral("CREATE TABLE %1.runs (n int)").arg(m_sp.db->schema()));
    publish("SELECT pg_sleep(" + sleep + ")\r\nGO\r\nINSERT INTO %S.runs VALUES (1)");
    QVERIFY(writeBytes(m_sp.web->appFolder() + QStringLiteral("/CONSTR.txt"), "127.0.0.1"));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    auto *status = m_window->findChild<QLabel *>(QStringLiteral("lblStatus"));

    // The user closes the window while the long batch runs: the window
    // system queues the close as it would for the title bar's button.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (status->text()
            != (locked ? QStringLiteral("Waiting for another desk to finish the script...")
                       : QStringLiteral("Executing batch 1 of 2")))
            return;
        closer.stop();
        QWindowSystemInterface::handleCloseEvent<QWindowSystemInterface::AsynchronousDelivery>(
            m_window->windowHandle());
    });
    closer.start(200);
    QElapsedTimer clock;
    clock.start();
    click();
    closer.stop();
    if (locked)
        m_sp.db->values(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(key));

    QCOMPARE(m_boxes, locked ? QStringList{kQuestion} : (QStringList{kQuestion, kStop, summary}));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_sp.db->values(QStringLiteral("SELECT n FROM %1.runs").arg(m_sp.db->schema())), rows);
    QVERIFY(!m_window->isVisible()); // closed once the action had ended
}

QTEST_MAIN(TestSpWindow)
#include "tst_spwindow.moc"
