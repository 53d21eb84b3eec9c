// SPDX-License-Identifier: GPL-3.0-or-later
#include "E2e.h"

#include "StatusBox.h"
#include "UploadRequest.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpSocket>
#include <QWidget>

#include <tiffio.h>

namespace E2e {

QByteArray sha(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

namespace {

// The sha256 of a file, read in pieces (documents can be a GiB); empty when unreadable.
QByteArray fileSha(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!h.addData(&f))
        return {};
    return h.result().toHex();
}

} // namespace

// ---- Station -------------------------------------------------------------------------------

// ---- window helpers ------------------------------------------------------------------------

bool passEnded(const frmMain& w)
{
    return !w.uploadInFlight() &&
           w.statusText().startsWith(QLatin1String("----Finished Processing Scans----"));
}

bool forceTransferUntilEmpty(frmMain& w, const Station& st, int ms)
{
    return waitUntil(
        [&] {
            QTest::mouseClick(w.CmdStartTransfer[0], Qt::LeftButton);
            return waitUntil([&] { return passEnded(w); }) && QDir(st.scans).entryList(QDir::Files).isEmpty();
        },
        ms);
}

bool answersForceTransfer(frmMain& w)
{
    const QString marker = QStringLiteral("e2e: before the liveness click");
    w.Text1->prepend(marker);
    QPushButton* button =
        w.CmdStartTransfer[0]->isVisibleTo(&w) ? w.CmdStartTransfer[0] : w.CmdStartTransfer[1];
    QTest::mouseClick(button, Qt::LeftButton);
    return waitUntil([&] { return !w.statusText().contains(marker) && !w.statusText().isEmpty(); }, 10000);
}

void installScriptConverter(const QString& prog, const QByteArray& script)
{
    const QString path = prog + QStringLiteral("/tiff2pdf");
    QFile::remove(path);
    TestSupport::writeFile(path, "#!/bin/sh\n" + script);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool installRealConverter(const QString& prog)
{
    const QString path = prog + QStringLiteral("/tiff2pdf");
    QFile::remove(path);
    return QFile::link(TestSupport::binDir() + QStringLiteral("/tiff2pdf"), path);
}

QByteArray makeTiff(int width, int height, int seed)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path() + QStringLiteral("/page.tif"));
    TIFF* tif = TIFFOpen(path.constData(), "w");
    if (!tif)
        return {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISBLACK));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 100.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 100.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_INCH));
    QByteArray row(width, '\0');
    bool ok = true;
    for (int y = 0; y < height && ok; ++y) {
        for (int x = 0; x < width; ++x)
            row[x] = char((x * 7 + y * 3 + seed * 31) & 0xff);
        ok = TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) == 1;
    }
    TIFFClose(tif);
    return ok ? TestSupport::readFile(QFile::decodeName(path)) : QByteArray();
}

// ---- Ledger --------------------------------------------------------------------------------

void Ledger::add(const QString& rel, const QByteArray& content)
{
    m_docs.insert(rel, Doc{sha(content), false, true});
}

bool Ledger::put(const QString& rel, const QByteArray& content)
{
    add(rel, content);
    return m_station.put(rel, content);
}

void Ledger::addTiff(const QString& rel, const QByteArray& content)
{
    m_docs.insert(rel, Doc{sha(content), true, true});
}

void Ledger::addScannedTiff(const QString& rel)
{
    m_docs.insert(rel, Doc{{}, true, false});
}

void Ledger::addSha(const QString& rel, const QByteArray& contentSha)
{
    m_docs.insert(rel, Doc{contentSha, false, true});
}

void Ledger::addFiledVersion(const QString& rel, const QByteArray& content)
{
    m_filedVersions.insert(UploadRequest::wireFileName(rel), sha(content));
}

void Ledger::update(const QString& rel, const QByteArray& content)
{
    m_docs[rel].content = sha(content);
}

void Ledger::mayStay(const QString& rel)
{
    m_docs[rel].mayStay = true;
}

