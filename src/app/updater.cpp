#include "app/updater.h"

#include "app/messagebox.h"
#include "cli/cli.h"
#include "common/loggingservices.h"
#include "reports/reportactions.h"
#include "reports/reportlist.h"
#include "sp/loggingdatabase.h"
#include "sp/spupdate.h"
#include "update/appupdate.h"
#include "update/installation.h"
#include "update/installfiles.h"
#include "update/logginginstall.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QTreeView>

namespace {

const QString kDisclaimer = QStringLiteral(
    "Disclaimer: This update process will automatically replace the existing application executable. "
    "Please ensure all work is saved and the application is not running before proceeding. The company is "
    "not responsible for any data loss or issues arising due to incomplete updates or manual modifications "
    "to application files.");

// A font by face, with quiet fallbacks where the face is not installed:
// first the free faces with the same metrics (Carlito for Calibri, Liberation
// Sans for Arial), then whatever sans face there is.
QFont faceFont(const QString &face, double points, int weight)
{
    QFont result;
    QStringList families{face};
    if (face == QLatin1String("Calibri"))
        families << QStringLiteral("Carlito");
    families << QStringLiteral("Arial") << QStringLiteral("Liberation Sans") << QStringLiteral("DejaVu Sans");
    result.setFamilies(families);
    result.setPointSizeF(points);
    result.setWeight(weight >= 700 ? QFont::Bold : QFont::Normal);
    return result;
}

QFont buttonFont()
{
    return faceFont(QStringLiteral("Calibri"), 11.25, 700);
}
QFont roundedFont()
{
    return faceFont(QStringLiteral("Arial Rounded MT Bold"), 9, 400);
}

void place(QWidget *widget, const char *name, int left, int top, int width, int height)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(Updater::px(left), Updater::px(top), Updater::px(width), Updater::px(height));
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, int left, int top, int width, int height)
{
    auto *result = new QPushButton(text, parent);
    place(result, name, left, top, width, height);
    result->setFont(buttonFont());
    return result;
}

} // namespace

void ClickLabel::mousePressEvent(QMouseEvent *event)
{
    event->accept();
}

void ClickLabel::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

Updater::Updater(Platform platform, QWidget *parent)
    : QWidget(parent), m_platform(std::move(platform)),
      m_processes(std::make_unique<LoggingProcesses>(m_platform.processes, *m_platform.log)),
      m_databases(LoggingDatabase::factory(m_platform.databases, *m_platform.log)), m_reports(new ReportList(this))
{
    build();
    load();
}

Updater::~Updater()
{
    if (m_busy)
        restoreCursor();
}

void Updater::build()
{
    Q_INIT_RESOURCE(resources); // the resources sit in a static library
    setObjectName(QStringLiteral("Updater"));
    setWindowTitle(QStringLiteral("Check Updates"));
    setWindowIcon(QIcon(QPixmap(QStringLiteral(":/updater.xpm"))));
    setFixedSize(px(10035), px(5625));

    // Tab order 0 to 11, as created.
    buildMainControls();
    buildReportFrame();
    const QList<QWidget *> order
        = {m_cmdCheckUpdate, m_lblStatus,  m_progressBar, m_label1,         m_lblFileDetails, m_cmdDownloadSP,
           m_list1,          m_cmdReports, m_frameRpt,    m_cmdDownloadRpt, m_lvFiles,        m_chkAll};
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));

    m_frameRpt->raise();
    connectControls();
}

void Updater::buildMainControls()
{
    m_cmdCheckUpdate = button(this, "cmdCheckUpdate", QStringLiteral("Update App"), 1800, 3240, 2295, 615);

    m_lblStatus = new ClickLabel(QStringLiteral("lblStatus"), this);
    place(m_lblStatus, "lblStatus", 120, 4200, 9855, 855);
    m_lblStatus->setFont(roundedFont());
    m_lblStatus->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_lblStatus->setWordWrap(true);

    m_progressBar = new QProgressBar(this);
    place(m_progressBar, "ProgressBar1", 1800, 2640, 7095, 375);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(false);

    m_label1 = new ClickLabel(kDisclaimer, this);
    place(m_label1, "Label1", 240, 240, 9615, 735);
    m_label1->setFont(roundedFont());
    m_label1->setWordWrap(true);
    m_label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    m_lblFileDetails = new ClickLabel(QStringLiteral("Label2"), this);
    place(m_lblFileDetails, "lblFileDetails", 240, 1320, 9615, 975);
    m_lblFileDetails->setFont(faceFont(QStringLiteral("Arial"), 9, 400));
    m_lblFileDetails->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_lblFileDetails->setWordWrap(true);

    m_cmdDownloadSP = button(this, "cmdDownloadSP", QStringLiteral("Update SP"), 4200, 3240, 2295, 615);

    m_list1 = new QListWidget(this);
    place(m_list1, "List1", 120, 4200, 2655, 1230);
    m_list1->hide();

    m_cmdReports = button(this, "cmdReports", QStringLiteral("Update Reports"), 6600, 3240, 2295, 615);
}

