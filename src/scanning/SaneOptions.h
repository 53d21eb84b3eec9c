// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and setting a device's options by their SANE names. Options are looked
// up by name each time, since setting one may change the list of the others.
#pragma once

#include "Failure.h"

#include <QString>

#include <optional>

#include <sane/sane.h>
#include <sane/saneopts.h>

struct DeviceOffer;

namespace SaneOptions {

/// The option's number, or -1 when the device has no option of that name.
int find(SANE_Handle handle, const QString& name);

/// Sets an option from text: strings as given, numbers in the option's unit
/// ("20" mm, "300" dpi), booleans as yes/no/true/false/1/0. Arrays get the value
/// in every element.
Outcome setFromText(SANE_Handle handle, const QString& name, const QString& value);

/// The current value of a string option.
std::optional<QString> currentText(SANE_Handle handle, const QString& name);

/// The current value of a numeric (integer or fixed-point) option.
std::optional<double> currentNumber(SANE_Handle handle, const QString& name);

/// Picks the document feeder in the "source" option when the device offers one
/// (a single-sided feeder before a duplex one). Sets *chosen to the source
/// selected, or leaves it empty when there is no feeder.
Outcome selectFeeder(SANE_Handle handle, QString* chosen);

/// True when the text names a document feeder ("ADF", "Automatic Document Feeder", "... Feeder").
bool isFeederSource(const QString& source);

/// Sets the resolution to the supported value nearest to dpi; does nothing when
/// the device offers no settable resolution.
Outcome setResolutionNearest(SANE_Handle handle, double dpi);

/// The value nearest to wanted that a range (min, max, quant) allows.
SANE_Word nearestInRange(SANE_Word wanted, SANE_Word min, SANE_Word max, SANE_Word quant);

/// What the device's "source", "mode" and "resolution" options allow now.
DeviceOffer readOffer(SANE_Handle handle);

} // namespace SaneOptions
