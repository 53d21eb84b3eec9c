// SPDX-License-Identifier: GPL-3.0-or-later
// The pending files, as the file list shows them: entries relative to the
// read-from folder, in listing order, never sorted.
#pragma once

#include <QAbstractListModel>
#include <QStringList>

class FileListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    /// What a list view shows of entry index.row() of entries, for this model and any that mirrors it.
    static QVariant entryData(const QStringList& entries, const QModelIndex& index, int role);

    const QStringList& entries() const { return m_entries; }
    int count() const { return int(m_entries.size()); }
    QString at(int i) const { return m_entries.value(i); }
    void setEntries(QStringList entries);
    void clear();
    void removeAt(int row);
    void insertAt(int row, const QString& entry);
    /// Removes the first entry equal to entry, wherever it stands; false if none.
    bool removeEntry(const QString& entry);

private:
    QStringList m_entries;
};