void Ledger::allowExtra(const QString& rel)
{
    m_extras.insert(rel);
}

Tally Ledger::check(const TestSupport::ReceiverPeer& receiver) const
{
    Tally t;
    const QList<TestSupport::ReceivedUpload> records = receiver.records();
    QList<bool> claimed(records.size(), false);
    QSet<QString> accounted; // files in the folder that stand for a document (a TIFF's PDF)
    // Each earlier version accounts for one record; a second one is left to show up.
    for (auto v = m_filedVersions.cbegin(); v != m_filedVersions.cend(); ++v) {
        for (int i = 0; i < records.size(); ++i) {
            if (!claimed[i] && records[i].filename == v.key() && records[i].sha256 == v.value() &&
                !records[i].storedPath.isEmpty()) {
                claimed[i] = true;
                break;
            }
        }
    }

    for (auto it = m_docs.cbegin(); it != m_docs.cend(); ++it) {
        const QString& rel = it.key();
        const Doc& doc = it.value();
        int good = 0;
        QString keptPdf;
        if (doc.tiff) {
            // The PDF takes the TIFF's name up to its first dot, at the top of the folder,
            // with "-2", "-3" ... when that name was taken.
            const QString stem = UploadRequest::splitEntry(rel).dotPieces.value(0);
            const QRegularExpression pdfName(
                QStringLiteral("^") + QRegularExpression::escape(UploadRequest::wireFileName(u'/' + stem)) +
                QStringLiteral("(-[0-9]+)?\\.pdf$"));
            for (int i = 0; i < records.size(); ++i) {
                const auto& r = records[i];
                if (claimed[i] || r.storedPath.isEmpty() || !pdfName.match(r.filename).hasMatch())
                    continue;
                claimed[i] = true;
                if (TestSupport::readFile(r.storedPath).startsWith("%PDF-") &&
                    fileSha(r.storedPath) == r.sha256) {
                    ++good;
                } else {
                    ++t.corrupt;
                    t.details << QStringLiteral("%1: stored %2 is no whole PDF").arg(rel, r.storedPath);
                }
            }
            // Converted but not filed yet: the TIFF lives on as its PDF at the top of the folder.
            // (While the TIFF is still there, a PDF named after it is a leftover: a stray.)
            const QStringList topFiles = QFileInfo::exists(m_station.file(rel))
                                             ? QStringList()
                                             : QDir(m_station.scans).entryList(QDir::Files | QDir::Hidden);
            for (const QString& name : topFiles) {
                const QString pdf = m_station.file(u'/' + name);
                if (!pdfName.match(UploadRequest::wireFileName(u'/' + name)).hasMatch() ||
                    accounted.contains(u'/' + name))
                    continue;
                const QByteArray bytes = TestSupport::readFile(pdf);
                if (bytes.startsWith("%PDF-") && bytes.right(1024).contains("%%EOF")) {
                    keptPdf = u'/' + name;
                    accounted.insert(keptPdf);
                    break;
                }
            }
        } else {
            const QString wire = UploadRequest::wireFileName(rel);
            for (int i = 0; i < records.size(); ++i) {
                const auto& r = records[i];
                if (claimed[i] || r.storedPath.isEmpty() || r.filename != wire)
                    continue;
                claimed[i] = true;
                // What the office stored must be the document, byte for byte.
                if (r.sha256 == doc.content && fileSha(r.storedPath) == doc.content) {
                    ++good;
                } else {
                    ++t.corrupt;
                    t.details
                        << QStringLiteral("%1: filed with other content (%2 bytes)").arg(rel).arg(r.size);
                }
            }
        }

        const QString path = m_station.file(rel);
        const QFileInfo info(path);
        const bool present = info.exists() || info.isSymLink();
        const bool exact = present && info.isFile() && !info.isSymLink() &&
                           (!doc.contentKnown || fileSha(path) == doc.content);
        if (good >= 2) {
            ++t.duplicates;
            t.details << QStringLiteral("%1: filed %2 times").arg(rel).arg(good);
        } else if (good == 1 && present && !doc.mayStay) {
            ++t.duplicates;
            t.details << QStringLiteral("%1: filed and still in the folder").arg(rel);
        } else if (good == 1 && !keptPdf.isEmpty() && !doc.mayStay) {
            ++t.duplicates;
            t.details << QStringLiteral("%1: filed, and its PDF %2 is still in the folder").arg(rel, keptPdf);
        } else if (good == 1) {
            ++t.filed;
        } else if (exact || (!present && !keptPdf.isEmpty())) {
            ++t.kept;
        } else {
            ++t.lost;
            t.details << (present ? QStringLiteral("%1: changed in the folder, never filed").arg(rel)
                                  : QStringLiteral("%1: gone from the folder, never filed").arg(rel));
        }
    }

    for (int i = 0; i < records.size(); ++i)
        if (!claimed[i] && !records[i].storedPath.isEmpty())
            t.unknownFiled << records[i].filename;

    QDirIterator walk(m_station.scans, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QString path = walk.next();
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink())
            continue;
        const QString rel = path.mid(m_station.scans.size());
        if (!m_docs.contains(rel) && !m_extras.contains(rel) && !accounted.contains(rel))
            t.strays << rel;
    }
    return t;
}

