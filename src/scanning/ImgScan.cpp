// SPDX-License-Identifier: GPL-3.0-or-later
#include "ImgScan.h"

#include "Failure.h"
#include "SaneOptions.h"
#include "SaneSession.h"
#include "ScanChoices.h"
#include "ScanLogging.h"
#include "ScanWorker.h"
#include "UserStore.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QScopeGuard>

#include <memory>
#include <optional>

namespace {

const QString kStoreGroupKey = QStringLiteral("Scanner/device");
// What the chosen scanner is, beside where SANE found it: a USB scanner's name
// holds its bus address, which changes with the port and after a restart.
const QString kStoreVendorKey = QStringLiteral("Scanner/vendor");
const QString kStoreModelKey = QStringLiteral("Scanner/model");
// The values of the batch options that mean "every page the feeder holds, as
// TIFF files named from the template"; no other behaviour is offered.
constexpr qint32 kScanToFiles = 4;
constexpr qint16 kPageOptionNumbered = 1;
constexpr qint32 kFileTypeTiff = 1;
constexpr double kResolution = 300;
// How long a quit waits for a stopped batch to end: a read in progress, the
// cancel, the page dropped.
constexpr int kQuitWaitMs = 2000;
bool s_batchLeftRunning = false;

enum class Reach { Local, Network };

/// Scanners attached to this computer, or those on the network too. Network
/// backends (sane-airscan for eSCL and WSD devices) list only when asked for
/// network devices, and looking for them waits on the network: only the
/// operator's Select Scanner asks for them.
QList<ScannerDevice> listDevices(Reach reach = Reach::Local)
{
    const SANE_Device** list = nullptr;
    const SANE_Status status = sane_get_devices(&list, reach == Reach::Local ? SANE_TRUE : SANE_FALSE);
    if (status != SANE_STATUS_GOOD)
        throw Failure(QStringLiteral("The list of scanners could not be read: %1").arg(saneText(status)));
    QList<ScannerDevice> devices;
    for (const SANE_Device** d = list; d && *d; ++d) {
        devices.append({QString::fromLocal8Bit((*d)->name), QString::fromLocal8Bit((*d)->vendor),
                        QString::fromLocal8Bit((*d)->model)});
    }
    return devices;
}

/// For the selection dialog, on its reading thread: the device opened only
/// long enough to read its options.
DeviceOffer readOffer(const QString& name)
{
    SANE_Handle handle = nullptr;
    const SANE_Status status = sane_open(name.toLocal8Bit().constData(), &handle);
    if (status != SANE_STATUS_GOOD || !handle) {
        DeviceOffer offer;
        offer.failure = QStringLiteral("Scanner %1 could not be opened to read its settings: %2")
                            .arg(name, saneText(status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : status));
        return offer;
    }
    DeviceOffer offer = SaneOptions::readOffer(handle);
    sane_close(handle);
    return offer;
}

} // namespace

struct ImgScan::Private
{
    std::unique_ptr<SaneSession> session;
    SANE_Handle handle = nullptr;
    QString deviceName;

    std::optional<qint32> scanTo;
    QString fileTemplate;
    std::optional<bool> multiPage;
    std::optional<qint16> pageOption;
    std::optional<qint32> fileType;
    QList<DeferredOption> deferred;
    QStringList pagesWritten;
    bool judgePages = false;
    bool readCodes = false;
    QHash<int, PageJudge::Verdict> verdicts;
    int lastFault = -1;
    /// A batch whose worker did not end when the application quit.
    bool strayBatch = false;
    QString foundAgain;
    QStringList choiceNotes;
};

ImgScan::ImgScan(QObject* parent) : QObject(parent), d(new Private) {}

ImgScan::~ImgScan()
{
    closeDevice();
    delete d;
}

QString ImgScan::deviceName() const
{
    return d->deviceName;
}

QString ImgScan::storedDevice()
{
    return userStore().value(kStoreGroupKey).toString();
}

QString ImgScan::foundAgain() const
{
    return d->foundAgain;
}

QStringList ImgScan::choiceNotes() const
{
    return d->choiceNotes;
}

QString ImgScan::storedModel()
{
    const QSettings store = userStore();
    return (store.value(kStoreVendorKey).toString() + u' ' + store.value(kStoreModelKey).toString())
        .trimmed();
}

