// SPDX-License-Identifier: GPL-3.0-or-later
// What the end-to-end scenarios share: a station (program folder, read-from
// folder, receiver inbox), the document ledger that checks the office's
// invariant after every scenario, and small helpers (converters, TIFF pages,
// a relay that can take an address down and bring it back).
//
// The invariant: every document is either filed exactly once, byte-exact, or
// still in the read-from folder, byte-exact; nothing else is left there (no
// copy, no partial file, no PDF of a failed conversion), and the window still
// answers a Force Transfer.
#pragma once

#include "Peers.h"
#include "Settings.h"
#include "Station.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

class QTcpSocket;

namespace E2e {

QByteArray sha(const QByteArray& bytes);

// The shared station and wait (tests/support/Station.h).
using ::Station;
using ::waitUntil;

/// The pass that the last Force Transfer or tick started has ended.
bool passEnded(const frmMain& w);
/// Clicks the Force Transfer button of the tab in view and waits for the status
/// box to react (the box is emptied and written afresh). False when it did not.
bool answersForceTransfer(frmMain& w);
/// Presses Force Transfer, pass after pass, until the read-from folder holds no file
/// (or ms pass); later passes take what an earlier one held back.
bool forceTransferUntilEmpty(frmMain& w, const Station& st, int ms = 30000);

/// A shell script put where the converter belongs.
void installScriptConverter(const QString& prog, const QByteArray& script);
/// The real converter built with the program, linked into the program folder.
bool installRealConverter(const QString& prog);
/// A small real TIFF page (8-bit grey, Deflate) written with libtiff; seed varies its pixels.
QByteArray makeTiff(int width, int height, int seed);

/// One line per scenario for the issue note.
struct Tally
{
    int filed = 0;
    int kept = 0;
    int duplicates = 0;
    int lost = 0;
    int corrupt = 0;          ///< received under a document's name with other content
    QStringList strays;       ///< files in the folder that are no document
    QStringList unknownFiled; ///< files the office filed that are no document
    QStringList details;      ///< what went wrong, per document

    bool sound() const
    {
        return duplicates == 0 && lost == 0 && corrupt == 0 && strays.isEmpty() && unknownFiled.isEmpty();
    }
    QString line(const QString& scenario) const;
    QString explain() const;
};

class Ledger
{
public:
    explicit Ledger(const Station& station) : m_station(station) {}

    /// Registers a document already in the read-from folder (or about to be) with its content.
    void add(const QString& rel, const QByteArray& content);
    /// Puts the document into the folder and registers it.
    bool put(const QString& rel, const QByteArray& content);
    /// A document too big to keep in memory, by the sha256 (hex) of its content.
    void addSha(const QString& rel, const QByteArray& contentSha);
    /// A TIFF: filed once a PDF named after it was filed and the TIFF is gone.
    void addTiff(const QString& rel, const QByteArray& content);
    /// A TIFF written by someone else (the scanner): content not known beforehand.
    void addScannedTiff(const QString& rel);
    /// An earlier version of a document that the office has filed: its record is
    /// accounted for, and the document itself is judged by its present content.
    void addFiledVersion(const QString& rel, const QByteArray& content);
    /// The content of a document changed (a writer appended to it).
    void update(const QString& rel, const QByteArray& content);
    /// A path the scenario made on purpose that is no document (a link, a FIFO).
    void allowExtra(const QString& rel);
    /// A document that cannot be deleted: once filed, it may stay in the folder.
    void mayStay(const QString& rel);
    int size() const { return int(m_docs.size()); }

    Tally check(const TestSupport::ReceiverPeer& receiver) const;

private:
    struct Doc
    {
        QByteArray content;
        bool tiff = false;
        bool contentKnown = true;
        bool mayStay = false;
    };
    const Station& m_station;
    QMap<QString, Doc> m_docs;
    QSet<QString> m_extras;
    QMap<QString, QByteArray> m_filedVersions; // wire name -> sha
};

/// A loopback address in front of another port that can be taken down (connections
/// refused) and brought back on the very same port.
class Relay : public QObject
{
    Q_OBJECT
public:
    explicit Relay(quint16 target);
    ~Relay() override;
    bool up();
    void down();
    quint16 port() const { return m_port; }

private:
    void accept();
    quint16 m_target;
    quint16 m_port = 0;
    QTcpServer m_server;
    QList<QTcpSocket*> m_sockets;
};

} // namespace E2e

/// Checks the invariant, prints the scenario's line, and fails the test when it does not hold.
#define E2E_CHECK(ledger, receiver, scenario, tallyOut)                                                      \
    do {                                                                                                     \
        tallyOut = (ledger).check(receiver);                                                                 \
        qInfo().noquote() << tallyOut.line(scenario);                                                        \
        QVERIFY2(tallyOut.sound(), qPrintable(tallyOut.explain()));                                          \
    } while (false)
