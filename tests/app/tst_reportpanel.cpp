#include "app/messagebox.h"
#include "app/updater.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "reports/reportlist.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

using namespace Qt::StringLiterals;

namespace {
const QString kFolder = QStringLiteral("/Teldrin/VantoraReports/main/");
const QString kCatalogue = kFolder + QStringLiteral("filelist.txt");
} // namespace

// The report panel of the real window against a local report host: what
// the user sees and clicks.
class TestReportPanel : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void updateReportsShowsTheCatalogue();
    void failedFetchKeepsTheOpeningColumn();
    void selectAllThroughItsCheckBox();
    void selectAllRunsOncePerChange_data();
    void selectAllRunsOncePerChange();
    void downloadThroughItsButton();
    void largeCatalogueIsListedWhole();

private:
    template <typename T>
    T *child(const char *name)
    {
        return m_window->findChild<T *>(QString::fromLatin1(name));
    }
    void click(const char *button) { QTest::mouseClick(child<QAbstractButton>(button), Qt::LeftButton); }
    QStringList checkedRows() const;
    int selectedRows() { return int(child<QTreeView>("lvFiles")->selectionModel()->selectedRows().size()); }

    std::unique_ptr<WebFixture> m_web;
    TestClock m_clock;
    std::unique_ptr<Updater> m_window;
    QStringList m_boxes;
};

void TestReportPanel::init()
{
    m_web = std::make_unique<WebFixture>(1'000);
    QVERIFY2(m_web->ok(), qPrintable(m_web->error()));
    m_window = std::make_unique<Updater>(Platform{m_web->web(), m_clock, m_web->endpoints(), m_web->appFolder()});
    m_boxes.clear();
    MessageBox::setHook([this](const QString &prompt, MessageStyle, const QString &title) {
        m_boxes << title + QLatin1Char('|') + prompt;
        return Answer::Ok;
    });
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestReportPanel::cleanup()
{
    MessageBox::setHook({});
    m_window.reset();
    m_web.reset();
}

QStringList TestReportPanel::checkedRows() const
{
    const QAbstractItemModel *model = m_window->findChild<QTreeView *>(QStringLiteral("lvFiles"))->model();
    QStringList rows;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (index.data(Qt::CheckStateRole).toInt() == Qt::Checked)
            rows << index.data().toString();
    }
    return rows;
}

void TestReportPanel::updateReportsShowsTheCatalogue()
{
    m_web->publish(kCatalogue, "Fees.rpt\r\n  Class List.rpt \r\n\r\nRoll.rpt\r\n");
    auto *panel = child<QWidget>("frameRpt");
    QVERIFY(!panel->isVisible());
    click("cmdReports");

    // Shown above "Update App" (where it lies is tested with the window).
    QVERIFY(panel->isVisible());
    QWidget *top = m_window->childAt(child<QWidget>("cmdCheckUpdate")->geometry().center());
    QVERIFY(top == panel || panel->isAncestorOf(top));

    auto *view = child<QTreeView>("lvFiles");
    const QAbstractItemModel *model = view->model();
    QCOMPARE(model->columnCount(), 1);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("File Name"));
    QVERIFY(!view->isHeaderHidden());
    QCOMPARE(view->columnWidth(0), Updater::px(5000));
    QCOMPARE(model->rowCount(), 3);
    const QStringList names{u"Fees.rpt"_s, u"Class List.rpt"_s, u"Roll.rpt"_s};
    for (int row = 0; row < 3; ++row) {
        const QModelIndex index = model->index(row, 0);
        QCOMPARE(index.data().toString(), names.at(row));
        QCOMPARE(index.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QVERIFY(index.flags() & Qt::ItemIsUserCheckable);
    }
    QCOMPARE(m_boxes, QStringList{});
    QCOMPARE(QApplication::overrideCursor(), nullptr);

    // A second click lists the catalogue once.
    click("cmdReports");
    QCOMPARE(model->rowCount(), 3);
}

void TestReportPanel::failedFetchKeepsTheOpeningColumn()
{
    HttpsFileServer::Fault missing;
    missing.status = 404;
    m_web->server().setFault(kCatalogue, missing);
    click("cmdReports");

    QVERIFY(child<QWidget>("frameRpt")->isVisible());
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY2(m_boxes.first().startsWith(QStringLiteral("Updater|Error loading file list: ")),
             qPrintable(m_boxes.first()));
    QCOMPARE(child<QTreeView>("lvFiles")->columnWidth(0), Updater::px(8000));
    QCOMPARE(child<QTreeView>("lvFiles")->model()->rowCount(), 0);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestReportPanel::selectAllThroughItsCheckBox()
{
    m_web->publish(kCatalogue, "a.rpt\r\nb.rpt\r\nc.rpt\r\n");
    click("cmdReports");
    auto *view = child<QTreeView>("lvFiles");
    auto *selectAll = child<QCheckBox>("chkAll");

    // One row checked by a click on its check box.
    const QRect row = view->visualRect(view->model()->index(1, 0));
    const int box = view->style()->pixelMetric(QStyle::PM_IndicatorWidth);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(row.left() + box / 2 + 3, row.center().y()));
    QCOMPARE(checkedRows(), QStringList{u"b.rpt"_s});

    click("chkAll");
    QVERIFY(selectAll->isChecked());
    QCOMPARE(checkedRows(), (QStringList{u"a.rpt"_s, u"b.rpt"_s, u"c.rpt"_s}));
    QCOMPARE(selectedRows(), 3);

    click("chkAll");
    QVERIFY(!selectAll->isChecked());
    QCOMPARE(checkedRows(), QStringList{});
    QCOMPARE(selectedRows(), 0);
    QCOMPARE(m_boxes, QStringList{});

    // "Update Reports" clears a checked "Select All", and with it every row
    // that stays listed after a failed fetch.
    click("chkAll");
    HttpsFileServer::Fault missing;
    missing.status = 404;
    m_web->server().setFault(kCatalogue, missing);
    click("cmdReports");
    QVERIFY(!selectAll->isChecked());
    QCOMPARE(view->model()->rowCount(), 3);
    QCOMPARE(checkedRows(), QStringList{});
    QCOMPARE(selectedRows(), 0);
}

void TestReportPanel::selectAllRunsOncePerChange_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("a mouse click") << "mouse";
    QTest::newRow("the space bar") << "keyboard";
    QTest::newRow("an assistive tool's toggle action") << "accessibility";
}