std::optional<QString> ImgScan::movedDevice(const QString& storedName)
{
    const QSettings store = userStore();
    const QString vendor = store.value(kStoreVendorKey).toString();
    const QString model = store.value(kStoreModelKey).toString();
    if (vendor.isEmpty() && model.isEmpty())
        return std::nullopt; // chosen before its kind was stored
    QStringList sameKind;
    for (const ScannerDevice& device : listDevices()) {
        if (device.name == storedName)
            return std::nullopt; // still there: the failure to open it is the answer
        if (device.vendor == vendor && device.model == model)
            sameKind << device.name;
    }
    if (sameKind.size() > 1)
        throw Failure(
            QStringLiteral("Scanner %1 (%2) was not found, and %3 scanners of that kind are present: %4. "
                           "Choose one with Select Scanner.")
                .arg(storedName, storedModel())
                .arg(sameKind.size())
                .arg(sameKind.join(QStringLiteral(", "))));
    if (sameKind.isEmpty())
        return std::nullopt;
    return sameKind.front();
}

void ImgScan::storeChoice(const ScannerDevice& device)
{
    QSettings store = userStore();
    store.setValue(kStoreGroupKey, device.name);
    store.setValue(kStoreVendorKey, device.vendor);
    store.setValue(kStoreModelKey, device.model);
    store.sync();
    if (store.status() != QSettings::NoError)
        throw Failure(QStringLiteral("The choice of scanner could not be saved."));
}

bool ImgScan::batchLeftRunning()
{
    return s_batchLeftRunning;
}

void ImgScan::closeDevice()
{
    if (d->strayBatch) {
        // Its worker may still be in the backend: the device and SANE stay as
        // they are until the process ends.
        (void)d->session.release();
    } else if (d->handle) {
        sane_close(d->handle);
        qCDebug(lcScan) << "closed" << d->deviceName;
    }
    d->handle = nullptr;
    d->deviceName.clear();
    d->deferred.clear();
    d->session.reset();
}

void ImgScan::OpenScanner()
{
    if (m_scanning)
        throw Failure(QStringLiteral("The scanner is busy with a scan."));
    // A run that failed left the scanner open; it is opened afresh.
    closeDevice();
    d->lastFault = -1;

    auto session = std::make_unique<SaneSession>();
    d->foundAgain.clear();
    QString name = storedDevice();
    if (name.isEmpty()) {
        const QList<ScannerDevice> devices = listDevices();
        if (devices.isEmpty())
            throw Failure(QStringLiteral("No scanner was found."));
        name = devices.first().name;
    }
    SANE_Handle handle = nullptr;
    SANE_Status status = sane_open(name.toLocal8Bit().constData(), &handle);
    if (status != SANE_STATUS_GOOD || !handle) {
        // The chosen scanner may have moved to another port. It is looked for by
        // what it is, and taken only when exactly one present scanner is of its
        // vendor and model: two of a kind are never swapped behind the operator's back.
        if (const std::optional<QString> moved = movedDevice(name)) {
            handle = nullptr;
            status = sane_open(moved->toLocal8Bit().constData(), &handle);
            if (status == SANE_STATUS_GOOD && handle) {
                d->foundAgain =
                    QStringLiteral("The scanner %1 was not found at %2; it is at %3 now and was opened "
                                   "there.")
                        .arg(storedModel(), name, *moved);
                storeChoice({*moved, userStore().value(kStoreVendorKey).toString(),
                             userStore().value(kStoreModelKey).toString()});
                name = *moved;
            }
        }
    }
    if (status != SANE_STATUS_GOOD || !handle) {
        d->lastFault = status == SANE_STATUS_GOOD ? SANE_STATUS_IO_ERROR : int(status);
        throw Failure(QStringLiteral("Scanner %1 could not be opened: %2").arg(name, saneText(status)));
    }
    d->session = std::move(session);
    d->handle = handle;
    d->deviceName = name;
    qCDebug(lcScan) << "opened" << name;

    d->choiceNotes.clear();
    QSettings store = userStore();
    const ScanChoices choices = ScanChoices::load(store);
    // The mode first: a device may offer other sources or resolutions in another mode.
    const ResolvedChoices byMode = resolveChoices(choices, SaneOptions::readOffer(handle), name);
    Outcome error;
    if (!byMode.mode.isEmpty())
        error = SaneOptions::setFromText(handle, QStringLiteral(SANE_NAME_SCAN_MODE), byMode.mode);
    const ResolvedChoices resolved = resolveChoices(choices, SaneOptions::readOffer(handle), name);
    QString source = resolved.source;
    if (error.ok()) {
        if (source.isEmpty())
            error = SaneOptions::selectFeeder(handle, &source);
        else
            error = SaneOptions::setFromText(handle, QStringLiteral(SANE_NAME_SCAN_SOURCE), source);
    }
    if (error.ok())
        error = SaneOptions::setResolutionNearest(handle, resolved.resolution > 0 ? resolved.resolution
                                                                                  : kResolution);
    for (const QString& note : {byMode.modeNote, resolved.sourceNote, resolved.resolutionNote}) {
        if (!note.isEmpty())
            d->choiceNotes << note;
    }
    if (!error.ok()) {
        closeDevice();
        throw Failure(QStringLiteral("Scanner %1: %2").arg(name, error.text));
    }
    qCDebug(lcScan)
        << "source" << (source.isEmpty() ? QStringLiteral("(no feeder)") : source) << "resolution"
        << SaneOptions::currentNumber(handle, QStringLiteral(SANE_NAME_SCAN_RESOLUTION)).value_or(0);
}

