#include "appsettings.h"
#include "mainwindow.h"
#include "modalscript.h"
#include "registerfixture.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

using namespace RegisterFixture;

namespace {
// Fills the record dialog and confirms it, or with a null collar cancels it; keeps what it showed.
std::function<void(QWidget *)> answerRecord(const QString &collar, const QString &eid,
                                            QStringList *shown = nullptr) {
    return [=](QWidget *modal) {
        auto *obojek = modal->findChild<QLineEdit *>("obojek");
        auto *eidEdit = modal->findChild<QLineEdit *>("eid");
        if (shown)
            *shown = QStringList{modal->windowTitle(), obojek->text(), eidEdit->text()};
        obojek->setText(collar);
        eidEdit->setText(eid);
        collar.isNull() ? static_cast<QDialog *>(modal)->reject()
                        : static_cast<QDialog *>(modal)->accept();
    };
}

std::function<void(QWidget *)> answerWarning(QString *text) {
    return [=](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        *text = box && box->icon() == QMessageBox::Warning ? box->text() : "no warning";
        static_cast<QDialog *>(modal)->reject();
    };
}

// "id:obojek:eid" in id order; an obojek that SQLite did not keep as an integer is marked.
QStringList storedRows() {
    QStringList rows;
    withDatabase([&](QSqlDatabase &db) {
        QSqlQuery query("select id,obojek,eid,typeof(obojek) from obojky order by id", db);
        while (query.next())
            rows << QStringList{query.value(0).toString(), query.value(1).toString(),
                                query.value(2).toString()}
                            .join(':') +
                        (query.value(3) == "integer" ? "" : " (text)");
    });
    return rows;
}

// Types the order number into the prompt and ends it with key; keeps what the prompt showed.
std::function<void(QWidget *)> answerOrderNumber(const QString &typed, int key,
                                                 QString *prompt = nullptr) {
    return [=](QWidget *modal) {
        auto *input = qobject_cast<QInputDialog *>(modal);
        if (prompt)
            *prompt = input->windowTitle() + "|" + input->labelText() + "|" + input->textValue();
        QTest::keyClicks(input->findChild<QLineEdit *>(), typed);
        QTest::keyClick(input->findChild<QLineEdit *>(), Qt::Key(key));
    };
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void selectCollar(QTableView *view, const QString &collar) {
    view->selectRow(columnTexts(view, 1).indexOf(collar));
    QCOMPARE(selectedCollar(view), collar);
}
} // namespace

class TestRegister : public QObject {
    Q_OBJECT

private slots:
    void init();
    void addAndEdit_data();
    void addAndEdit();
    void editAndDeleteActOnTheSelectedRecordWhenSorted_data();
    void editAndDeleteActOnTheSelectedRecordWhenSorted();
    void deletingTheLastRecordLeavesNothingToEdit();
    void refreshSelectsTheStoredNumberInALargeSortedRegister();
    void newOrder_data();
    void newOrder();
    void refusedDeletionIsReported_data();
    void refusedDeletionIsReported();
    void eidThatBreaksTheOrderFileIsRefused_data();
    void eidThatBreaksTheOrderFileIsRefused();
    void newOrderWithAnEmptyRegisterArchivesNothing();
    void newOrderChangesNothingWhenTheArchiveCannotBeWritten();

private:
    std::unique_ptr<MainWindow> m_window;
    QTableView *m_view = nullptr;
    void open() {
        m_window = std::make_unique<MainWindow>();
        m_view = m_window->findChild<QTableView *>("tableView");
    }
    void click(const QString &button) { m_window->findChild<QPushButton *>(button)->click(); }
};

void TestRegister::init() {
    m_window.reset();
    QDir(archiveDirectory()).removeRecursively();
    QFile::remove(archiveDirectory());
    clearRegister();
    fillRegister({{5, "E5"}, {2, "E2"}});
}

void TestRegister::addAndEdit_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QStringList>("stored");

