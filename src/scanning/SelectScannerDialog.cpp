#include "SelectScannerDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

QString ScannerDevice::label() const
{
    return QStringLiteral("%1 %2 (%3)").arg(vendor, model, name);
}

SelectScannerDialog::SelectScannerDialog(const QList<ScannerDevice>& devices, const QString& current,
                                         QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("SelectScannerDialog"));
    setWindowTitle(QStringLiteral("Select Scanner"));
    setModal(true);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("messageLabel"));
    m_message->setWordWrap(true);
    m_message->setText(devices.isEmpty() ? QStringLiteral("No scanner was found.")
                                         : QStringLiteral("Choose the scanner for Scan All:"));

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("deviceList"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    for (const ScannerDevice& device : devices) {
        auto* item = new QListWidgetItem(device.label(), m_list);
        item->setData(Qt::UserRole, device.name);
        if (device.name == current)
            m_list->setCurrentItem(item);
    }
    if (!m_list->currentItem() && m_list->count() > 0)
        m_list->setCurrentRow(0);
    m_list->setEnabled(!devices.isEmpty());

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("buttonBox"));
    m_buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
    m_buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemSelectionChanged, this, &SelectScannerDialog::updateOk);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_message);
    layout->addWidget(m_list);
    layout->addWidget(m_buttons);
    updateOk();
}

QString SelectScannerDialog::selectedDevice() const
{
    const QListWidgetItem* item = m_list->currentItem();
    return item && item->isSelected() ? item->data(Qt::UserRole).toString() : QString();
}

void SelectScannerDialog::updateOk()
{
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!selectedDevice().isEmpty());
}
