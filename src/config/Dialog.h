// SPDX-License-Identifier: GPL-3.0-or-later
// The setup dialog "Enter environment variables": edits five of the six settings
// and switches test mode. One instance at a time, opened modal from Setup or
// modeless on first run.
#pragma once

#include <QDialog>

class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

class Dialog : public QDialog
{
    Q_OBJECT
public:
    /// The flag that "Toggle Test Mode On/Off" flips (the main window's testMode).
    static void setTestModeFlag(bool* flag);
    /// The dialog that is open or opening, if any.
    static Dialog* current();
    /// Opens the dialog modally and returns when it has closed; when one is
    /// already open it is raised instead and this returns at once.
    static void showModal();
    /// Opens the dialog without waiting; when one is open or opening it is only raised.
    static void showModeless();
    /// Makes the settings module open this dialog (modeless) when it finds no file.
    static void install();

    QLabel* Label1[2] = {};
    QLineEdit* uploadTo = nullptr;
    QLineEdit* readFrom = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* ProxyAddress = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* UserName = nullptr;
    QLineEdit* Password = nullptr;
    QLabel* lblHelp = nullptr;
    QPushButton* cmdTest = nullptr;
    QPushButton* OKButton = nullptr;
    QPushButton* CancelButton = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    Dialog();
    ~Dialog() override;

    /// Opening: the help text, the settings read afresh, the five boxes filled.
    void Form_Load();
    void OKButton_Click();
    void cmdTest_Click();
};
