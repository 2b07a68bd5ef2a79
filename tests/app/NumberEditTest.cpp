// The number box lets through only what a decimal number is typed with.

#include "app/NumberEdit.h"

#include <QClipboard>
#include <QDialog>
#include <QSignalSpy>
#include <QtTest>

namespace zelmora {

class NumberEditTest : public QObject {
    Q_OBJECT

private slots:
    void typedTextKeepsOnlyNumberCharacters_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("letters between digits") << "1a2"
                                                << "12";
        QTest::newRow("leading sign and point") << "-.5"
                                                << "-.5";
        QTest::newRow("points anywhere") << "1.2.3"
                                         << "1.2.3";
        QTest::newRow("signs anywhere") << "5--"
                                        << "5--";
        QTest::newRow("no exponent, no blanks") << "1e 5"
                                                << "15";
        QTest::newRow("comma is not a point") << "0,5"
                                              << "05";
        QTest::newRow("plus sign") << "+7"
                                   << "7";
    }

    void typedTextKeepsOnlyNumberCharacters() {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        CNumberEdit edit;
        QTest::keyClicks(&edit, typed);
        QCOMPARE(edit.text(), expected);
    }

    void editingKeysStillWork() {
        CNumberEdit edit;
        QTest::keyClicks(&edit, "123");
        QTest::keyClick(&edit, Qt::Key_Backspace);
        QCOMPARE(edit.text(), QString("12"));
        QTest::keyClick(&edit, Qt::Key_Home);
        QTest::keyClick(&edit, Qt::Key_Delete);
        QCOMPARE(edit.text(), QString("2"));
        QTest::keyClick(&edit, Qt::Key_End);
        QTest::keyClick(&edit, Qt::Key_Left);
        QTest::keyClick(&edit, '9');
        QCOMPARE(edit.text(), QString("92"));
    }

    void controlCharactersAreDropped() {
        CNumberEdit edit;
        QApplication::clipboard()->setText("77");
        QTest::keyClicks(&edit, "12");
        edit.selectAll();
        QTest::keyClick(&edit, Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(&edit, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(edit.text(), QString("12"));
        QCOMPARE(QApplication::clipboard()->text(), QString("77"));
    }

    void programTextIsNotFiltered() {
        CNumberEdit edit;
        edit.setText("abc 1e5");
        QCOMPARE(edit.text(), QString("abc 1e5"));
    }

    void dialogKeysReachTheDialog() {
        QDialog dialog;
        auto* edit = new CNumberEdit(&dialog);
        QSignalSpy rejected(&dialog, &QDialog::rejected);
        dialog.show();
        QTest::keyClick(edit, Qt::Key_Escape);
        QCOMPARE(rejected.count(), 1);
    }

    void textIsBlackOnWhite() {
        QWidget parent;
        QPalette dark;
        dark.setColor(QPalette::Text, Qt::yellow);
        dark.setColor(QPalette::Base, Qt::darkBlue);
        parent.setPalette(dark);
        auto* edit = new CNumberEdit(&parent);
        QCOMPARE(edit->palette().color(QPalette::Active, QPalette::Text), QColor(Qt::black));
        QCOMPARE(edit->palette().color(QPalette::Active, QPalette::Base), QColor(Qt::white));
    }
};

} // namespace zelmora

QTEST_MAIN(zelmora::NumberEditTest)
#include "NumberEditTest.moc"