QString Tally::line(const QString& scenario) const
{
    return QStringLiteral("E2E %1: filed=%2 kept=%3 duplicates=%4 lost=%5 corrupt=%6 strays=%7")
        .arg(scenario)
        .arg(filed)
        .arg(kept)
        .arg(duplicates)
        .arg(lost)
        .arg(corrupt)
        .arg(strays.size() + unknownFiled.size());
}

QString Tally::explain() const
{
    QStringList out = details;
    for (const QString& s : strays)
        out << QStringLiteral("stray file in the folder: %1").arg(s);
    for (const QString& s : unknownFiled)
        out << QStringLiteral("the office filed something that is no document: %1").arg(s);
    return out.join(u'\n');
}

// ---- Relay ---------------------------------------------------------------------------------

Relay::Relay(quint16 target) : m_target(target)
{
    connect(&m_server, &QTcpServer::newConnection, this, &Relay::accept);
}

Relay::~Relay()
{
    down();
}

bool Relay::up()
{
    if (m_server.isListening())
        return true;
    if (!m_server.listen(QHostAddress::LocalHost, m_port))
        return false;
    m_port = m_server.serverPort();
    return true;
}

void Relay::down()
{
    m_server.close();
    const QList<QTcpSocket*> sockets = m_sockets;
    m_sockets.clear();
    for (QTcpSocket* s : sockets) {
        s->abort();
        s->deleteLater();
    }
}

void Relay::accept()
{
    while (QTcpSocket* in = m_server.nextPendingConnection()) {
        auto* out = new QTcpSocket(this);
        in->setParent(this);
        m_sockets << in << out;
        auto pending = std::make_shared<QByteArray>();
        connect(in, &QTcpSocket::readyRead, out, [in, out, pending] {
            if (out->state() == QAbstractSocket::ConnectedState)
                out->write(in->readAll());
            else
                *pending += in->readAll();
        });
        connect(out, &QTcpSocket::connected, in, [out, pending] {
            out->write(*pending);
            pending->clear();
        });
        connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
        // Either side ending ends the other, once what it sent has been passed on.
        connect(out, &QTcpSocket::disconnected, in, [in, out] {
            in->write(out->readAll());
            in->disconnectFromHost();
        });
        connect(in, &QTcpSocket::disconnected, out, [in, out] {
            out->write(in->readAll());
            out->disconnectFromHost();
        });
        connect(out, &QTcpSocket::errorOccurred, in, [in](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError)
                in->abort();
        });
        out->connectToHost(QHostAddress::LocalHost, m_target);
    }
}

} // namespace E2e
