#include "reports/reportlist.h"

ReportList::ReportList(QObject *parent) : QAbstractListModel(parent), m_selection(this)
{
}

int ReportList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant ReportList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    if (role == Qt::DisplayRole)
        return m_names.at(index.row());
    if (role == Qt::CheckStateRole)
        return m_checked.at(index.row()) ? Qt::Checked : Qt::Unchecked;
    return {};
}

bool ReportList::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.row() >= count() || role != Qt::CheckStateRole)
        return false;
    setChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags ReportList::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

QVariant ReportList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_caption;
    return {};
}

void ReportList::setCaption(const QString &caption)
{
    m_caption = caption;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void ReportList::setEntries(const QList<Catalogue::Entry> &entries)
{
    beginResetModel();
    m_names = Catalogue::shownNames(entries);
    m_checked = QVector<bool>(entries.size(), false);
    endResetModel();
}

void ReportList::setNames(const QStringList &names)
{
    beginResetModel();
    m_names = names;
    m_checked = QVector<bool>(names.size(), false);
    endResetModel();
}

void ReportList::setChecked(int row, bool checked)
{
    if (m_checked.at(row) == checked)
        return;
    m_checked[row] = checked;
    const QModelIndex at = index(row);
    emit dataChanged(at, at, {Qt::CheckStateRole});
}

void ReportList::setAllChecked(bool checked)
{
    if (m_names.isEmpty())
        return;
    m_checked.fill(checked);
    emit dataChanged(index(0), index(count() - 1), {Qt::CheckStateRole});
    const QItemSelection all(index(0), index(count() - 1));
    m_selection.select(all, checked ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
}

bool ReportList::isSelected(int row) const
{
    return m_selection.isRowSelected(row, QModelIndex());
}
