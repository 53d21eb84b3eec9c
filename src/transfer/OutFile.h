// SPDX-License-Identifier: GPL-3.0-or-later
// out.txt: a copy of the last request body, for looking at what was sent. It is
// document content, so it lives in the private data folder, and it is only ever
// a regular file of the user's: anyone who could put a FIFO or a device there
// must not hold the window in open() or receive the documents.
#pragma once

#include "Failure.h"
#include "UniqueHandle.h"

#include <QByteArray>
#include <QString>

class OutFile
{
public:
    explicit OutFile(QString path = defaultPath());
    static QString defaultPath();
    const QString& path() const { return m_path; }

    /// Rewrites the copy: the body and CR LF.
    Outcome write(const QByteArray& body);
    /// The copy of a body written as the body goes out: its head, the
    /// document's pieces as they are sent, then its tail and CR LF.
    Outcome begin(QByteArrayView head);
    /// A piece of the document: copied within the file system from fromFd at
    /// offset at where it can, else written from bytes, which hold the same.
    Outcome copy(int fromFd, qint64 at, QByteArrayView bytes);
    Outcome end(QByteArrayView tail);
    /// Lets the file go between passes: deleted by the operator, its blocks are
    /// freed at once.
    void release() { m_fd.reset(); }

private:
    Outcome open();
    /// "Cannot write out.txt: reason", the file let go.
    Outcome cannotWrite(int error, const QString& reason);

    QString m_path;
    UniqueFd m_fd;
    qint64 m_size = 0;    ///< of the file held, when last looked at
    qint64 m_written = 0; ///< of the copy being written
    bool m_copies = true; ///< copy_file_range works between the two files
};
