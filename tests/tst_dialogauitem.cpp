#include "dialogauitem.h"
#include "modalscript.h"
#include "testsupport.h"

#include <QLineEdit>

class TestDialogAUItem : public QObject {
    Q_OBJECT

private slots:
    void focusOrderKeysAndTextsAsTyped_data();
    void focusOrderKeysAndTextsAsTyped();
};

void TestDialogAUItem::focusOrderKeysAndTextsAsTyped_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");

    for (const char *field : {"obojek", "eid"}) {
        QTest::addRow("Enter in %s", field)
            << field << int(Qt::Key_Return) << int(QDialog::Accepted);
        QTest::addRow("Esc in %s", field) << field << int(Qt::Key_Escape) << int(QDialog::Rejected);
    }
}

void TestDialogAUItem::focusOrderKeysAndTextsAsTyped() {
    QFETCH(QString, field);
    QFETCH(int, key);
    QFETCH(int, result);

    // Blanks, letters and an EID beyond the column's 60 characters all come back untouched.
    const QString typedCollar = "  12a ";
    const QString typedEid(100, QChar('7'));
    DialogAUItem dialog(nullptr);
    QString firstField;
    auto script = answerModals({[&](QWidget *modal) {
        firstField = modal->focusWidget()->objectName();
        QTest::keyClicks(modal->focusWidget(), typedCollar);
        QTest::keyClick(modal->focusWidget(), Qt::Key_Tab);
        QTest::keyClicks(modal->focusWidget(), typedEid);
        auto *edit = modal->findChild<QLineEdit *>(field);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key(key));
    }});
    QCOMPARE(dialog.exec(), result);
    QCOMPARE(script->answered, 1);
    QCOMPARE(firstField, QString("obojek"));

    QString obojek;
    QString eid;
    dialog.getItem(obojek, eid);
    QCOMPARE(obojek, typedCollar);
    QCOMPARE(eid, typedEid);
}

ZIRAVE_TEST_MAIN(TestDialogAUItem)
#include "tst_dialogauitem.moc"
