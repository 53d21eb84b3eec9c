// SPDX-License-Identifier: GPL-3.0-or-later
// The scanner control over SANE: open the chosen device, take the options of a
// batch, scan every page into TIFF files named from a template, close.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "PageJudge.h"

#include <optional>

#include "ScanChoices.h"

#include <QList>

#include <memory>

class SaneSession;

struct ScannerDevice
{
    QString name; ///< SANE's device name, e.g. "test:0"
    QString vendor;
    QString model;
    /// "vendor model (name)", as the list shows it.
    QString label() const;
};

class ImgScan : public QObject
{
    Q_OBJECT
public:
    explicit ImgScan(QObject* parent = nullptr);
    ~ImgScan() override;

    /// Opens the scanner chosen with choose (or the first device SANE
    /// lists when none was chosen). Throws Failure with SANE's text on failure.
    void OpenScanner();
    /// The batch options; with 4, the template, True, 1 and 1 they mean: scan every
    /// page the feeder holds as TIFF files named from the template. Other values
    /// throw Failure.
    void SetScanTo(qint32 value);
    void SetImage(const QString& fileTemplate);
    void SetMultiPage(bool value);
    void SetPageOption(qint16 value);
    void SetFileType(qint32 value);
    /// Scans the batch on a worker thread and returns when it has ended; PageDone
    /// and ScanDone arrive on the UI thread meanwhile. Throws Failure with SANE's
    /// text when the scanner fails (pages already written stay).
    void StartScan();
    void CloseScanner();
    /// What the choice of a scanner starts from: SANE's devices, the one chosen
    /// before and its scan choices. SANE stays up while the offer is held, so
    /// that readDeviceOffer can open the devices listed. Throws Failure during
    /// a scan, or when SANE cannot list devices.
    struct ChoiceOffer
    {
        std::shared_ptr<SaneSession> session;
        QList<ScannerDevice> devices;
        QString stored;
        ScanChoices choices;
    };
    ChoiceOffer choiceOffer();
    /// What a listed device offers for the scan choices: it is opened only long
    /// enough to read its options (seconds, for some: call it off the window's thread).
    static DeviceOffer readDeviceOffer(const QString& name);
    /// Remembers the scanner chosen for the user.
    void choose(const ScannerDevice& device);
    /// Remembers the scan choices for the user; throws Failure when they cannot be saved.
    static void storeChoices(const ScanChoices& choices);

    bool isScanning() const { return m_scanning; }
    /// A batch stopped by a quit did not end in time: its thread may still be
    /// in the scanner's backend, so SANE must not be ended beneath it and the
    /// process ends without tearing its libraries down.
    static bool batchLeftRunning();
    /// The full paths of the pages of the current (or last) batch, complete and
    /// under their final names, as PageDone has reported them.
    QStringList pagesWritten() const;
    /// Has the pages of the next batches judged as they are written (blank,
    /// and their barcodes and QR codes when readCodes).
    void setPageJudging(bool judge, bool readCodes);
    /// The judgement of a page of the current (or last) batch, once PageDone
    /// has reported it; none when pages are not judged.
    std::optional<PageJudge::Verdict> verdict(int pageNumber) const;
    /// The scanner's status (a SANE_Status) behind the last failure of
    /// OpenScanner or StartScan, -1 when that failure was not the scanner's.
    int lastFault() const;

    /// The SANE name of the open scanner, empty when none is open.
    QString deviceName() const;
    /// The scanner chosen in the selection dialog, remembered for the user
    /// (empty when none was chosen).
    static QString storedDevice();
    /// After OpenScanner: where the chosen scanner was found when it had moved
    /// to another name (another port), in the operator's words; empty otherwise.
    QString foundAgain() const;
    /// After OpenScanner: a line for every scan choice stored for the scanner
    /// that it no longer offers, saying what is used instead.
    QStringList choiceNotes() const;

    // Seams for tests and diagnosis: the adapter picks the feeder and 300 dpi
    // itself; these override any option by its SANE name ("source", "mode",
    // "depth", "br-x", "read-return-value" ...).

    /// Sets an option of the open scanner now. Throws Failure.
    void setDeviceOption(const QString& name, const QString& value);
    /// Sets an option between two pages of the next batch, once the page
    /// numbered afterPage has been written.
    void setDeviceOptionAfterPage(int afterPage, const QString& name, const QString& value);

signals:
    /// One page has been written completely under its final name (flushed to
    /// disk); pageNumber counts the pages of the batch from 1.
    void PageDone(int pageNumber);
    /// The batch has ended normally (the feeder is empty, or the flatbed's page
    /// is done), also when it gave no page; not sent when StartScan throws.
    void ScanDone();

private:
    void closeDevice();
    /// "vendor model" of the chosen scanner, as stored.
    static QString storedModel();
    /// The one present scanner of the chosen one's kind, when the chosen name is
    /// gone; throws Failure when several are present.
    static std::optional<QString> movedDevice(const QString& storedName);
    static void storeChoice(const ScannerDevice& device);

    bool m_scanning = false;
    struct Private;
    Private* d = nullptr;
};
