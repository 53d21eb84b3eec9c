// What the office chose for its scans, kept in the per-user store beside the
// chosen device. Every field's empty value means "as the station always did":
// the feeder when there is one, the device's own colour mode, 300 dpi, one
// document a page, blank pages kept.
#pragma once

#include <QSettings>
#include <QString>

struct ScanChoices
{
    enum class Documents { Page, Batch, Separator };
    enum class BlankPages { Keep, SetAside };

    /// The source as the device names it ("Flatbed", "ADF", "ADF Duplex" ...).
    QString source;
    /// SANE's mode name ("Color", "Gray", "Lineart" ...).
    QString mode;
    /// Dots per inch; 0 leaves the station's 300.
    int resolution = 0;
    Documents documents = Documents::Page;
    /// The text a separator sheet's barcode or QR code holds; empty: a blank page
    /// separates.
    QString separatorCode = defaultSeparatorCode();
    BlankPages blankPages = BlankPages::Keep;

    static QString defaultSeparatorCode() { return QStringLiteral("PATCHT"); }

    /// Reads the choices under the store's "Scanner" group; an unknown stored
    /// word reads as the default.
    static ScanChoices load(QSettings& store);
    /// Writes every choice; the device is stored apart by the scanner choice.
    void store(QSettings& store) const;

    bool operator==(const ScanChoices&) const = default;
};
