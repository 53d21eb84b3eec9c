// SPDX-License-Identifier: GPL-3.0-or-later
#include "SaneOptions.h"

#include "SaneSession.h"
#include "ScanChoices.h"
#include "ScanLogging.h"

#include <QByteArray>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace SaneOptions {

namespace {

const SANE_Option_Descriptor* descriptor(SANE_Handle handle, int index)
{
    return index > 0 ? sane_get_option_descriptor(handle, index) : nullptr;
}

Outcome controlFailed(const QString& name, SANE_Status status)
{
    return Outcome::failed(
        name, QStringLiteral("The scanner option \"%1\" could not be set: %2").arg(name, saneText(status)));
}

std::optional<bool> parseBool(const QString& value)
{
    const QString v = value.trimmed().toLower();
    if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("0"))
        return false;
    return std::nullopt;
}

/// The values a settable string option may take; empty when it cannot be chosen.
QStringList stringChoices(SANE_Handle handle, const char* name)
{
    const SANE_Option_Descriptor* d = descriptor(handle, find(handle, QString::fromLatin1(name)));
    QStringList values;
    if (!d || d->type != SANE_TYPE_STRING || d->constraint_type != SANE_CONSTRAINT_STRING_LIST ||
        !SANE_OPTION_IS_ACTIVE(d->cap) || !SANE_OPTION_IS_SETTABLE(d->cap))
        return values;
    for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s)
        values << QString::fromLocal8Bit(*s);
    return values;
}

} // namespace

int find(SANE_Handle handle, const QString& name)
{
    const QByteArray wanted = name.toLatin1();
    for (int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(handle, i);
        if (!d)
            return -1;
        if (d->name && wanted == d->name)
            return i;
    }
}

Outcome setFromText(SANE_Handle handle, const QString& name, const QString& value)
{
    const int index = find(handle, name);
    const SANE_Option_Descriptor* d = descriptor(handle, index);
    if (!d)
        return Outcome::failed(name, QStringLiteral("The scanner has no option \"%1\"").arg(name));
    if (!SANE_OPTION_IS_ACTIVE(d->cap) || !SANE_OPTION_IS_SETTABLE(d->cap))
        return Outcome::failed(name, QStringLiteral("The scanner option \"%1\" cannot be set now").arg(name));

    SANE_Int info = 0;
    SANE_Status status = SANE_STATUS_GOOD;
    switch (d->type) {
    case SANE_TYPE_STRING: {
        QByteArray buffer = value.toLocal8Bit();
        if (buffer.size() >= d->size)
            return Outcome::failed(
                name, QStringLiteral("The value \"%1\" is too long for the scanner option \"%2\"")
                          .arg(value, name));
        buffer.resize(d->size, '\0');
        status = sane_control_option(handle, index, SANE_ACTION_SET_VALUE, buffer.data(), &info);
        break;
    }
    case SANE_TYPE_BOOL:
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED: {
        SANE_Word word = 0;
        if (d->type == SANE_TYPE_BOOL) {
            const std::optional<bool> b = parseBool(value);
            if (!b)
                return Outcome::failed(
                    name,
                    QStringLiteral("\"%1\" is not yes or no for the scanner option \"%2\"").arg(value, name));
            word = *b ? SANE_TRUE : SANE_FALSE;
        } else {
            bool ok = false;
            const double number = value.trimmed().toDouble(&ok);
            if (!ok)
                return Outcome::failed(
                    name,
                    QStringLiteral("\"%1\" is not a number for the scanner option \"%2\"").arg(value, name));
            word = d->type == SANE_TYPE_INT ? SANE_Word(std::lround(number)) : SANE_FIX(number);
        }
        const size_t count = std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word));
        std::vector<SANE_Word> words(count, word);
        status = sane_control_option(handle, index, SANE_ACTION_SET_VALUE, words.data(), &info);
        break;
    }
    case SANE_TYPE_BUTTON:
        status = sane_control_option(handle, index, SANE_ACTION_SET_VALUE, nullptr, &info);
        break;
    default:
        return Outcome::failed(
            name, QStringLiteral("The scanner option \"%1\" is not a value that can be set").arg(name));
    }
    if (status != SANE_STATUS_GOOD)
        return controlFailed(name, status);
    qCDebug(lcScan) << "option" << name << "=" << value << "info" << info;
    return {};
}

std::optional<QString> currentText(SANE_Handle handle, const QString& name)
{
    const int index = find(handle, name);
    const SANE_Option_Descriptor* d = descriptor(handle, index);
    if (!d || d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_ACTIVE(d->cap) || d->size <= 0)
        return std::nullopt;
    QByteArray buffer(d->size + 1, '\0');
    if (sane_control_option(handle, index, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) != SANE_STATUS_GOOD)
        return std::nullopt;
    return QString::fromLocal8Bit(buffer.constData());
}

std::optional<double> currentNumber(SANE_Handle handle, const QString& name)
{
    const int index = find(handle, name);
    const SANE_Option_Descriptor* d = descriptor(handle, index);
    if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED) || !SANE_OPTION_IS_ACTIVE(d->cap) ||
        d->size < SANE_Int(sizeof(SANE_Word)))
        return std::nullopt;
    std::vector<SANE_Word> words(size_t(d->size) / sizeof(SANE_Word));
    if (sane_control_option(handle, index, SANE_ACTION_GET_VALUE, words.data(), nullptr) != SANE_STATUS_GOOD)
        return std::nullopt;
    return d->type == SANE_TYPE_INT ? double(words[0]) : SANE_UNFIX(words[0]);
}

