// SPDX-License-Identifier: GPL-3.0-or-later
// The last documents the page answered, newest last, with whether it said
// "OK": named when the page turns out to have shifted its answers on a kept
// connection, so that the operator can check exactly those at the page.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>

class AnswerLedger
{
public:
    static constexpr std::size_t MaxNamed = 20;

    void answered(const QString& entry, bool filed);

    struct InDoubt
    {
        QStringList deleted; ///< it said "OK" for these, and they are gone
        QStringList kept;
        int unnamed = 0; ///< answered before those still remembered
    };
    /// The last count answers by what became of their documents, oldest first;
    /// they are forgotten, as with inDoubt.
    InDoubt takeInDoubt(int count);
    /// The status line naming the last count answers as in doubt; they are
    /// forgotten, since the answers after them belong to a new connection.
    QString inDoubt(int count);

private:
    struct Answered
    {
        QString entry;
        bool filed = false;
    };
    std::deque<Answered> m_last;
};
