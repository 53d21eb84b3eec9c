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

QString AnswerLedger::inDoubt(int count)
{
    QStringList deleted;
    QStringList kept;
    const auto named = std::min<std::size_t>(std::size_t(std::max(count, 0)), m_last.size());
    for (auto a = m_last.end() - std::ptrdiff_t(named); a != m_last.end(); ++a)
        (a->filed ? deleted : kept) << a->entry;
    m_last.clear();
    return PassTexts::answersInDoubt(count, deleted, kept, count - int(named));
}
