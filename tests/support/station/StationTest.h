// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture of the tests that drive whole transfer passes through the real
// window: a fresh station and receiving page for every test function, torn down
// window first (its requests end before the page goes), and the window started
// once the test has put its files in place. A test class derives from it and
// QtTest runs the inherited init() and cleanup().
#pragma once

#include "DesktopBus.h"
#include "Peers.h"
#include "Station.h"
#include "frmMain.h"

#include <QObject>

#include <memory>

class StationTest : public QObject
{
    Q_OBJECT
protected slots:
    void initTestCase();
    void init();
    void cleanup();

protected:
    /// Starts the receiving page on st->inbox, points settings.txt at its filing
    /// address and opens the window. False (with the reason logged) when the page
    /// could not start.
    bool startAll(const TestSupport::ReceiverOptions& options = {});

    std::unique_ptr<Station> st;
    std::unique_ptr<TestSupport::ReceiverPeer> receiver;
    std::unique_ptr<frmMain> w;
    /// What the desktop was told during the test.
    StandInNotifications desktop;

private:
    PrivateSessionBus m_bus;
};