void TestReportPanel::selectAllRunsOncePerChange()
{
    QFETCH(QString, how);
    m_web->publish(kCatalogue, "a.rpt\r\nb.rpt\r\nc.rpt\r\n");
    click("cmdReports");
    auto *selectAll = child<QCheckBox>("chkAll");
    auto change = [&] {
        if (how == QLatin1String("mouse")) {
            QTest::mouseClick(selectAll, Qt::LeftButton);
        } else if (how == QLatin1String("keyboard")) {
            selectAll->setFocus();
            QTest::keyClick(selectAll, Qt::Key_Space);
        } else {
            QAccessibleInterface *box = QAccessible::queryAccessibleInterface(selectAll);
            QVERIFY(box && box->actionInterface());
            box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        }
    };
    // The handler marks every row at once: one change of the rows' check
    // state per run.
    QSignalSpy runs(child<QTreeView>("lvFiles")->model(), &QAbstractItemModel::dataChanged);

    change();
    QVERIFY(selectAll->isChecked());
    QCOMPARE(checkedRows(), (QStringList{u"a.rpt"_s, u"b.rpt"_s, u"c.rpt"_s}));
    QCOMPARE(selectedRows(), 3);
    QCOMPARE(runs.size(), 1);

    change();
    QVERIFY(!selectAll->isChecked());
    QCOMPARE(checkedRows(), QStringList{});
    QCOMPARE(selectedRows(), 0);
    QCOMPARE(runs.size(), 2);

    // "Update Reports" clearing a checked box runs it once more, not twice.
    change();
    click("cmdReports");
    QVERIFY(!selectAll->isChecked());
    QCOMPARE(checkedRows(), QStringList{});
    QCOMPARE(runs.size(), 4);
    QCOMPARE(m_boxes, QStringList{});
}

void TestReportPanel::downloadThroughItsButton()
{
    m_web->publish(kCatalogue, "a.rpt\r\nb.rpt\r\n");
    m_web->publish(kFolder + QStringLiteral("a.rpt"), "report a");
    m_web->publish(kFolder + QStringLiteral("b.rpt"), "report b");
    click("cmdReports");
    qobject_cast<ReportList *>(m_window->findChild<QTreeView *>(QStringLiteral("lvFiles"))->model())
        ->setChecked(1, true);
    click("cmdDownloadRpt");

    QCOMPARE(m_boxes, QStringList{QStringLiteral("Updater|Download complete.")});
    QCOMPARE(readBytes(m_web->appFolder() + QStringLiteral("/Reports/b.rpt")), QByteArray("report b"));
    QVERIFY(!QFileInfo::exists(m_web->appFolder() + QStringLiteral("/Reports/a.rpt")));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestReportPanel::largeCatalogueIsListedWhole()
{
    QByteArray catalogue;
    for (int i = 0; i < 100'000; ++i)
        catalogue += "Report " + QByteArray::number(i) + ".rpt\r\n";
    m_web->publish(kCatalogue, catalogue);
    auto *view = child<QTreeView>("lvFiles");

    click("cmdReports");
    QCoreApplication::processEvents(); // the view lays out and paints
    view->scrollToBottom();
    QCoreApplication::processEvents();

    QCOMPARE(view->model()->rowCount(), 100'000);
    QCOMPARE(m_boxes, QStringList{});
    const QModelIndex last = view->model()->index(99'999, 0);
    QVERIFY(view->viewport()->rect().intersects(view->visualRect(last)));
}

QTEST_MAIN(TestReportPanel)
#include "tst_reportpanel.moc"
