// SPDX-License-Identifier: GPL-3.0-or-later
#include "AnswerLedger.h"

#include "PassTexts.h"

#include <QStringList>

#include <algorithm>

void AnswerLedger::answered(const QString& entry, bool filed)
{
    m_last.push_back({entry, filed});
    if (m_last.size() > MaxNamed)
        m_last.pop_front();
}

AnswerLedger::InDoubt AnswerLedger::takeInDoubt(int count)
{
    InDoubt doubt;
    const auto named = std::min<std::size_t>(std::size_t(std::max(count, 0)), m_last.size());
    for (auto a = m_last.end() - std::ptrdiff_t(named); a != m_last.end(); ++a)
        (a->filed ? doubt.deleted : doubt.kept) << a->entry;
    m_last.clear();
    doubt.unnamed = count - int(named);
    return doubt;
}

QString AnswerLedger::inDoubt(int count)
{
    const InDoubt doubt = takeInDoubt(count);
    return PassTexts::answersInDoubt(count, doubt.deleted, doubt.kept, doubt.unnamed);
}
