#pragma once

#include "reports/catalogue.h"

#include <QAbstractListModel>
#include <QItemSelectionModel>
#include <QStringList>
#include <QVector>

// The rows of the report list: one published report per row, each with a
// check mark, plus which rows are selected (highlighted). A row shows the
// report's name as the catalogue's text rules leave it and keeps the name
// as published beside it. The window shows it; the report actions fill and
// read it.
class ReportList : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit ReportList(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setCaption(const QString &caption);
    QString caption() const { return m_caption; }

    // Replaces every row at once (one reset, no per-row relayout).
    void setEntries(const QList<Catalogue::Entry> &entries);
    // The same for names that are shown as they are.
    void setNames(const QStringList &names);

    int count() const { return int(m_names.size()); }
    // The row's text.
    QString name(int row) const { return m_names.at(row); }
    QStringList names() const { return m_names; }
    bool isChecked(int row) const { return m_checked.at(row); }
    void setChecked(int row, bool checked);
    // Checks (and selects) or unchecks (and deselects) every row.
    void setAllChecked(bool checked);

    bool isSelected(int row) const;
    QItemSelectionModel *selectionModel() { return &m_selection; }

private:
    QStringList m_names;
    QVector<bool> m_checked;
    QString m_caption;
    QItemSelectionModel m_selection;
};
