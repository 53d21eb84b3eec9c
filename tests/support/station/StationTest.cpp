#include "StationTest.h"

#include <QDebug>

void StationTest::init()
{
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
