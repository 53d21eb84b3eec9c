// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScanChoices.h"

#include "SaneOptions.h"

#include <cstdlib>

namespace {
const QString kSource = QStringLiteral("Scanner/source");
const QString kMode = QStringLiteral("Scanner/mode");
const QString kResolution = QStringLiteral("Scanner/resolution");
const QString kDocuments = QStringLiteral("Scanner/documents");
const QString kSeparatorCode = QStringLiteral("Scanner/separatorCode");
const QString kBlankPages = QStringLiteral("Scanner/blankPages");

QString documentsWord(ScanChoices::Documents documents)
{
    switch (documents) {
    case ScanChoices::Documents::Batch:
        return QStringLiteral("batch");
    case ScanChoices::Documents::Separator:
        return QStringLiteral("separator");
    case ScanChoices::Documents::Page:
        break;
    }
    return QStringLiteral("page");
}
} // namespace

ScanChoices ScanChoices::load(QSettings& store)
{
    ScanChoices choices;
    choices.source = store.value(kSource).toString();
    choices.mode = store.value(kMode).toString();
    bool ok = false;
    const int dpi = store.value(kResolution).toInt(&ok);
    choices.resolution = ok && dpi > 0 ? dpi : 0;
    const QString documents = store.value(kDocuments).toString();
    if (documents == QLatin1String("batch"))
        choices.documents = Documents::Batch;
    else if (documents == QLatin1String("separator"))
        choices.documents = Documents::Separator;
    // An empty stored code is a choice of its own (blank sheets separate), so
    // only an absent key takes the default.
    if (store.contains(kSeparatorCode))
        choices.separatorCode = store.value(kSeparatorCode).toString();
    if (store.value(kBlankPages).toString() == QLatin1String("setAside"))
        choices.blankPages = BlankPages::SetAside;
    return choices;
}

void ScanChoices::store(QSettings& store) const
{
    store.setValue(kSource, source);
    store.setValue(kMode, mode);
    store.setValue(kResolution, resolution);
    store.setValue(kDocuments, documentsWord(documents));
    store.setValue(kSeparatorCode, separatorCode);
    store.setValue(kBlankPages,
                   blankPages == BlankPages::SetAside ? QStringLiteral("setAside") : QStringLiteral("keep"));
    store.sync();
}

QList<int> DeviceOffer::resolutionChoices() const
{
    if (!hasRange)
        return resolutions;
    QList<int> choices;
    for (int dpi : {150, 200, 300, 400, 600}) {
        // A range with steps may reach a usual value only near it.
        const int allowed = nearestResolution(dpi);
        if (dpi >= rangeMin && dpi <= rangeMax && !choices.contains(allowed))
            choices << allowed;
    }
    // A range below or above every usual value still offers its nearest to 300.
    if (choices.isEmpty())
        choices << nearestResolution(300);
    return choices;
}

int DeviceOffer::nearestResolution(int dpi) const
{
    if (hasRange)
        return SaneOptions::nearestInRange(dpi, rangeMin, rangeMax, rangeStep);
    int best = 0;
    for (int here : resolutions) {
        if (best == 0 || std::abs(here - dpi) < std::abs(best - dpi))
            best = here;
    }
    return best;
}

ResolvedChoices resolveChoices(const ScanChoices& choices, const DeviceOffer& offer, const QString& device)
{
    ResolvedChoices resolved;
    if (!choices.source.isEmpty()) {
        if (offer.sources.contains(choices.source))
            resolved.source = choices.source;
        else
            resolved.sourceNote =
                QStringLiteral(
                    "Scanner %1 no longer offers the source \"%2\" chosen for it; the station's own "
                    "choice (the feeder when there is one) is used.")
                    .arg(device, choices.source);
    }
    if (!choices.mode.isEmpty()) {
        if (offer.modes.contains(choices.mode))
            resolved.mode = choices.mode;
        else
            resolved.modeNote =
                QStringLiteral("Scanner %1 no longer offers the colour mode \"%2\" chosen for "
                               "it; its own starting mode is used.")
                    .arg(device, modeCaption(choices.mode));
    }
    if (choices.resolution > 0) {
        if (!offer.hasResolution()) {
            resolved.resolutionNote =
                QStringLiteral(
                    "Scanner %1 has no resolution to choose; the %2 dpi chosen for it is not used.")
                    .arg(device)
                    .arg(choices.resolution);
        } else {
            resolved.resolution = offer.nearestResolution(choices.resolution);
            if (resolved.resolution != choices.resolution)
                resolved.resolutionNote =
                    QStringLiteral("Scanner %1 no longer offers the %2 dpi chosen for it; "
                                   "%3 dpi, the nearest it offers, is used.")
                        .arg(device)
                        .arg(choices.resolution)
                        .arg(resolved.resolution);
        }
    }
    return resolved;
}

QString modeCaption(const QString& mode)
{
    if (mode == QLatin1String("Color"))
        return QStringLiteral("Colour");
    if (mode == QLatin1String("Lineart"))
        return QStringLiteral("Black and white");
    return mode;
}
