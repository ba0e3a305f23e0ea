#include "app/messagebox.h"
#include "app/updater.h"
#include "common/testclock.h"
#include "common/webfixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTreeView>

using namespace Qt::StringLiterals;

class TestUpdater : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void controls_data();
    void controls();
    void windowAndTabOrder();
    void loadStep();
    void panelCoversOnlyTheLowerLeft();
    void panelHiding_data();
    void panelHiding();
    void busyCursorIsOneLevel();
    void maximisedWindowIsNotMoved();
    void updateAppAgainstServer();

private:
    std::unique_ptr<WebFixture> m_web;
    TestClock m_clock;
    std::unique_ptr<Updater> m_window;
    QStringList m_boxes;
};

void TestUpdater::init()
{
    m_web = std::make_unique<WebFixture>();
    QVERIFY2(m_web->ok(), qPrintable(m_web->error()));
    m_window = std::make_unique<Updater>(Platform{m_web->web(), m_clock, m_web->endpoints(), m_web->appFolder()});
    m_boxes.clear();
    MessageBox::setHook([this](const QString &prompt, MessageStyle, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt;
        return Answer::No;
    });
}

void TestUpdater::cleanup()
{
    MessageBox::setHook({});
    m_window.reset();
    m_web.reset();
}

void TestUpdater::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("text");
    // clang-format off
    QTest::newRow("cmdCheckUpdate") << "cmdCheckUpdate" << "QPushButton" << "Updater" << QRect(1800, 3240, 2295, 615) << "Update App";
    QTest::newRow("lblStatus") << "lblStatus" << "ClickLabel" << "Updater" << QRect(120, 4200, 9855, 855) << "";
    QTest::newRow("ProgressBar1") << "ProgressBar1" << "QProgressBar" << "Updater" << QRect(1800, 2640, 7095, 375) << "";
    QTest::newRow("Label1") << "Label1" << "ClickLabel" << "Updater" << QRect(240, 240, 9615, 735)
                            << "Disclaimer: This update process will automatically replace the existing application "
                               "executable. Please ensure all work is saved and the application is not running before "
                               "proceeding. The company is not responsible for any data loss or issues arising due to "
                               "incomplete updates or manual modifications to application files.";
    QTest::newRow("lblFileDetails") << "lblFileDetails" << "ClickLabel" << "Updater" << QRect(240, 1320, 9615, 975) << "";
    QTest::newRow("cmdDownloadSP") << "cmdDownloadSP" << "QPushButton" << "Updater" << QRect(4200, 3240, 2295, 615) << "Update SP";
    QTest::newRow("List1") << "List1" << "QListWidget" << "Updater" << QRect(120, 4200, 2655, 1230) << "";
    QTest::newRow("cmdReports") << "cmdReports" << "QPushButton" << "Updater" << QRect(6600, 3240, 2295, 615) << "Update Reports";
    QTest::newRow("frameRpt") << "frameRpt" << "QGroupBox" << "Updater" << QRect(0, 1080, 4335, 4455) << "";
    QTest::newRow("cmdDownloadRpt") << "cmdDownloadRpt" << "QPushButton" << "frameRpt" << QRect(1320, 3840, 1455, 495) << "Download";
    QTest::newRow("lvFiles") << "lvFiles" << "QTreeView" << "frameRpt" << QRect(120, 240, 4095, 3495) << "";
    QTest::newRow("chkAll") << "chkAll" << "QCheckBox" << "frameRpt" << QRect(140, 3720, 975, 255) << "Select All";
    // clang-format on
}

void TestUpdater::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, container);
    QFETCH(QRect, twips);
    QFETCH(QString, text);
    auto *widget = m_window->findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(widget->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), text);
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
}

void TestUpdater::windowAndTabOrder()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Check Updates"));
    QCOMPARE(m_window->size(), QSize(669, 375));
    QVERIFY(!m_window->windowIcon().isNull());
    QCOMPARE(m_window->windowIcon().actualSize(QSize(64, 64)), QSize(16, 16));
    const QStringList order{u"cmdCheckUpdate"_s, u"lblStatus"_s,      u"ProgressBar1"_s, u"Label1"_s,
                            u"lblFileDetails"_s, u"cmdDownloadSP"_s,  u"List1"_s,        u"cmdReports"_s,
                            u"frameRpt"_s,       u"cmdDownloadRpt"_s, u"lvFiles"_s,      u"chkAll"_s};
    QWidget *widget = m_window->findChild<QWidget *>(order.first());
    for (qsizetype i = 1; i < order.size(); ++i) {
        do // skip the inner parts of composite widgets
            widget = widget->nextInFocusChain();
        while (widget->objectName().startsWith(QLatin1String("qt_")) || widget->objectName().isEmpty());
        QCOMPARE(widget->objectName(), order.at(i));
    }
    auto *status = m_window->findChild<QLabel *>(QStringLiteral("lblStatus"));
    QVERIFY(status->alignment() & Qt::AlignHCenter);
    auto *bar = m_window->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(m_window->findChild<QPushButton *>(QStringLiteral("cmdReports"))->font().bold(), true);
}

