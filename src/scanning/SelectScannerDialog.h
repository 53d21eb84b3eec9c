// "Select Scanner": the list of SANE's devices, one of which the operator picks.
#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class QDialogButtonBox;
class QLabel;
class QListWidget;

struct ScannerDevice
{
    QString name; ///< SANE's device name, e.g. "test:0"
    QString vendor;
    QString model;
    /// "vendor model (name)", as the list shows it.
    QString label() const;
};

class SelectScannerDialog : public QDialog
{
    Q_OBJECT
public:
    /// current: the device chosen before, selected when it is in the list.
    SelectScannerDialog(const QList<ScannerDevice>& devices, const QString& current,
                        QWidget* parent = nullptr);

    /// The name of the device selected, empty when none is.
    QString selectedDevice() const;

private:
    void updateOk();

    QLabel* m_message = nullptr;
    QListWidget* m_list = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};