bool isFeederSource(const QString& source)
{
    return source.contains(QLatin1String("ADF"), Qt::CaseInsensitive) ||
           source.contains(QLatin1String("Feeder"), Qt::CaseInsensitive);
}

Outcome selectFeeder(SANE_Handle handle, QString* chosen)
{
    chosen->clear();
    const QString name = QStringLiteral(SANE_NAME_SCAN_SOURCE);
    const SANE_Option_Descriptor* d = descriptor(handle, find(handle, name));
    if (!d || d->type != SANE_TYPE_STRING || d->constraint_type != SANE_CONSTRAINT_STRING_LIST ||
        !SANE_OPTION_IS_ACTIVE(d->cap) || !SANE_OPTION_IS_SETTABLE(d->cap))
        return {};
    QString firstFeeder;
    QString simplexFeeder;
    for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s) {
        const QString source = QString::fromLocal8Bit(*s);
        if (!isFeederSource(source))
            continue;
        if (firstFeeder.isEmpty())
            firstFeeder = source;
        // Both sides of every sheet would double the pages of a one-sided batch.
        if (simplexFeeder.isEmpty() && !source.contains(QLatin1String("Duplex"), Qt::CaseInsensitive) &&
            !source.contains(QLatin1String("Back"), Qt::CaseInsensitive))
            simplexFeeder = source;
    }
    const QString pick = simplexFeeder.isEmpty() ? firstFeeder : simplexFeeder;
    if (pick.isEmpty())
        return {};
    Outcome set = setFromText(handle, name, pick);
    if (set.ok())
        *chosen = pick;
    return set;
}

SANE_Word nearestInRange(SANE_Word wanted, SANE_Word min, SANE_Word max, SANE_Word quant)
{
    if (max < min)
        std::swap(min, max);
    qint64 v = std::clamp<qint64>(wanted, min, max);
    if (quant > 0) {
        const qint64 steps = (v - min + quant / 2) / quant;
        v = min + steps * quant;
        if (v > max)
            v -= quant;
    }
    return SANE_Word(v);
}

Outcome setResolutionNearest(SANE_Handle handle, double dpi)
{
    const QString name = QStringLiteral(SANE_NAME_SCAN_RESOLUTION);
    const int index = find(handle, name);
    const SANE_Option_Descriptor* d = descriptor(handle, index);
    if (!d || !SANE_OPTION_IS_ACTIVE(d->cap) || !SANE_OPTION_IS_SETTABLE(d->cap) ||
        (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED))
        return {};
    const bool fixed = d->type == SANE_TYPE_FIXED;
    const SANE_Word wanted = fixed ? SANE_FIX(dpi) : SANE_Word(std::lround(dpi));
    SANE_Word value = wanted;
    if (d->constraint_type == SANE_CONSTRAINT_RANGE && d->constraint.range) {
        const SANE_Range* r = d->constraint.range;
        value = nearestInRange(wanted, r->min, r->max, r->quant);
    } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list &&
               d->constraint.word_list[0] > 0) {
        const SANE_Word* list = d->constraint.word_list;
        value = list[1];
        for (SANE_Word i = 1; i <= list[0]; ++i) {
            const double here = fixed ? SANE_UNFIX(list[i]) : list[i];
            const double best = fixed ? SANE_UNFIX(value) : value;
            if (std::fabs(here - dpi) < std::fabs(best - dpi))
                value = list[i];
        }
    }
    const size_t count = std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word));
    std::vector<SANE_Word> words(count, value);
    SANE_Int info = 0;
    const SANE_Status status = sane_control_option(handle, index, SANE_ACTION_SET_VALUE, words.data(), &info);
    if (status != SANE_STATUS_GOOD)
        return controlFailed(name, status);
    return {};
}

DeviceOffer readOffer(SANE_Handle handle)
{
    DeviceOffer offer;
    offer.sources = stringChoices(handle, SANE_NAME_SCAN_SOURCE);
    offer.modes = stringChoices(handle, SANE_NAME_SCAN_MODE);
    const SANE_Option_Descriptor* d =
        descriptor(handle, find(handle, QStringLiteral(SANE_NAME_SCAN_RESOLUTION)));
    if (!d || !SANE_OPTION_IS_ACTIVE(d->cap) || !SANE_OPTION_IS_SETTABLE(d->cap) ||
        (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED))
        return offer;
    const auto dpi = [fixed = d->type == SANE_TYPE_FIXED](SANE_Word w) {
        return fixed ? int(std::lround(SANE_UNFIX(w))) : int(w);
    };
    if (d->constraint_type == SANE_CONSTRAINT_RANGE && d->constraint.range) {
        offer.hasRange = true;
        offer.rangeMin = dpi(d->constraint.range->min);
        offer.rangeMax = dpi(d->constraint.range->max);
        offer.rangeStep = dpi(d->constraint.range->quant);
    } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list) {
        for (SANE_Word i = 1; i <= d->constraint.word_list[0]; ++i) {
            const int value = dpi(d->constraint.word_list[i]);
            if (value > 0 && !offer.resolutions.contains(value))
                offer.resolutions << value;
        }
    }
    return offer;
}

} // namespace SaneOptions
