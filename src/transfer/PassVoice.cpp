// SPDX-License-Identifier: GPL-3.0-or-later
#include "PassVoice.h"

#include "TransferView.h"

void PassVoice::say(const QString& message)
{
    // The window reports this write as another's (boxWritten) before it is
    // marked as the pass's own.
    m_view.addStatus(message);
    m_newest = message;
    m_newestIsOurs = true;
}

void PassVoice::sayOnce(const QString& message)
{
    if (!m_saidOnce.contains(message)) {
        m_saidOnce.insert(message);
        say(message);
    }
}

void PassVoice::sayError(const QString& description, const QString& subject)
{
    m_view.addErrorBlock(description, subject);
    m_newestIsOurs = false;
}

void PassVoice::appendLineBreak()
{
    m_view.appendStatusLineBreak();
    m_newestIsOurs = false;
}

void PassVoice::boxEmptied()
{
    m_saidOnce.clear();
    m_newestIsOurs = false;
}
