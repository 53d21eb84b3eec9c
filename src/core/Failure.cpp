// SPDX-License-Identifier: GPL-3.0-or-later
#include "Failure.h"

#include <cstring>
#include <exception>
#include <new>

QString describeCurrentException()
{
    try {
        throw;
    } catch (const Failure& f) {
        return f.description();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

Outcome Outcome::failed(QString what, QString text, int error)
{
    if (text.isEmpty())
        text = error != 0 ? systemErrorText(error) : QStringLiteral("Unknown error");
    return {std::move(what), error, std::move(text)};
}
