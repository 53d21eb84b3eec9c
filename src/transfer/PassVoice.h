// SPDX-License-Identifier: GPL-3.0-or-later
// What a pass says in the status box, and what it remembers of that: the
// messages said once since the box was last emptied, and whether its own last
// message still stands on top. The window tells it when the box is emptied or
// written by something else; it never asks the window what the box holds.
#pragma once

#include <QSet>
#include <QString>

class TransferView;

class PassVoice
{
public:
    explicit PassVoice(TransferView& view) : m_view(view) {}

    /// A message on top of the status box.
    void say(const QString& message);
    /// The same, unless it was said since the box was last emptied: a file that
    /// stays as it is is named once, not at every pass.
    void sayOnce(const QString& message);
    /// The four lines of a failed step.
    void sayError(const QString& description, const QString& subject);
    /// Ends the newest message with one more line break.
    void appendLineBreak();
    /// The pass's last message is this one, and nothing has been put above it.
    bool isNewest(const QString& message) const { return m_newestIsOurs && m_newest == message; }

    /// The box was emptied: what is said once is said again when it applies.
    void boxEmptied();
    /// Something else put a message on top of the box.
    void boxWritten() { m_newestIsOurs = false; }

private:
    TransferView& m_view;
    QSet<QString> m_saidOnce;
    QString m_newest;
    bool m_newestIsOurs = false;
};
