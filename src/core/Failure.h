// SPDX-License-Identifier: GPL-3.0-or-later
// How the station's own steps fail. A step that can fail returns an Outcome, and
// its caller decides where the words go (the status box, a message box, the
// diagnostic window); a window handler that can only show what went wrong gets a
// Failure thrown, whose text is the description shown in a message box or in a
// status-box error block.
#pragma once

#include <QString>
#include <stdexcept>

/// What a step came to: done, or what failed, the system's errno where the system
/// refused, and the operator's words for it.
struct Outcome
{
    QString what;  ///< the file, folder or option that failed; empty when done
    int error = 0; ///< errno of the refusal; 0 when it was not the system's
    QString text;  ///< the operator's words for the failure, whole; empty when done

    bool ok() const { return text.isEmpty(); }
    /// A failure; one without words of its own says the system's (or "Unknown error").
    static Outcome failed(QString what, QString text, int error = 0);
};

class Failure : public std::runtime_error
{
public:
    explicit Failure(const QString& description)
        : std::runtime_error(description.toStdString()), m_description(description)
    {
    }
    /// Thrown where a handler shows what went wrong: the outcome's words.
    explicit Failure(const Outcome& outcome) : Failure(outcome.text) {}

    const QString& description() const noexcept { return m_description; }

private:
    QString m_description;
};

/// The description of whatever was thrown, for the places that report any failure.
QString describeCurrentException();

/// The system's own words for an errno value.
QString systemErrorText(int error);
