// SPDX-License-Identifier: GPL-3.0-or-later
// What the file list shows: the pass's list of pending files, brought up to date
// at most every 50 ms. A pass takes a file off the list for every file it sends,
// and the list view lays out all its rows again after each change: a pass of
// 10,000 files spent two fifths of its time on that. The first change after a
// quiet spell shows at once.
#pragma once

#include <QAbstractListModel>
#include <QStringList>
#include <QTimer>

class FileListModel;

class ShownFileList : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit ShownFileList(const FileListModel* source, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    void changed();
    void show();

    const FileListModel* m_source;
    QStringList m_shown;
    QTimer m_quiet;
    bool m_behind = false;
};
