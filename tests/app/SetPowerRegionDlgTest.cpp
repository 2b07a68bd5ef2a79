// The Set Power Region dialog: what it shows, accepts, corrects and refuses.

#include "app/SetPowerRegionDlg.h"

#include "ModalHelper.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>
#include <climits>

namespace zelmora {

class SetPowerRegionDlgTest : public QObject {
    Q_OBJECT

    static QLineEdit* Edit(const CSetPowerRegionDlg& dialog, int id) {
        return qobject_cast<QLineEdit*>(dialog.GetControl(id));
    }

    // Types the four values (min power, max power, min x, max x) and
    // presses "Sure". `message` gets the text of the message shown, if any.
    static void Submit(CSetPowerRegionDlg& dialog, const QStringList& typed, QString& message) {
        const QString& minPower = typed[0];
        const QString& maxPower = typed[1];
        const QString& minX = typed[2];
        const QString& maxX = typed[3];
        const std::pair<int, QString> fields[] = {{CSetPowerRegionDlg::kIdMinPower, minPower},
                                                  {CSetPowerRegionDlg::kIdMaxPower, maxPower},
                                                  {CSetPowerRegionDlg::kIdMinX, minX},
                                                  {CSetPowerRegionDlg::kIdMaxX, maxX}};
        for (const auto& [id, text] : fields) {
            QLineEdit* edit = Edit(dialog, id);
            edit->selectAll();
            QTest::keyClick(edit, Qt::Key_Backspace);
            QTest::keyClicks(edit, text);
        }
        message.clear();
        const test::ModalAnswerer answerer([&message](QWidget& modal) {
            if (auto* box = qobject_cast<QMessageBox*>(&modal)) {
                message = box->text();
                box->accept();
            }
        });
        QTest::mouseClick(dialog.GetControl(CSetPowerRegionDlg::kIdOk), Qt::LeftButton);
        // Nothing modal was shown when the dialog closed by itself.
        QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty() || !dialog.isVisible(), 5000);
    }

    static QString Submit(CSetPowerRegionDlg& dialog, const QStringList& typed) {
        QString message;
        Submit(dialog, typed, message);
        return message;
    }

private slots:
    void showsTheLimitsItIsGiven() {
        CSetPowerRegionDlg dialog;
        dialog.SetRegion(0, 200, 0.0, 0.001);
        dialog.show();
        QCOMPARE(Edit(dialog, CSetPowerRegionDlg::kIdMinPower)->text(), QString("0.0000"));
        QCOMPARE(Edit(dialog, CSetPowerRegionDlg::kIdMaxPower)->text(), QString("0.0010"));
        QCOMPARE(Edit(dialog, CSetPowerRegionDlg::kIdMinX)->text(), QString("0"));
        QCOMPARE(Edit(dialog, CSetPowerRegionDlg::kIdMaxX)->text(), QString("200"));
        QCOMPARE(dialog.windowTitle(), QString("Set Power Region"));
        QVERIFY(
            static_cast<QPushButton*>(dialog.GetControl(CSetPowerRegionDlg::kIdOk))->isDefault());
        QVERIFY(!dialog.IsAccepted());
    }

    void xLimitsAreTruncatedTowardZero() {
        CSetPowerRegionDlg dialog;
        dialog.SetRegion(-12.9, 99.9, 0, 1);
        QCOMPARE(dialog.GetMinX(), -12);
        QCOMPARE(dialog.GetMaxX(), 99);
        dialog.SetRegion(1e300, -1e300, 0, 1);
        QCOMPARE(dialog.GetMinX(), INT_MAX);
        QCOMPARE(dialog.GetMaxX(), INT_MIN);
    }

    void acceptsAndNormalises_data() {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<double>("minPower");
        QTest::addColumn<double>("maxPower");
        QTest::addColumn<int>("minX");
        QTest::addColumn<int>("maxX");
        QTest::newRow("as typed") << QStringList{"0.5", "2", "10", "90"} << 0.5 << 2.0 << 10 << 90;
        QTest::newRow("power span widened to 0.001")
            << QStringList{"1", "1.0004", "0", "200"} << 1.0 << 1.001 << 0 << 200;
        QTest::newRow("max x lowered to 20000")
            << QStringList{"0", "1", "100", "30000"} << 0.0 << 1.0 << 100 << 20000;
        QTest::newRow("x stops at the point")
            << QStringList{"0", "1", "12.5", "40"} << 0.0 << 1.0 << 12 << 40;
        QTest::newRow("negative power")
            << QStringList{"-.5", "-.25", "0", "1"} << -0.5 << -0.25 << 0 << 1;
    }

