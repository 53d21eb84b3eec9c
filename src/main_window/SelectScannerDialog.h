// SPDX-License-Identifier: GPL-3.0-or-later
// "Select Scanner": the list of SANE's devices, one of which the operator picks,
// and what to scan with it: the source, colour mode and resolution the device
// offers, and how the pages make documents.
#pragma once

#include "ImgScan.h"
#include "ScanChoices.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QThread;
class QWidget;

/// Shows the list of SANE's devices and the scan choices; what is chosen is
/// remembered for the user. Throws Failure during a scan, when SANE cannot
/// list devices, or when the choice cannot be saved.
void showSelectScanner(ImgScan& scan, QWidget* parent);

class SelectScannerDialog : public QDialog
{
    Q_OBJECT
public:
    /// Opens a device and reads what it offers; runs on a thread of its own,
    /// since opening a scanner can take seconds.
    using OfferReader = std::function<DeviceOffer(const QString& device)>;

    /// current: the device chosen before, selected when it is in the list;
    /// stored: the choices stored beside it.
    SelectScannerDialog(const QList<ScannerDevice>& devices, const QString& current,
                        const ScanChoices& stored = {}, OfferReader readOffer = {},
                        QWidget* parent = nullptr);
    ~SelectScannerDialog() override;

    /// The name of the device selected, empty when none is.
    QString selectedDevice() const;
    /// The choices shown for the selected device.
    ScanChoices choices() const;

private:
    /// A device's own three choices, as the operator left them in this dialog.
    struct DeviceChoice
    {
        QString source;
        QString mode;
        int resolution = 0;
    };

    void updateOk();
    void deviceChanged();
    void readNext();
    void offerRead(const QString& device, const DeviceOffer& offer);
    void showOffer();
    bool offerShown() const;
    DeviceChoice shownChoice() const;

    QLabel* m_message = nullptr;
    QListWidget* m_list = nullptr;
    QLabel* m_offerLabel = nullptr;
    QComboBox* m_source = nullptr;
    QComboBox* m_mode = nullptr;
    QComboBox* m_resolution = nullptr;
    QComboBox* m_documents = nullptr;
    QLineEdit* m_separatorCode = nullptr;
    QComboBox* m_blankPages = nullptr;
    QDialogButtonBox* m_buttons = nullptr;

    OfferReader m_readOffer;
    QThread* m_reader = nullptr;
    QString m_reading;
    QString m_shown;
    QHash<QString, DeviceOffer> m_offers;
    QHash<QString, DeviceChoice> m_choices;
};