void Updater::buildReportFrame()
{
    m_frameRpt = new QGroupBox(QString(), this);
    place(m_frameRpt, "frameRpt", 0, 1080, 4335, 4455);
    m_frameRpt->setAutoFillBackground(true);

    m_cmdDownloadRpt = button(m_frameRpt, "cmdDownloadRpt", QStringLiteral("Download"), 1320, 3840, 1455, 495);

    m_lvFiles = new QTreeView(m_frameRpt);
    place(m_lvFiles, "lvFiles", 120, 240, 4095, 3495);
    m_lvFiles->setFont(faceFont(QStringLiteral("Arial"), 9, 400));
    m_lvFiles->setRootIsDecorated(false);
    m_lvFiles->setUniformRowHeights(true);
    m_lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_lvFiles->setModel(m_reports);
    m_lvFiles->setSelectionModel(m_reports->selectionModel());
    m_lvFiles->header()->setStretchLastSection(false);

    m_chkAll = new QCheckBox(QStringLiteral("Select All"), m_frameRpt);
    place(m_chkAll, "chkAll", 140, 3720, 975, 255);
    m_chkAll->setFont(faceFont(QStringLiteral("Arial"), 8.25, 400));
}

void Updater::connectControls()
{
    connect(m_lblStatus, &ClickLabel::clicked, this, [this] { showReportPanel(false); });
    connect(m_lblFileDetails, &ClickLabel::clicked, this, [this] { showReportPanel(false); });
    connect(m_cmdCheckUpdate, &QPushButton::clicked, this, &Updater::cmdCheckUpdate_Click);
    connect(m_cmdReports, &QPushButton::clicked, this, &Updater::cmdReports_Click);
    connect(m_cmdDownloadRpt, &QPushButton::clicked, this, &Updater::cmdDownloadRpt_Click);
    // Every change of the value runs the handler once, whatever made it: a
    // click, the keyboard, an assistive tool or the program itself.
    connect(m_chkAll, &QCheckBox::toggled, this, &Updater::chkAll_Click);
    connect(m_cmdDownloadSP, &QPushButton::clicked, this, &Updater::cmdDownloadSP_Click);
}

void Updater::load()
{
    centre();
    m_lblStatus->clear();
    m_lblFileDetails->clear();
    m_frameRpt->hide();
}

void Updater::centre()
{
    if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized))
        return;
    const QScreen *where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    const QSize outer = frameGeometry().size();
    // 64-bit arithmetic: no screen is too large to centre on.
    const qint64 left = area.x() + (qint64(area.width()) - outer.width()) / 2;
    const qint64 top = area.y() + (qint64(area.height()) - outer.height()) / 2;
    move(int(left), int(top));
}

void Updater::mouseReleaseEvent(QMouseEvent *event)
{
    // A click on the window's background, not on one of its controls.
    if (event->button() == Qt::LeftButton && !childAt(event->position().toPoint()))
        showReportPanel(false);
    QWidget::mouseReleaseEvent(event);
}

void Updater::setStatus(const QString &text)
{
    m_lblStatus->setText(text);
}

void Updater::processPendingEvents()
{
    // An action may ask many times a millisecond (a script of many small
    // batches); the screen changes at most once a frame anyway. The first
    // call after a pause always runs, so a step that blocks is announced.
    if (m_sinceEvents.isValid() && !m_sinceEvents.hasExpired(kEventsIntervalMs))
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    m_sinceEvents.start();
}

