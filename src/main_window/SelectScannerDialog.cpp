// SPDX-License-Identifier: GPL-3.0-or-later
#include "SelectScannerDialog.h"

#include "Design.h"
#include "Failure.h"
#include "ScanLogging.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The captions of the station's own choice, stored as "nothing chosen".
const QString kStationSource = QStringLiteral("Station default (the feeder)");
const QString kStationMode = QStringLiteral("Station default (the scanner's own)");
const QString kStationResolution = QStringLiteral("Station default (300 dpi)");

QComboBox* makeCombo(QWidget* parent, const QString& name, const QString& accessibleName)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setAccessibleName(accessibleName);
    box->setFixedWidth(px(3600));
    return box;
}

/// Selects the entry whose data is value; false when there is none.
bool selectData(QComboBox* box, const QVariant& value)
{
    const int index = box->findData(value);
    if (index < 0)
        return false;
    box->setCurrentIndex(index);
    return true;
}

} // namespace

SelectScannerDialog::SelectScannerDialog(const QList<ScannerDevice>& devices, const QString& current,
                                         const ScanChoices& stored, OfferReader readOffer, QWidget* parent)
    : QDialog(parent), m_readOffer(std::move(readOffer))
{
    setObjectName(QStringLiteral("SelectScannerDialog"));
    setWindowTitle(QStringLiteral("Select Scanner"));
    setModal(true);
    setFont(designFont());

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("messageLabel"));
    m_message->setWordWrap(true);
    m_message->setText(devices.isEmpty() ? QStringLiteral("No scanner was found.")
                                         : QStringLiteral("Choose the scanner for Scan &All:"));

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("deviceList"));
    m_list->setAccessibleName(QStringLiteral("Scanners"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setFixedHeight(px(1500));
    m_message->setBuddy(m_list);

    auto* device = new QGroupBox(QStringLiteral("This scanner scans"), this);
    device->setObjectName(QStringLiteral("deviceSettings"));
    m_source = makeCombo(device, QStringLiteral("sourceBox"), QStringLiteral("Source"));
    m_mode = makeCombo(device, QStringLiteral("modeBox"), QStringLiteral("Colour mode"));
    m_resolution = makeCombo(device, QStringLiteral("resolutionBox"), QStringLiteral("Resolution"));
    m_offerLabel = new QLabel(device);
    m_offerLabel->setObjectName(QStringLiteral("offerLabel"));
    m_offerLabel->setWordWrap(true);
    m_offerLabel->setTextFormat(Qt::PlainText);
    auto* deviceForm = new QFormLayout(device);
    deviceForm->addRow(QStringLiteral("&Source:"), m_source);
    deviceForm->addRow(QStringLiteral("Colour &mode:"), m_mode);
    deviceForm->addRow(QStringLiteral("&Resolution:"), m_resolution);
    deviceForm->addRow(m_offerLabel);

    auto* pages = new QGroupBox(QStringLiteral("Pages make documents"), this);
    pages->setObjectName(QStringLiteral("documentSettings"));
    m_documents = makeCombo(pages, QStringLiteral("documentsBox"), QStringLiteral("Documents"));
    m_documents->addItem(QStringLiteral("One document a page"), int(ScanChoices::Documents::Page));
    m_documents->addItem(QStringLiteral("One document a Scan All"), int(ScanChoices::Documents::Batch));
    m_documents->addItem(QStringLiteral("A new document at every separator sheet"),
                         int(ScanChoices::Documents::Separator));
    selectData(m_documents, int(stored.documents));
    m_separatorCode = new QLineEdit(stored.separatorCode, pages);
    m_separatorCode->setObjectName(QStringLiteral("separatorCodeEdit"));
    m_separatorCode->setAccessibleName(QStringLiteral("Separator code"));
    m_separatorCode->setPlaceholderText(QStringLiteral("Empty: a blank page separates"));
    m_separatorCode->setFixedWidth(px(3600));
    m_blankPages = makeCombo(pages, QStringLiteral("blankPagesBox"), QStringLiteral("Blank pages"));
    m_blankPages->addItem(QStringLiteral("Keep them"), int(ScanChoices::BlankPages::Keep));
    m_blankPages->addItem(QStringLiteral("Set them aside"), int(ScanChoices::BlankPages::SetAside));
    selectData(m_blankPages, int(stored.blankPages));
    auto* pagesForm = new QFormLayout(pages);
    pagesForm->addRow(QStringLiteral("&Documents:"), m_documents);
    pagesForm->addRow(QStringLiteral("Se&parator code:"), m_separatorCode);
    pagesForm->addRow(QStringLiteral("&Blank pages:"), m_blankPages);
    const auto separatorMatters = [this] {
        m_separatorCode->setEnabled(m_documents->currentData().toInt() ==
                                    int(ScanChoices::Documents::Separator));
    };
    connect(m_documents, &QComboBox::currentIndexChanged, this, separatorMatters);
    separatorMatters();

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("buttonBox"));
    m_buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    m_buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(m_message);
    layout->addWidget(m_list);
    layout->addWidget(device);
    layout->addWidget(pages);
    layout->addWidget(m_buttons);

    // The choices stored are the stored device's; any other starts from the
    // station's own.
    m_choices.insert(current, {stored.source, stored.mode, stored.resolution});
    for (const ScannerDevice& d : devices) {
        auto* item = new QListWidgetItem(d.label(), m_list);
        item->setData(Qt::UserRole, d.name);
        if (d.name == current)
            m_list->setCurrentItem(item);
    }
    if (!m_list->currentItem() && m_list->count() > 0)
        m_list->setCurrentRow(0);
    m_list->setEnabled(!devices.isEmpty());
    connect(m_list, &QListWidget::itemSelectionChanged, this, &SelectScannerDialog::updateOk);
    connect(m_list, &QListWidget::itemSelectionChanged, this, &SelectScannerDialog::deviceChanged);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    updateOk();
    deviceChanged();
}

