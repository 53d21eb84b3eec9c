// SPDX-License-Identifier: GPL-3.0-or-later
// The "Diagnostic Results" window: a plain editable text box that collects
// log lines, shown only in test mode.
#pragma once

#include <QWidget>

class QPlainTextEdit;

class frmDiag : public QWidget
{
    Q_OBJECT
public:
    explicit frmDiag(QWidget* parent = nullptr);

    /// Adds CR LF and then text at the end of the box, whether or not the window is shown.
    void Log(const QString& text);

    /// The whole text of the box, with line breaks as CR LF.
    QString text() const;

    QPlainTextEdit* Text1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    /// Removes whole lines from the top until at least atLeast characters are gone.
    void trimOldest(qsizetype atLeast);
    /// Puts text (lines, each preceded by CR LF) at the end of the box.
    void insertAtEnd(const QString& text);
    /// Moves the lines collected while the window was hidden into the box.
    void flushPending();
    void showEvent(QShowEvent* event) override;

    // While nobody sees the window, lines are collected here and go into the box
    // in batches: laying out every line of a hidden box costs more than the upload.
    QString m_pending;

    /// The most characters the box holds before its oldest lines make room.
    static qsizetype s_capacity;
    friend class tst_frmDiag;
};