    const QString duplicate = "Obojek číslo 5 už v objednávce je.";
    const QString notANumber = "Číslo obojku musí být celé číslo.";
    const QStringList unchanged{"1:5:E5", "2:2:E2"};
    for (const QString button : {"add", "edit"}) {
        const QString stored = button == "add" ? "1:5:E5|2:2:E2|3:7: E " : "1:5:E5|2:7: E ";
        QTest::addRow("%s blanks and zeros", qPrintable(button))
            << button << " 007 " << QString() << stored.split('|');
        QTest::addRow("%s duplicate", qPrintable(button))
            << button << "5" << duplicate << unchanged;
        QTest::addRow("%s empty", qPrintable(button)) << button << "" << notANumber << unchanged;
        QTest::addRow("%s 12a", qPrintable(button)) << button << "12a" << notANumber << unchanged;
        QTest::addRow("%s beyond 64 bits", qPrintable(button))
            << button << "99999999999999999999" << notANumber << unchanged;
    }
    QTest::newRow("add refused by a trigger") << "add"
                                              << "8"
                                              << "objednávka je uzavřena" << unchanged;
}

// A refused record is offered again with the texts as typed; Cancel then ends the command.
void TestRegister::addAndEdit() {
    QFETCH(QString, button);
    QFETCH(QString, typed);
    QFETCH(QString, warning);
    QFETCH(QStringList, stored);

    if (QTest::currentDataTag() == QString("add refused by a trigger")) {
        withDatabase([](QSqlDatabase &db) {
            QSqlQuery("create trigger closed before insert on obojky "
                      "begin select raise(abort, 'objednávka je uzavřena'); end",
                      db);
        });
    }
    open();
    selectCollar(m_view, "2");
    const QString title = button == "add" ? "Přidání záznamu" : "Oprava záznamu";
    QStringList first;
    QStringList again;
    QString shownWarning;
    QList<std::function<void(QWidget *)>> answers{answerRecord(typed, " E ", &first)};
    if (!warning.isEmpty())
        answers << answerWarning(&shownWarning) << answerRecord(QString(), QString(), &again);
    auto script = answerModals(answers);
    click(button);
    QCOMPARE(first, QStringList({title, button == "add" ? "" : "2", button == "add" ? "" : "E2"}));
    QCOMPARE(storedRows(), stored);
    if (warning.isEmpty()) {
        QCOMPARE(script->answered, 1);
        QCOMPARE(selectedCollar(m_view), QString("7"));
    } else {
        QCOMPARE(script->answered, 3);
        QVERIFY2(shownWarning.contains(warning), qPrintable(shownWarning));
        QCOMPARE(again, QStringList({title, typed, " E "}));
        QCOMPARE(selectedCollar(m_view), QString("2"));
    }
}

void TestRegister::editAndDeleteActOnTheSelectedRecordWhenSorted_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<Qt::SortOrder>("order");
    QTest::newRow("EID descending") << 2 << Qt::DescendingOrder;
    QTest::newRow("collar number ascending") << 1 << Qt::AscendingOrder;
}

void TestRegister::editAndDeleteActOnTheSelectedRecordWhenSorted() {
    QFETCH(int, column);
    QFETCH(Qt::SortOrder, order);

    fillRegister({{1, "E9"}, {3, "E1"}});
    open();
    m_view->horizontalHeader()->setSortIndicator(column, order);
    selectCollar(m_view, "1");
    QStringList shown;
    auto script = answerModals({answerRecord("11", "E11", &shown)});
    click("edit");
    QCOMPARE(shown.mid(1), QStringList({"1", "E9"}));
    QCOMPARE(selectedCollar(m_view), QString("11"));

    selectCollar(m_view, "2");
    click("del");
    QCOMPARE(storedRows(), QStringList({"1:5:E5", "3:11:E11", "4:3:E1"}));
    QCOMPARE(m_view->selectionModel()->selectedRows().first().row(), 0);
}

