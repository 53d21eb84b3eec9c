// The six settings of the program and their file, "settings.txt" beside the executable.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace Settings {

extern QString appTitle;
extern QString uploadToUrl;
extern QString readFromPath;
extern QString proxyAddress;
extern QString proxyUserName;
extern QString proxyPassword;

/// Fills the six values from the settings file. When the file cannot be opened,
/// sets the defaults of the first three and asks for the setup dialog, without
/// waiting for it. Never reports an error.
void LoadSettings();

/// Writes the six values to the settings file (mode 0600). Throws Failure with
/// the reason when the file cannot be written; the old file is then left as it was.
void SaveSettings();

/// The folder that holds the program (and so settings.txt and the converter).
QString programFolder();
/// Tests and the packaged launcher point the program at another folder.
void setProgramFolder(const QString& folder);
QString settingsFilePath();

/// What LoadSettings calls to show the setup dialog without waiting.
void setShowDialogRequest(std::function<void()> request);

QString defaultReadFromPath();
QString defaultUploadToUrl();
inline const QString defaultAppTitle = QStringLiteral("Quorvane");

/// Splits the file's bytes into lines: a line ends at CR LF or at a lone CR;
/// a lone LF stays in the text. A final line without terminator counts.
QStringList splitLines(const QByteArray& content);
/// The file's bytes for the six values, each line ended by CR LF.
QByteArray formatFile(const QStringList& values);

} // namespace Settings
