// SPDX-License-Identifier: GPL-3.0-or-later
// With no scanner at all (an empty dll.conf): the selection dialog says so and
// offers nothing to choose, and opening the scanner reports it. SANE reads its
// configuration when it starts, so this runs in a process of its own whose
// SANE_CONFIG_DIR points at an empty configuration before SANE ever starts.
#include "Failure.h"
#include "ImgScan.h"
#include "SaneSession.h"
#include "SelectScannerDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class TestImgScanNoDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dialogSaysNoScannerWasFound();
    void openWithoutAnyScannerFails();

private:
    QTemporaryDir m_config;
};

void TestImgScanNoDevice::initTestCase()
{
    QCOMPARE(SaneSession::users(), 0);
    QVERIFY(m_config.isValid());
    QFile dll(m_config.filePath(QStringLiteral("dll.conf")));
    QVERIFY(dll.open(QIODevice::WriteOnly));
    dll.close();
    qputenv("SANE_CONFIG_DIR", QFile::encodeName(m_config.path()));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"))
        .remove(QStringLiteral("Scanner/device"));
}

void TestImgScanNoDevice::dialogSaysNoScannerWasFound()
{
    bool found = false;
    QString message;
    int listed = -1;
    bool okEnabled = true;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog->objectName() != QLatin1String("SelectScannerDialog"))
            return;
        found = true;
        if (const auto* label = dialog->findChild<QLabel*>(QStringLiteral("messageLabel")))
            message = label->text();
        if (auto* list = dialog->findChild<QListWidget*>(QStringLiteral("deviceList")))
            listed = list->count();
        auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        if (box) {
            okEnabled = box->button(QDialogButtonBox::Ok)->isEnabled();
            // OK does nothing while it is disabled; Cancel closes.
            box->button(QDialogButtonBox::Ok)->click();
            box->button(QDialogButtonBox::Cancel)->click();
        } else {
            dialog->close();
        }
    });
    ImgScan scan;
    showSelectScanner(scan, nullptr);
    QVERIFY(found);
    QCOMPARE(message, QStringLiteral("No scanner was found."));
    QCOMPARE(listed, 0);
    QVERIFY(!okEnabled);
    QCOMPARE(ImgScan::storedDevice(), QString());
    QCOMPARE(SaneSession::users(), 0);
}

void TestImgScanNoDevice::openWithoutAnyScannerFails()
{
    ImgScan scan;
    QString failure;
    try {
        scan.OpenScanner();
    } catch (const Failure& f) {
        failure = f.description();
    }
    QCOMPARE(failure, QStringLiteral("No scanner was found."));
    QCOMPARE(scan.deviceName(), QString());
    QCOMPARE(SaneSession::users(), 0);
}

QTEST_MAIN(TestImgScanNoDevice)
#include "tst_imgscan_nodevice.moc"
