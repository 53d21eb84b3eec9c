// SPDX-License-Identifier: GPL-3.0-or-later
#include "StationTest.h"

#include <QDebug>
#include <QTest>

void StationTest::initTestCase()
{
    // Notifications go to a stand-in on a bus of the test's own, never to a
    // desktop the tests happen to run on.
    const QString why = m_bus.start();
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QVERIFY(m_bus.offerNotifications(desktop));
}

void StationTest::init()
{
    desktop.shown.clear();
    st = std::make_unique<Station>();
    receiver = std::make_unique<TestSupport::ReceiverPeer>();
}

void StationTest::cleanup()
{
    w.reset();
    receiver.reset();
    st.reset();
}

bool StationTest::startAll(const TestSupport::ReceiverOptions& options)
{
    if (!receiver->start(st->inbox, options)) {
        qWarning() << receiver->errorString();
        return false;
    }
    st->writeSettings(receiver->url(QStringLiteral("/district/saveTAVscan.asp")).toString());
    w = st->start();
    return true;
}