void TestUpdater::loadStep()
{
    QVERIFY(m_window->findChild<QLabel *>(QStringLiteral("lblStatus"))->text().isEmpty());
    QVERIFY(m_window->findChild<QLabel *>(QStringLiteral("lblFileDetails"))->text().isEmpty());
    QVERIFY(m_window->findChild<QWidget *>(QStringLiteral("frameRpt"))->isHidden());
    QVERIFY(m_window->findChild<QWidget *>(QStringLiteral("List1"))->isHidden());
    // Centred on the screen's free area.
    const QRect area = m_window->screen()->availableGeometry();
    const QRect frame = m_window->frameGeometry();
    QVERIFY2(qAbs(frame.center().x() - area.center().x()) <= 1, qPrintable(QString::number(frame.x())));
    QVERIFY2(qAbs(frame.center().y() - area.center().y()) <= 1, qPrintable(QString::number(frame.y())));
}

void TestUpdater::panelCoversOnlyTheLowerLeft()
{
    m_window->show();
    m_window->showReportPanel(true);
    const QRect panel = m_window->findChild<QWidget *>(QStringLiteral("frameRpt"))->geometry();
    auto rect
        = [this](const char *name) { return m_window->findChild<QWidget *>(QString::fromLatin1(name))->geometry(); };
    QVERIFY(panel.contains(rect("cmdCheckUpdate")));
    QVERIFY(panel.intersects(rect("cmdDownloadSP")));
    QVERIFY(panel.intersects(rect("lblStatus")));
    QVERIFY(!panel.intersects(rect("cmdReports")));
    QVERIFY(!panel.intersects(rect("Label1")));
    // Drawn above what it covers.
    auto *panelWidget = m_window->findChild<QWidget *>(QStringLiteral("frameRpt"));
    QWidget *top = m_window->childAt(rect("cmdCheckUpdate").center());
    QVERIFY(top == panelWidget || panelWidget->isAncestorOf(top));
}

void TestUpdater::panelHiding_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("hides");
    QTest::newRow("background") << QString() << true;
    QTest::newRow("status line") << "lblStatus" << true;
    QTest::newRow("file details") << "lblFileDetails" << true;
    QTest::newRow("disclaimer") << "Label1" << false;
    QTest::newRow("progress bar") << "ProgressBar1" << false;
}

void TestUpdater::panelHiding()
{
    QFETCH(QString, target);
    QFETCH(bool, hides);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    auto *panel = m_window->findChild<QWidget *>(QStringLiteral("frameRpt"));
    m_window->showReportPanel(true);
    if (target.isEmpty()) {
        // Between the buttons, right of the panel: bare background.
        const QPoint spot(630, 230);
        QCOMPARE(m_window->childAt(spot), nullptr);
        QTest::mouseClick(m_window.get(), Qt::LeftButton, {}, spot);
    } else {
        auto *widget = m_window->findChild<QWidget *>(target);
        const QPoint spot(widget->width() - 5, widget->height() / 2); // right of the panel
        QTest::mouseClick(widget, Qt::LeftButton, {}, spot);
    }
    QCOMPARE(panel->isVisible(), !hides);
    // With the panel hidden, the same click changes nothing.
    m_window->showReportPanel(false);
    QTest::mouseClick(m_window.get(), Qt::LeftButton, {}, QPoint(630, 230));
    QVERIFY(!panel->isVisible());
}

void TestUpdater::busyCursorIsOneLevel()
{
    m_window->setBusyCursor(true);
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    m_window->setBusyCursor(true);
    m_window->setBusyCursor(false);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    m_window->setBusyCursor(false);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestUpdater::maximisedWindowIsNotMoved()
{
    m_window->move(3, 4);
    m_window->setWindowState(Qt::WindowMinimized);
    m_window->centre();
    QCOMPARE(m_window->pos(), QPoint(3, 4));
}

void TestUpdater::updateAppAgainstServer()
{
    m_web->publish(QStringLiteral("/updates/version.txt"), "1.0.0\r\n");
    writeBytes(m_web->appFolder() + QStringLiteral("/version.txt"), "1.0.0\r\n");
    m_window->show();
    QTest::mouseClick(m_window->findChild<QPushButton *>(QStringLiteral("cmdCheckUpdate")), Qt::LeftButton);
    QCOMPARE(m_boxes, QStringList{QStringLiteral("Updater|You already have the latest version (1.0.0).")});
    QCOMPARE(m_window->findChild<QLabel *>(QStringLiteral("lblStatus"))->text(), QStringLiteral("Already up to date."));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