void Updater::setBusyCursor(bool busy)
{
    if (!busy) {
        restoreCursor();
        return;
    }
    if (!m_busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    m_busy = true;
}

void Updater::restoreCursor()
{
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    m_busy = false;
}

Answer Updater::showMessage(const QString &prompt, MessageStyle style, const QString &title)
{
    return MessageBox::show(this, prompt, style, title);
}

void Updater::showReportPanel(bool shown)
{
    m_frameRpt->setVisible(shown);
}

void Updater::setProgressRange(int minimum, int maximum)
{
    m_progressMinimum = minimum;
    m_progressMaximum = maximum;
    // An empty range would make the bar spin; show it as one step instead.
    m_progressBar->setRange(minimum, maximum > minimum ? maximum : minimum + 1);
}

void Updater::setProgressValue(int value)
{
    if (m_progressMaximum <= m_progressMinimum)
        value = value >= m_progressMaximum ? m_progressMinimum + 1 : m_progressMinimum;
    m_progressBar->setValue(value);
}

void Updater::setServerList(const QStringList &items)
{
    m_list1->clear();
    m_list1->addItems(items);
}

void Updater::setReportColumn(const QString &caption, int widthTwips)
{
    m_reports->setCaption(caption);
    m_lvFiles->setColumnWidth(0, px(widthTwips));
}

bool Updater::selectAllChecked() const
{
    return m_chkAll->isChecked();
}

void Updater::setSelectAllChecked(bool checked)
{
    // A change runs the handler through the box's own signal.
    m_chkAll->setChecked(checked);
}

void Updater::closeEvent(QCloseEvent *event)
{
    if (m_actionRunning) {
        m_closeRequested = true;
        event->ignore();
        if (m_onClose) {
            const std::function<void()> onClose = m_onClose;
            onClose();
        }
        return;
    }
    QWidget::closeEvent(event);
}

void Updater::runAction(const QString &name, const std::function<Outcome(Services &, InstallFiles &)> &action)
{
    if (m_actionRunning)
        return;
    m_actionRunning = true;
    LoggingServices services(*this, *m_platform.log);
    LoggingFiles files(InstallFiles::plain(), *m_platform.log);
    // Every action traps its own failures; this is the last guard, so that
    // nothing thrown reaches the event loop and ends the program.
    // The boxes have said it all; the outcome goes to the status file.
    Outcome outcome;
    attempt([&] {
        outcome = Installation::runAction(services, m_platform.appFolder, files, [&] {
                      outcome = action(services, files);
                  }).value_or(outcome);
    });
    writeInstallationStatus(m_platform.statusFolder, m_platform.appFolder, name, outcome, *m_platform.log);
    m_actionRunning = false;
    if (m_closeRequested) {
        m_closeRequested = false;
        close();
    }
}

void Updater::cmdCheckUpdate_Click()
{
    runAction(QStringLiteral("update-app"), [this](Services &services, InstallFiles &files) {
        AppUpdate update(services, m_platform.web, m_platform.clock, m_platform.endpoints, m_platform.appFolder,
                         *m_processes, files, m_platform.keys);
        m_onClose = [&update] { update.closeRequested(); };
        const auto forget = qScopeGuard([this] { m_onClose = nullptr; });
        return update.run();
    });
}

void Updater::cmdReports_Click()
{
    runAction(QStringLiteral("list-reports"), [this](Services &services, InstallFiles &) {
        return ReportActions(services, m_platform.web, m_platform.endpoints, m_platform.appFolder, *m_reports)
            .cmdReports_Click();
    });
}

void Updater::cmdDownloadRpt_Click()
{
    runAction(QStringLiteral("update-reports"), [this](Services &services, InstallFiles &) {
        return ReportActions(services, m_platform.web, m_platform.endpoints, m_platform.appFolder, *m_reports)
            .cmdDownloadRpt_Click();
    });
}

void Updater::chkAll_Click()
{
    ReportActions(*this, m_platform.web, m_platform.endpoints, m_platform.appFolder, *m_reports).chkAll_Click();
}

void Updater::cmdDownloadSP_Click()
{
    runAction(QStringLiteral("update-sp"), [this](Services &services, InstallFiles &) {
        SpUpdate update(services, m_platform.web, m_platform.endpoints, m_platform.appFolder, m_databases, m_serverName,
                        m_platform.keys);
        m_onClose = [&update] { update.closeRequested(); };
        const auto forget = qScopeGuard([this] { m_onClose = nullptr; });
        return update.run();
    });
}
