// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileListModel.h"

int FileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant FileListModel::entryData(const QStringList& entries, const QModelIndex& index, int role)
{
    if (!index.isValid() || index.row() >= entries.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return entries[index.row()];
    return {};
}

QVariant FileListModel::data(const QModelIndex& index, int role) const
{
    return entryData(m_entries, index, role);
}

void FileListModel::setEntries(QStringList entries)
{
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
}

void FileListModel::clear()
{
    setEntries({});
}

void FileListModel::removeAt(int row)
{
    if (row < 0 || row >= m_entries.size())
        return;
    beginRemoveRows({}, row, row);
    m_entries.removeAt(row);
    endRemoveRows();
}

void FileListModel::insertAt(int row, const QString& entry)
{
    row = qBound(0, row, int(m_entries.size()));
    beginInsertRows({}, row, row);
    m_entries.insert(row, entry);
    endInsertRows();
}

bool FileListModel::removeEntry(const QString& entry)
{
    // The entry in transfer is nearly always the first one.
    const int row = (!m_entries.isEmpty() && m_entries.first() == entry) ? 0 : int(m_entries.indexOf(entry));
    if (row < 0)
        return false;
    removeAt(row);
    return true;
}