SelectScannerDialog::~SelectScannerDialog()
{
    // A device being opened is waited for: the reader holds SANE meanwhile.
    if (m_reader) {
        m_reader->wait();
        delete m_reader;
    }
}

QString SelectScannerDialog::selectedDevice() const
{
    const QListWidgetItem* item = m_list->currentItem();
    return item && item->isSelected() ? item->data(Qt::UserRole).toString() : QString();
}

ScanChoices SelectScannerDialog::choices() const
{
    ScanChoices chosen;
    const DeviceChoice own =
        m_shown == selectedDevice() && offerShown() ? shownChoice() : m_choices.value(selectedDevice());
    chosen.source = own.source;
    chosen.mode = own.mode;
    chosen.resolution = own.resolution;
    chosen.documents = ScanChoices::Documents(m_documents->currentData().toInt());
    chosen.separatorCode = m_separatorCode->text().trimmed();
    chosen.blankPages = ScanChoices::BlankPages(m_blankPages->currentData().toInt());
    return chosen;
}

void SelectScannerDialog::updateOk()
{
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!selectedDevice().isEmpty());
}

bool SelectScannerDialog::offerShown() const
{
    // A device that could not be read shows only the station's choices; what was
    // stored for it is kept.
    const auto offer = m_offers.constFind(m_shown);
    return !m_shown.isEmpty() && offer != m_offers.constEnd() && offer->failure.isEmpty();
}

SelectScannerDialog::DeviceChoice SelectScannerDialog::shownChoice() const
{
    return {m_source->currentData().toString(), m_mode->currentData().toString(),
            m_resolution->currentData().toInt()};
}

void SelectScannerDialog::deviceChanged()
{
    // What the operator chose for the device shown so far stays with it.
    if (offerShown())
        m_choices.insert(m_shown, shownChoice());
    m_shown = selectedDevice();
    showOffer();
    readNext();
}

