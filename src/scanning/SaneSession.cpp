// SPDX-License-Identifier: GPL-3.0-or-later
#include "SaneSession.h"

#include "Failure.h"
#include "ScanLogging.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex s_mutex;
int s_users = 0;
} // namespace

SaneSession::SaneSession()
{
    QMutexLocker lock(&s_mutex);
    if (s_users == 0) {
        SANE_Int version = 0;
        // sane_init reads SANE_CONFIG_DIR and dll.conf now, not later.
        const SANE_Status status = sane_init(&version, nullptr);
        if (status != SANE_STATUS_GOOD) {
            qCWarning(lcScan) << "sane_init:" << saneText(status);
            throw Failure(
                QStringLiteral("The scanner library could not be started: %1").arg(saneText(status)));
        }
        qCDebug(lcScan) << "SANE started, version" << SANE_VERSION_MAJOR(version)
                        << SANE_VERSION_MINOR(version) << SANE_VERSION_BUILD(version);
    }
    ++s_users;
}

SaneSession::~SaneSession()
{
    QMutexLocker lock(&s_mutex);
    if (--s_users == 0) {
        sane_exit();
        qCDebug(lcScan) << "SANE ended";
    }
}

int SaneSession::users()
{
    QMutexLocker lock(&s_mutex);
    return s_users;
}

QString saneText(SANE_Status status)
{
    return QString::fromLocal8Bit(sane_strstatus(status));
}
