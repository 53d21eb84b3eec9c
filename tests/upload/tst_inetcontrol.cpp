#include <QTest>
class tst_InetControl : public QObject
{
    Q_OBJECT
private slots:
    void notYetWritten() { QSKIP("being written"); }
};
QTEST_GUILESS_MAIN(tst_InetControl)
#include "tst_inetcontrol.moc"