void ImgScan::SetScanTo(qint32 value)
{
    d->scanTo.reset();
    if (value != kScanToFiles)
        throw Failure(
            QStringLiteral("Scan-to value %1 is not supported; 4 writes the pages to files.").arg(value));
    d->scanTo = value;
}

void ImgScan::SetImage(const QString& fileTemplate)
{
    d->fileTemplate.clear();
    if (fileTemplate.isEmpty())
        throw Failure(QStringLiteral("The file-name template is empty."));
    d->fileTemplate = fileTemplate;
}

void ImgScan::SetMultiPage(bool value)
{
    d->multiPage.reset();
    if (!value)
        throw Failure(
            QStringLiteral("Single-page scanning is not supported; a batch takes every page of the feeder."));
    d->multiPage = value;
}

void ImgScan::SetPageOption(qint16 value)
{
    d->pageOption.reset();
    if (value != kPageOptionNumbered)
        throw Failure(
            QStringLiteral("Page option %1 is not supported; 1 gives each page a numbered file.").arg(value));
    d->pageOption = value;
}

void ImgScan::SetFileType(qint32 value)
{
    d->fileType.reset();
    if (value != kFileTypeTiff)
        throw Failure(QStringLiteral("File type %1 is not supported; 1 writes TIFF files.").arg(value));
    d->fileType = value;
}

void ImgScan::setDeviceOption(const QString& name, const QString& value)
{
    if (m_scanning)
        throw Failure(QStringLiteral("The scanner is busy with a scan."));
    if (!d->handle)
        throw Failure(QStringLiteral("The scanner is not open."));
    if (const Outcome set = SaneOptions::setFromText(d->handle, name, value); !set.ok())
        throw Failure(set);
}

void ImgScan::setDeviceOptionAfterPage(int afterPage, const QString& name, const QString& value)
{
    d->deferred.append({afterPage, name, value});
}

