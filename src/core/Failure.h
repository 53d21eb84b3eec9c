// A failure that a caller reports to the operator: its text is the description
// shown in a message box or in a status-box error block.
#pragma once

#include <QString>
#include <stdexcept>

class Failure : public std::runtime_error
{
public:
    explicit Failure(const QString& description)
        : std::runtime_error(description.toStdString()), m_description(description)
    {
    }

    const QString& description() const noexcept { return m_description; }

private:
    QString m_description;
};

/// The description of whatever was thrown, for the places that report any failure.
QString describeCurrentException();

/// The system's own words for an errno value.
QString systemErrorText(int error);