void SelectScannerDialog::readNext()
{
    if (m_reader || m_shown.isEmpty() || m_offers.contains(m_shown))
        return;
    if (!m_readOffer) {
        m_offers.insert(m_shown, {});
        showOffer();
        return;
    }
    m_reading = m_shown;
    m_reader = QThread::create([this, reader = m_readOffer, device = m_reading] {
        const DeviceOffer offer = reader(device);
        QMetaObject::invokeMethod(
            this, [this, device, offer] { offerRead(device, offer); }, Qt::QueuedConnection);
    });
    m_reader->start();
}

void SelectScannerDialog::offerRead(const QString& device, const DeviceOffer& offer)
{
    m_reader->wait();
    delete m_reader;
    m_reader = nullptr;
    m_reading.clear();
    m_offers.insert(device, offer);
    if (device == m_shown)
        showOffer();
    // The operator may have moved on to another device meanwhile.
    readNext();
}

void SelectScannerDialog::showOffer()
{
    for (QComboBox* box : {m_source, m_mode, m_resolution}) {
        box->clear();
        box->setEnabled(false);
    }
    m_source->addItem(kStationSource, QString());
    m_mode->addItem(kStationMode, QString());
    m_resolution->addItem(kStationResolution, 0);
    if (m_shown.isEmpty()) {
        m_offerLabel->clear();
        return;
    }
    const auto known = m_offers.constFind(m_shown);
    if (known == m_offers.constEnd()) {
        m_offerLabel->setText(QStringLiteral("Reading what %1 offers...").arg(m_shown));
        return;
    }
    const DeviceOffer& offer = *known;
    const DeviceChoice wanted = m_choices.value(m_shown);
    for (const QString& source : offer.sources)
        m_source->addItem(source, source);
    for (const QString& mode : offer.modes)
        m_mode->addItem(modeCaption(mode), mode);
    QList<int> resolutions = offer.resolutionChoices();
    // A resolution stored that the range allows stays one to choose, usual or not.
    if (wanted.resolution > 0 && offer.allowsResolution(wanted.resolution) &&
        !resolutions.contains(wanted.resolution)) {
        resolutions << wanted.resolution;
        std::sort(resolutions.begin(), resolutions.end());
    }
    for (int dpi : std::as_const(resolutions))
        m_resolution->addItem(QStringLiteral("%1 dpi").arg(dpi), dpi);

    QStringList gone;
    if (!wanted.source.isEmpty() && !selectData(m_source, wanted.source))
        gone << QStringLiteral("the source \"%1\"").arg(wanted.source);
    if (!wanted.mode.isEmpty() && !selectData(m_mode, wanted.mode))
        gone << QStringLiteral("the colour mode \"%1\"").arg(modeCaption(wanted.mode));
    if (wanted.resolution > 0 && !selectData(m_resolution, wanted.resolution))
        gone << QStringLiteral("%1 dpi").arg(wanted.resolution);
    m_source->setEnabled(m_source->count() > 1);
    m_mode->setEnabled(m_mode->count() > 1);
    m_resolution->setEnabled(m_resolution->count() > 1);

    if (!offer.failure.isEmpty())
        m_offerLabel->setText(offer.failure);
    else if (!gone.isEmpty())
        m_offerLabel->setText(QStringLiteral("%1 no longer offers %2; the station's own choice is shown.")
                                  .arg(m_shown, gone.join(QStringLiteral(", "))));
    else
        m_offerLabel->clear();
}

void showSelectScanner(ImgScan& scan, QWidget* parent)
{
    ImgScan::ChoiceOffer offer;
    {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        const auto restoreCursor = qScopeGuard([] { QGuiApplication::restoreOverrideCursor(); });
        offer = scan.choiceOffer();
    }
    SelectScannerDialog dialog(offer.devices, offer.stored, offer.choices, &ImgScan::readDeviceOffer, parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString chosen = dialog.selectedDevice();
    if (chosen.isEmpty())
        return;
    for (const ScannerDevice& device : std::as_const(offer.devices)) {
        if (device.name == chosen)
            scan.choose(device);
    }
    scan.storeChoices(dialog.choices());
    qCDebug(lcScan) << "scanner chosen:" << chosen;
}