void ImgScan::StartScan()
{
    if (m_scanning)
        throw Failure(QStringLiteral("A scan is already in progress."));
    if (!d->handle)
        throw Failure(QStringLiteral("The scanner is not open."));
    QStringList missing;
    if (!d->scanTo)
        missing << QStringLiteral("scan-to");
    if (d->fileTemplate.isEmpty())
        missing << QStringLiteral("file-name template");
    if (!d->multiPage)
        missing << QStringLiteral("multi-page");
    if (!d->pageOption)
        missing << QStringLiteral("page option");
    if (!d->fileType)
        missing << QStringLiteral("file type");
    if (!missing.isEmpty())
        throw Failure(
            QStringLiteral("The scan options are not set: %1.").arg(missing.join(QStringLiteral(", "))));

    const QFileInfo templateInfo(d->fileTemplate);
    ScanBatch batch;
    batch.handle = d->handle;
    batch.folder = templateInfo.absolutePath();
    batch.prefix = templateInfo.fileName();
    if (!QFileInfo(batch.folder).isDir())
        throw Failure(QStringLiteral("The folder %1 does not exist.").arg(batch.folder));
    const std::optional<QString> source =
        SaneOptions::currentText(d->handle, QStringLiteral(SANE_NAME_SCAN_SOURCE));
    batch.feeder = source && SaneOptions::isFeederSource(*source);
    const std::optional<double> resolution =
        SaneOptions::currentNumber(d->handle, QStringLiteral(SANE_NAME_SCAN_RESOLUTION));
    batch.xDpi = SaneOptions::currentNumber(d->handle, QStringLiteral(SANE_NAME_SCAN_X_RESOLUTION))
                     .value_or(resolution.value_or(kResolution));
    batch.yDpi = SaneOptions::currentNumber(d->handle, QStringLiteral(SANE_NAME_SCAN_Y_RESOLUTION))
                     .value_or(resolution.value_or(kResolution));
    batch.deferred = std::exchange(d->deferred, {});
    batch.judgePages = d->judgePages;
    batch.readCodes = d->readCodes;
    qCDebug(lcScan) << "batch into" << batch.folder << "prefix" << batch.prefix << "feeder" << batch.feeder
                    << "dpi" << batch.xDpi << batch.yDpi;

    m_scanning = true;
    d->pagesWritten.clear();
    d->verdicts.clear();
    QString failure;
    {
        auto worker = std::make_unique<ScanWorker>(batch);
        // Queued: the worker's pages reach PageDone on this (the UI) thread,
        // in order, and all of them before the finished signal ends the wait.
        connect(
            worker.get(), &ScanWorker::pageJudged, this,
            [this](int pageNumber, bool blank, const QStringList& codes, const QString& error) {
                PageJudge::Verdict v;
                v.blank = blank;
                v.codes = codes;
                v.error = error;
                d->verdicts.insert(pageNumber, v);
            },
            Qt::QueuedConnection);
        connect(
            worker.get(), &ScanWorker::pageWritten, this,
            [this](int pageNumber, int, const QString& path) {
                d->pagesWritten << path;
                emit PageDone(pageNumber);
            },
            Qt::QueuedConnection);
        QEventLoop loop;
        connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        worker->start();
        loop.exec();
        if (!worker->isFinished()) {
            // The wait was ended from outside: the application is quitting.
            worker->abort();
            if (!worker->wait(QDeadlineTimer(kQuitWaitMs))) {
                // Whatever the scanner or its backend does, closing the window
                // ends the program: the worker is left to the end of the
                // process, with the device. Its pages written so far are whole;
                // the one in progress has only its hidden temporary name.
                qCWarning(lcScan) << "the batch did not end within" << kQuitWaitMs << "ms of the quit";
                disconnect(worker.get(), nullptr, this, nullptr);
                (void)worker.release();
                d->strayBatch = s_batchLeftRunning = true;
                m_scanning = false;
                throw Failure(QStringLiteral("The scan was stopped while a page was being read; the scanner "
                                             "did not let go of it."));
            }
        }
        failure = worker->failure();
        d->lastFault = worker->faultStatus();
    }
    m_scanning = false;
    if (!failure.isEmpty())
        throw Failure(failure);
    emit ScanDone();
}

QStringList ImgScan::pagesWritten() const
{
    return d->pagesWritten;
}

void ImgScan::setPageJudging(bool judge, bool readCodes)
{
    d->judgePages = judge;
    d->readCodes = judge && readCodes;
}

std::optional<PageJudge::Verdict> ImgScan::verdict(int pageNumber) const
{
    const auto found = d->verdicts.constFind(pageNumber);
    if (found == d->verdicts.cend())
        return std::nullopt;
    return *found;
}

int ImgScan::lastFault() const
{
    return d->lastFault;
}

void ImgScan::CloseScanner()
{
    if (m_scanning)
        throw Failure(QStringLiteral("The scanner cannot be closed during a scan."));
    closeDevice();
}

QString ScannerDevice::label() const
{
    return QStringLiteral("%1 %2 (%3)").arg(vendor, model, name);
}

ImgScan::ChoiceOffer ImgScan::choiceOffer()
{
    if (m_scanning)
        throw Failure(QStringLiteral("The scanner is busy with a scan."));
    ChoiceOffer offer;
    offer.session = std::make_shared<SaneSession>();
    offer.devices = listDevices(Reach::Network);
    offer.stored = storedDevice();
    QSettings store = userStore();
    offer.choices = ScanChoices::load(store);
    return offer;
}

DeviceOffer ImgScan::readDeviceOffer(const QString& name)
{
    return readOffer(name);
}

void ImgScan::choose(const ScannerDevice& device)
{
    storeChoice(device);
}

void ImgScan::storeChoices(const ScanChoices& choices)
{
    QSettings store = userStore();
    choices.store(store);
    if (store.status() != QSettings::NoError)
        throw Failure(QStringLiteral("The scan settings could not be saved."));
}
