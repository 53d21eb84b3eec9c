// SPDX-License-Identifier: GPL-3.0-or-later
// What the office chose for its scans, kept in the per-user store beside the
// chosen device. Every field's empty value means "as the station always did":
// the feeder when there is one, the device's own colour mode, 300 dpi, one
// document a page, blank pages kept.
#pragma once

#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>

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

/// What one device offers for the choices that are its own, as its options
/// say; empty lists where it has no such option (or it could not be read).
struct DeviceOffer
{
    QStringList sources;
    QStringList modes;
    /// The resolutions of a device that names them one by one.
    QList<int> resolutions;
    /// Or a range of them, from min to max in steps of step (0: any).
    bool hasRange = false;
    int rangeMin = 0;
    int rangeMax = 0;
    int rangeStep = 0;
    /// Why the offer could not be read, in the operator's words; empty when it was.
    QString failure;

    bool hasResolution() const { return hasRange || !resolutions.isEmpty(); }
    /// What the dialog lists: the device's own list, or the usual office
    /// resolutions (150, 200, 300, 400, 600) that fall within its range.
    QList<int> resolutionChoices() const;
    /// The resolution the device allows that is nearest to dpi (dpi itself
    /// when it is allowed); 0 when the device has no resolution setting.
    int nearestResolution(int dpi) const;
    bool allowsResolution(int dpi) const { return hasResolution() && nearestResolution(dpi) == dpi; }
};

/// The stored choices held against what the device offers now: what is set,
/// and a line for the status box for every choice that had to give way.
struct ResolvedChoices
{
    /// Empty: the station's own choice (the feeder when there is one, the
    /// device's starting mode, 300 dpi).
    QString source;
    QString mode;
    int resolution = 0;
    QString sourceNote;
    QString modeNote;
    QString resolutionNote;
};

/// device names the device in the notes ("test:0").
ResolvedChoices resolveChoices(const ScanChoices& choices, const DeviceOffer& offer, const QString& device);

/// How a mode reads for the operator ("Color" is "Colour", "Lineart" is "Black and white").
QString modeCaption(const QString& mode);
