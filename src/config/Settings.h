// SPDX-License-Identifier: GPL-3.0-or-later
// The six settings of the program and their file, "settings.txt" beside the executable.
#pragma once

#include <QByteArray>
#include <QIODevice>
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

/// Fills the six values from the settings file (finishing a save that was cut
/// short first). When the file cannot be opened,
/// sets the defaults of the first three and asks for the setup dialog, without
/// waiting for it. Never reports an error.
void LoadSettings();

/// Writes the six values to the settings file (mode 0600): a new file renamed
/// over it, or, where its folder allows no new file, the file rewritten in place
/// after a synced copy of the new text in the user's data folder, which the next
/// LoadSettings puts in place should the rewrite have been cut. Where the
/// program's folder holds no settings.txt this account may write, or the
/// account's own file exists, they go to the account's own file. Throws Failure
/// with the reason when the file cannot be written.
void SaveSettings();
/// A value the settings file can hold: a line break would end its line early
/// and shift every later value into the wrong place, and a NUL is no part of
/// any address, name or path.
bool fitsOnOneLine(const QString& value);
/// Where a save that must rewrite the settings file at path in place keeps the
/// new text until the rewrite is done; a load that finds it finishes the save.
QString savedCopyPath(const QString& path);

/// The folder that holds the program (and so settings.txt and the converter).
QString programFolder();
/// Tests and the packaged launcher point the program at another folder.
void setProgramFolder(const QString& folder);
QString settingsFilePath();
/// The account's own settings.txt (in its configuration folder), which Setup
/// writes where the program's folder holds no settings.txt it may write.
QString userSettingsFilePath();
/// The file LoadSettings reads: the account's own when it exists, the one
/// beside the program otherwise (an administrator's pre-seed for every account).
QString readSettingsFilePath();
/// Once, after the save that began the account's own file: where the settings
/// went and why, for the status box; empty otherwise.
QString takeSaveNotice();

/// What LoadSettings calls to show the setup dialog without waiting.
void setShowDialogRequest(std::function<void()> request);

QString defaultReadFromPath();
QString defaultUploadToUrl();
inline const QString defaultAppTitle = QStringLiteral("Quorvane");

/// No value needs more; the rest of a longer line is dropped unread into memory.
inline constexpr qsizetype MaxLineBytes = 64 * 1024;
/// Reads up to maxLines lines: a line ends at CR LF, a lone CR or a lone LF (as
/// a file written by hand on this system has). A final line without terminator
/// counts. Reads no more than maxLines lines of MaxLineBytes and their CR LF
/// take; what lies past that is as if the file ended there. Sets cut when a
/// line was longer than MaxLineBytes, or the file went on past that.
QStringList readLines(QIODevice& device, int maxLines, bool* cut);
/// The file's bytes for the six values, each line ended by CR LF.
QByteArray formatFile(const QStringList& values);

} // namespace Settings
