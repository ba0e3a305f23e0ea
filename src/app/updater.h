#pragma once

#include "app/platform.h"
#include "common/services.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QWidget>

#include <functional>

class QCheckBox;
class QGroupBox;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeView;
class InstallFiles;
class LoggingProcesses;
class ReportList;

// A label that reports clicks (a plain QLabel passes them to its parent).
class ClickLabel : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// The one window, "Check Updates". Its buttons start the actions; it offers
// them the window services.
class Updater : public QWidget, public Services
{
    Q_OBJECT
public:
    // Positions and sizes are kept in twips, 15 to a logical pixel.
    static constexpr int kTwipsPerPixel = 15;
    static constexpr int px(int twips) { return twips / kTwipsPerPixel; }

    explicit Updater(Platform platform, QWidget *parent = nullptr);
    ~Updater() override;

    // The load step: centre on the screen, clear both information labels,
    // hide the report panel. Runs once from the constructor.
    void load();
    // Centres a window that is neither minimised nor maximised.
    void centre();

    // Services
    void setStatus(const QString &text) override;
    void processPendingEvents() override;
    void setBusyCursor(bool busy) override;
    Answer showMessage(const QString &prompt, MessageStyle style, const QString &title = QString()) override;
    void showReportPanel(bool shown) override;
    void setProgressRange(int minimum, int maximum) override;
    void setProgressValue(int value) override;
    void setServerList(const QStringList &items) override;
    void setReportColumn(const QString &caption, int widthTwips) override;
    bool selectAllChecked() const override;
    void setSelectAllChecked(bool checked) override;

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void build();
    // The window's own controls, then the report panel's, in their tab
    // order; the buttons' and labels' signals to their handlers.
    void buildMainControls();
    void buildReportFrame();
    void connectControls();
    // The default cursor back, however often the hourglass was set.
    void restoreCursor();
    // Runs one action to its end. A click on an action button while another
    // runs (queued clicks are handled when the action processes pending
    // events) is ignored: two updates interleaved could delete the
    // executable or run a script twice. A close asked for meanwhile
    // happens when the action has ended; the action hears of it first
    // through m_onClose when it has set one. The action gets the window
    // services and the swap's file steps, both writing to the update log.
    // Runs the action named `name` (in the status file) in the installation.
    void runAction(const QString &name, const std::function<Outcome(Services &, InstallFiles &)> &action);

    void cmdCheckUpdate_Click();
    void cmdReports_Click();
    void cmdDownloadRpt_Click();
    void chkAll_Click();
    void cmdDownloadSP_Click();

    Platform m_platform;
    std::unique_ptr<LoggingProcesses> m_processes;
    DatabaseFactory m_databases;
    bool m_busy = false;
    bool m_actionRunning = false;
    // Pending events are processed at most this often.
    static constexpr qint64 kEventsIntervalMs = 15;
    QElapsedTimer m_sinceEvents;
    bool m_closeRequested = false;
    std::function<void()> m_onClose;
    int m_progressMinimum = 0;
    int m_progressMaximum = 100;
    QString m_serverName;

    ReportList *m_reports = nullptr;
    QPushButton *m_cmdCheckUpdate = nullptr;
    ClickLabel *m_lblStatus = nullptr;
    QProgressBar *m_progressBar = nullptr;
    ClickLabel *m_label1 = nullptr;
    ClickLabel *m_lblFileDetails = nullptr;
    QPushButton *m_cmdDownloadSP = nullptr;
    QListWidget *m_list1 = nullptr;
    QPushButton *m_cmdReports = nullptr;
    QGroupBox *m_frameRpt = nullptr;
    QPushButton *m_cmdDownloadRpt = nullptr;
    QTreeView *m_lvFiles = nullptr;
    QCheckBox *m_chkAll = nullptr;
};
