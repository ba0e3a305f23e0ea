#pragma once

#include "app/platform.h"
#include "common/services.h"

#include <QLabel>
#include <QWidget>

class QCheckBox;
class QGroupBox;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeView;
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

    ReportList &reportList() { return *m_reports; }
    QString serverName() const { return m_serverName; }

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void build();
    void hidePanelTrap();

    void cmdCheckUpdate_Click();
    void cmdReports_Click();
    void cmdDownloadRpt_Click();
    void chkAll_Click();
    void cmdDownloadSP_Click();

    Platform m_platform;
    bool m_busy = false;
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
