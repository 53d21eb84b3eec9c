// SPDX-License-Identifier: GPL-3.0-or-later
// The acquisition of one batch, on a thread of its own: sane_start, the
// sane_read loop and the TIFF pages, until the feeder is empty (or after one
// page from a flatbed). The UI thread waits for it in ImgScan::StartScan.
#pragma once

#include <QAtomicInteger>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <sane/sane.h>

struct DeferredOption
{
    int afterPage = 0;
    QString name;
    QString value;
};

struct ScanBatch
{
    SANE_Handle handle = nullptr;
    QString folder;
    QString prefix;
    /// Page after page until the feeder reports that it is empty.
    bool feeder = false;
    double xDpi = 300;
    double yDpi = 300;
    /// Options set between pages, once the page numbered afterPage is written.
    QList<DeferredOption> deferred;
    /// Each page is judged (blank, and its codes when readCodes) once written,
    /// here rather than on the UI thread, which reading a page would hold up.
    bool judgePages = false;
    bool readCodes = false;
};

class ScanWorker : public QThread
{
    Q_OBJECT
public:
    explicit ScanWorker(const ScanBatch& batch, QObject* parent = nullptr);
    ~ScanWorker() override;

    /// Asks the batch to stop (from the UI thread): the worker cancels it after
    /// the read in progress, and the page being read is dropped.
    void abort();

    /// After the thread has ended: the failure's text, empty after a normal end.
    QString failure() const { return m_failure; }
    /// The scanner's status that ended the batch (a SANE_Status), or -1 when
    /// the failure was not the scanner's (a page file, a stop).
    int faultStatus() const { return m_faultStatus; }

signals:
    /// A page is complete under its final name; pageNumber counts the batch's pages from 1.
    void pageWritten(int pageNumber, int fileNumber, const QString& path);
    /// The judgement of a page, sent just before its pageWritten.
    void pageJudged(int pageNumber, bool blank, const QStringList& codes, const QString& error);

protected:
    void run() override;

private:
    enum class PageResult { Written, FeederEmpty, Failed };
    PageResult scanPage(int pageNumber, int& nextFileNumber);

    ScanBatch m_batch;
    QString m_failure;
    int m_faultStatus = -1;
    int m_pages = 0;
    QAtomicInteger<int> m_abort = 0;
};