void TestRegister::deletingTheLastRecordLeavesNothingToEdit() {
    open();
    click("del");
    click("del");
    QCOMPARE(storedRows(), QStringList());
    QVERIFY(m_view->selectionModel()->selectedRows().isEmpty());

    auto script = answerModals({answerRecord("1", "")}, 0);
    click("edit");
    QTRY_VERIFY(script->finished);
    QCOMPARE(script->answered, 0);
}

void TestRegister::refreshSelectsTheStoredNumberInALargeSortedRegister() {
    QList<QPair<QVariant, QVariant>> rows;
    for (int collar = 10; collar < 600; ++collar)
        rows.append({collar, QString::number(100000 + collar)});
    fillRegister(rows);
    open();
    m_view->horizontalHeader()->setSortIndicator(1, Qt::DescendingOrder);

    // The record added last comes last in the register query.
    auto script = answerModals({answerRecord("900", "1")});
    click("add");
    QCOMPARE(selectedCollar(m_view), QString("900"));
    QCOMPARE(m_view->selectionModel()->selectedRows().first().row(), 0);

    selectCollar(m_view, "300");
    script = answerModals({answerRecord("901", "2")});
    click("edit");
    QCOMPARE(selectedCollar(m_view), QString("901"));
    QCOMPARE(m_view->selectionModel()->selectedRows().first().row(), 0);
}

void TestRegister::newOrder_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QByteArray>("archived");

    // Ids go on above the highest ever used, also when the register was emptied.
    const QStringList emptied{"3:50:N"};
    // The register before the new order, in the model's order, under the previous number.
    const QByteArray previous = withPlatformLineEnds("czv;obojek;eid\n;5;E5\n;2;E2\n");
    QTest::newRow("Esc") << int(Qt::Key_Escape) << "18"
                         << "17" << QStringList{"1:5:E5", "2:2:E2", "3:50:N"} << QByteArray();
    QTest::newRow("new number") << int(Qt::Key_Return) << "18"
                                << "18" << emptied << previous;
    QTest::newRow("same number") << int(Qt::Key_Return) << "17"
                                 << "17" << emptied << previous;
    QTest::newRow("empty text") << int(Qt::Key_Return) << ""
                                << "" << emptied << previous;
}

void TestRegister::newOrder() {
    QFETCH(int, key);
    QFETCH(QString, typed);
    QFETCH(QString, label);
    QFETCH(QStringList, stored);
    QFETCH(QByteArray, archived);

    AppSettings().setValue("orderno", "17");
    open();
    QCOMPARE(m_window->findChild<QLabel *>("objednavka")->text(), QString("17"));
    QString prompt;
    auto script = answerModals({answerOrderNumber(typed, key, &prompt)});
    click("neworder");
    QCOMPARE(prompt, QString("Zirave|Číslo nové objednávky?|"));
    QCOMPARE(m_window->findChild<QLabel *>("objednavka")->text(), label);
    // Stored at once, not only at exit, so that a crash cannot bring the old number back.
    QCOMPARE(AppSettings().value("orderno").toString(), label);
    QCOMPARE(m_view->selectionModel()->selectedRows().isEmpty(), stored.size() == 1);

    const QStringList entries = archiveEntries();
    if (archived.isNull()) {
        QCOMPARE(entries, QStringList());
    } else {
        QCOMPARE(entries.size(), 1);
        QVERIFY2(QRegularExpression("^\\d{8}_\\d{6}_17_nova\\.csv$").match(entries[0]).hasMatch(),
                 qPrintable(entries[0]));
        QCOMPARE(fileBytes(archiveDirectory() + "/" + entries[0]), archived);
    }

    script = answerModals({answerRecord("50", "N")});
    click("add");
    QCOMPARE(storedRows(), stored);
}

void TestRegister::refusedDeletionIsReported_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("delete") << "del";
    QTest::newRow("new order") << "neworder";
}

