// SPDX-License-Identifier: GPL-3.0-or-later
#include "ShownFileList.h"

#include "FileListModel.h"

#include <algorithm>

ShownFileList::ShownFileList(const FileListModel* source, QObject* parent)
    : QAbstractListModel(parent), m_source(source), m_shown(source->entries())
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(50);
    connect(&m_quiet, &QTimer::timeout, this, [this] {
        if (m_behind) {
            show();
            m_quiet.start();
        }
    });
    // The window's parts go in an order of their own; nothing is read of a list that is gone.
    connect(source, &QObject::destroyed, this, [this] {
        m_source = nullptr;
        m_quiet.stop();
    });
    connect(source, &QAbstractItemModel::modelReset, this, &ShownFileList::changed);
    connect(source, &QAbstractItemModel::rowsRemoved, this, &ShownFileList::changed);
    connect(source, &QAbstractItemModel::rowsInserted, this, &ShownFileList::changed);
}

int ShownFileList::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_shown.size());
}

QVariant ShownFileList::data(const QModelIndex& index, int role) const
{
    return FileListModel::entryData(m_shown, index, role);
}

void ShownFileList::changed()
{
    if (m_quiet.isActive()) {
        m_behind = true;
        return;
    }
    show();
    m_quiet.start();
}

void ShownFileList::show()
{
    m_behind = false;
    if (!m_source)
        return;
    const QStringList& now = m_source->entries();
    const qsizetype gone = m_shown.size() - now.size();
    // Files sent since the last time are gone from the top: one removal, which
    // keeps what the operator scrolled to and selected.
    if (gone > 0 && std::equal(now.cbegin(), now.cend(), m_shown.cbegin() + gone)) {
        beginRemoveRows({}, 0, int(gone - 1));
        m_shown.remove(0, gone);
        endRemoveRows();
        return;
    }
    if (gone == 0 && now == m_shown)
        return;
    beginResetModel();
    m_shown = now;
    endResetModel();
}