    void acceptsAndNormalises() {
        QFETCH(QStringList, typed);
        CSetPowerRegionDlg dialog;
        dialog.SetRegion(0, 200, 0.0, 0.001);
        dialog.show();
        QFETCH(double, minPower);
        QFETCH(double, maxPower);
        QFETCH(int, minX);
        QFETCH(int, maxX);
        QCOMPARE(Submit(dialog, typed), QString());
        QVERIFY(dialog.IsAccepted());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.GetMinPower(), minPower);
        QVERIFY(qFuzzyCompare(dialog.GetMaxPower(), maxPower));
        QCOMPARE(dialog.GetMinX(), minX);
        QCOMPARE(dialog.GetMaxX(), maxX);
    }

    void refusesWithAMessageAndStaysOpen_data() {
        QTest::addColumn<QStringList>("typed");
        QTest::newRow("equal powers") << QStringList{"2", "2", "0", "200"};
        QTest::newRow("reversed powers") << QStringList{"3", "2", "0", "200"};
        QTest::newRow("equal x") << QStringList{"0", "1", "50", "50"};
        QTest::newRow("reversed x") << QStringList{"0", "1", "60", "50"};
        QTest::newRow("empty field") << QStringList{"", "1", "0", "200"};
        QTest::newRow("no number") << QStringList{"0", "-", "0", "200"};
        QTest::newRow("x beyond an int") << QStringList{"0", "1", "0", "99999999999"};
        // The clamp of Max X to 20000 must not empty or reverse the range.
        QTest::newRow("x range emptied by the clamp") << QStringList{"0", "1", "20000", "25000"};
        QTest::newRow("x range reversed by the clamp") << QStringList{"0", "1", "25000", "30000"};
    }

    void refusesWithAMessageAndStaysOpen() {
        QFETCH(QStringList, typed);
        CSetPowerRegionDlg dialog;
        dialog.SetRegion(0, 200, 0.0, 0.001);
        dialog.show();
        QCOMPARE(Submit(dialog, typed), QString("Power Value Wrong!"));
        QVERIFY(dialog.isVisible());
        QVERIFY(!dialog.IsAccepted());
        // The texts stay as typed and nothing was stored.
        QCOMPARE(Edit(dialog, CSetPowerRegionDlg::kIdMinX)->text(), typed[2]);
        QCOMPARE(dialog.GetMaxPower(), 0.001);
        QCOMPARE(dialog.GetMaxX(), 200);
        // Corrected, it is accepted.
        QCOMPARE(Submit(dialog, {"0", "1", "0", "100"}), QString());
        QVERIFY(dialog.IsAccepted());
    }

    void cancelChangesNothing() {
        CSetPowerRegionDlg dialog;
        dialog.SetRegion(0, 200, 0.0, 0.001);
        const test::ModalAnswerer answerer([](QWidget& modal) {
            auto& region = static_cast<CSetPowerRegionDlg&>(modal);
            auto* maxX = qobject_cast<QLineEdit*>(region.GetControl(CSetPowerRegionDlg::kIdMaxX));
            maxX->selectAll();
            QTest::keyClicks(maxX, "500");
            QTest::mouseClick(region.GetControl(CSetPowerRegionDlg::kIdCancel), Qt::LeftButton);
        });
        dialog.DoModal();
        QVERIFY(!dialog.IsAccepted());
        QCOMPARE(dialog.GetMaxX(), 200);
    }

    void escapeAndEnter() {
        CSetPowerRegionDlg dialog;
        dialog.SetRegion(0, 200, 0.0, 0.001);
        {
            const test::ModalAnswerer answerer(
                [](QWidget& modal) { QTest::keyClick(&modal, Qt::Key_Escape); });
            dialog.DoModal();
        }
        QVERIFY(!dialog.IsAccepted());

        CSetPowerRegionDlg second;
        second.SetRegion(5, 50, 0.0, 0.5);
        const test::ModalAnswerer answerer([](QWidget& modal) {
            auto& region = static_cast<CSetPowerRegionDlg&>(modal);
            QTest::keyClick(region.GetControl(CSetPowerRegionDlg::kIdMinX), Qt::Key_Return);
        });
        second.DoModal();
        QVERIFY(second.IsAccepted());
        QCOMPARE(second.GetMinX(), 5);
        QCOMPARE(second.GetMaxPower(), 0.5);
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::SetPowerRegionDlgTest)
#include "SetPowerRegionDlgTest.moc"