// The database refuses to delete (locked, read-only): the user is told why, and nothing looks
// deleted; a new order keeps its old number, which would otherwise go out with the old records.
void TestRegister::refusedDeletionIsReported() {
    QFETCH(QString, button);

    withDatabase([](QSqlDatabase &db) {
        QVERIFY(QSqlQuery(db).exec("create trigger kept before delete on obojky "
                                   "begin select raise(abort, 'objednávka je zamčena'); end"));
    });
    AppSettings().setValue("orderno", "17");
    open();
    QString warning;
    QList<std::function<void(QWidget *)>> answers{answerWarning(&warning)};
    if (button == "neworder")
        answers.prepend(answerOrderNumber("18", Qt::Key_Return));
    auto script = answerModals(answers);
    click(button);
    QCOMPARE(script->answered, answers.size());
    QVERIFY2(warning.contains("objednávka je zamčena"), qPrintable(warning));
    QCOMPARE(storedRows(), QStringList({"1:5:E5", "2:2:E2"}));
    QCOMPARE(m_view->model()->rowCount(), 2);
    QCOMPARE(m_window->findChild<QLabel *>("objednavka")->text(), QString("17"));
    QCOMPARE(AppSettings().value("orderno").toString(), QString("17"));
}

void TestRegister::eidThatBreaksTheOrderFileIsRefused_data() {
    QTest::addColumn<QString>("eid");
    QTest::addColumn<QString>("warning");
    QTest::newRow("semicolon") << "98;7"
                               << "EID nesmí obsahovat středník (;).";
    QTest::newRow("line feed") << "98\n7"
                               << "EID nesmí obsahovat konec řádku.";
    QTest::newRow("carriage return") << "98\r7"
                                     << "EID nesmí obsahovat konec řádku.";
}

void TestRegister::eidThatBreaksTheOrderFileIsRefused() {
    QFETCH(QString, eid);
    QFETCH(QString, warning);

    open();
    QString shownWarning;
    QStringList again;
    auto script = answerModals({answerRecord("8", eid), answerWarning(&shownWarning),
                                answerRecord(QString(), QString(), &again)});
    click("add");
    QCOMPARE(script->answered, 3);
    QCOMPARE(shownWarning, warning);
    QCOMPARE(again, QStringList({"Přidání záznamu", "8", eid}));
    QCOMPARE(storedRows(), QStringList({"1:5:E5", "2:2:E2"}));
}

void TestRegister::newOrderWithAnEmptyRegisterArchivesNothing() {
    withDatabase([](QSqlDatabase &db) { QVERIFY(QSqlQuery(db).exec("delete from obojky")); });
    open();
    auto script = answerModals({answerOrderNumber("18", Qt::Key_Return)});
    click("neworder");
    QCOMPARE(m_window->findChild<QLabel *>("objednavka")->text(), QString("18"));
    QVERIFY(!QFileInfo::exists(archiveDirectory()));
}

// A file standing where the archive folder belongs: the order must not be lost.
void TestRegister::newOrderChangesNothingWhenTheArchiveCannotBeWritten() {
    {
        QFile blocker(archiveDirectory());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    open();
    m_window->findChild<QLabel *>("objednavka")->setText("17");
    QString warning;
    auto script = answerModals({answerOrderNumber("18", Qt::Key_Return), answerWarning(&warning)});
    click("neworder");
    QCOMPARE(script->answered, 2);
    QVERIFY2(warning.contains("nebyla založena") &&
                 warning.contains(QDir::toNativeSeparators(archiveDirectory() + "/")) &&
                 warning.contains("_17_nova.csv") && warning.contains("Na místě složky"),
             qPrintable(warning));
    QCOMPARE(m_window->findChild<QLabel *>("objednavka")->text(), QString("17"));
    QCOMPARE(storedRows(), QStringList({"1:5:E5", "2:2:E2"}));
    QCOMPARE(columnTexts(m_view, 1).size(), 2);
}

ZIRAVE_TEST_MAIN(TestRegister)
#include "tst_register.moc"
