#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "dialogauitem.h"
#include "mysqlquerymodel.h"
#include "orderarchive.h"
#include "orderattachment.h"
#include "qmysortfilterproxymodel.h"
#include "recordtext.h"

#include <QDir>
#include <QInputDialog>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {
const char insertStatement[] = "insert into obojky(obojek,eid) values (?,?)";
const char updateStatement[] = "update obojky set obojek=?,eid=? where id=?";
const char deleteStatement[] = "delete from obojky where id=";
const char deleteAllStatement[] = "delete from obojky";

constexpr int idColumn = 0;
constexpr int collarColumn = 1;
constexpr int eidColumn = 2;

bool isDuplicateCollar(const QSqlError &error) {
    // SQLITE_CONSTRAINT, plain or extended; the collar number is the only unique value these
    // statements write.
    constexpr int sqliteConstraint = 19;
    return (error.nativeErrorCode().toInt() & 0xff) == sqliteConstraint &&
           error.databaseText().contains("UNIQUE");
}

// Keeps a register that holds anything in the archive before a new order empties it; false, after
// telling the user why, when the copy could not be written.
bool archiveRegister(MainWindow *window, const QString &databasePath, const QString &orderNumber,
                     const QAbstractItemModel &registerModel) {
    if (registerModel.rowCount() == 0)
        return true;
    const OrderArchive::Result archived =
        OrderArchive::store(databasePath, orderNumber, OrderArchive::Replaced,
                            OrderAttachment::fileBytes(OrderAttachment::text(registerModel)));
    if (archived.error.isEmpty())
        return true;
    QMessageBox::warning(window, MainWindow::tr("Zirave"),
                         MainWindow::tr("Dosavadní objednávku se nepodařilo uložit do archivu, "
                                        "nová objednávka proto nebyla založena.\n\nSoubor: "
                                        "%1\n%2")
                             .arg(QDir::toNativeSeparators(archived.path), archived.error));
    return false;
}
} // namespace

bool MainWindow::selectedRecord(QString *id, QString *obojek, QString *eid) const {
    const QModelIndexList rows = m_ui->tableView->selectionModel()->selectedRows(0);
    if (rows.isEmpty())
        return false;
    // The view is sorted, so the row on screen is not the row of the query.
    const int row = m_sortProxy->mapToSource(rows.first()).row();
    const auto text = [this, row](int column) {
        return m_registerModel->data(m_registerModel->index(row, column), Qt::DisplayRole)
            .toString();
    };
    *id = text(idColumn);
    if (obojek)
        *obojek = text(collarColumn);
    if (eid)
        *eid = text(eidColumn);
    return true;
}

// Offers the record dialog until the database takes its texts or the user cancels, so that nothing
// typed is lost to a refused statement. Returns the collar number stored, or a null string on
// cancel. A null id inserts a new record; otherwise the dialog starts with the given texts and the
// record with that id is updated.
QString MainWindow::storeRecord(const QString &title, const QString &id, const QString &obojek,
                                const QString &eid) {
    DialogAUItem dialog(this);
    dialog.setWindowTitle(title);
    if (!id.isNull())
        dialog.setItem(obojek, eid);
    for (;;) {
        if (dialog.exec() != QDialog::Accepted)
            return QString();
        QString typedCollar;
        QString typedEid;
        dialog.getItem(typedCollar, typedEid);

        const QString collar = collarNumberText(typedCollar);
        if (collar.isNull()) {
            QMessageBox::warning(this, tr("Zirave"), tr("Číslo obojku musí být celé číslo."));
            continue;
        }
        // The order file separates its fields by ";" and its records by lines.
        const QChar forbidden = forbiddenEidCharacter(typedEid);
        if (!forbidden.isNull()) {
            QMessageBox::warning(this, tr("Zirave"),
                                 forbidden == ';' ? tr("EID nesmí obsahovat středník (;).")
                                                  : tr("EID nesmí obsahovat konec řádku."));
            continue;
        }

        QSqlQuery query(*m_database);
        const bool prepared = query.prepare(id.isNull() ? insertStatement : updateStatement);
        query.addBindValue(collar);
        query.addBindValue(typedEid);
        if (!id.isNull())
            query.addBindValue(id);
        if (prepared && query.exec())
            return collar;

        const QSqlError error = query.lastError();
        QMessageBox::warning(this, tr("Zirave"),
                             isDuplicateCollar(error)
                                 ? tr("Obojek číslo %1 už v objednávce je.").arg(collar)
                                 : tr("Záznam se nepodařilo uložit.\n\n%1").arg(error.text()));
    }
}

void MainWindow::onNewOrder() {
    bool confirmed = false;
    const QString orderNumber = QInputDialog::getText(
        this, tr("Zirave"), tr("Číslo nové objednávky?"), QLineEdit::Normal, QString(), &confirmed);
    if (!confirmed)
        return;

    // Without a copy in the archive the register is not emptied.
    if (!archiveRegister(this, m_database->databaseName(), m_ui->objednavka->text(),
                         *m_registerModel))
        return;

    // The old records must not go out under the new number, so the number changes only once the
    // register has really been emptied.
    QSqlQuery query(*m_database);
    if (!query.exec(deleteAllStatement)) {
        QMessageBox::warning(this, tr("Zirave"),
                             tr("Novou objednávku nelze založit, záznamy nebyly smazány.\n\n%1")
                                 .arg(query.lastError().text()));
        return;
    }
    m_ui->objednavka->setText(orderNumber);
    // Stored at once: after a crash the emptied register must not come back under the old number.
    AppSettings().setValue("orderno", orderNumber);
    refreshTable(QString());
}

void MainWindow::onAdd() {
    const QString stored = storeRecord(tr("Přidání záznamu"), QString(), QString(), QString());
    if (!stored.isNull())
        refreshTable(stored);
}

void MainWindow::onEdit() {
    QString id;
    QString obojek;
    QString eid;
    if (!selectedRecord(&id, &obojek, &eid))
        return;

    // The id is read before the dialog opens: filing behind the open dialog reloads the table,
    // but the update still addresses the record the user chose.
    const QString stored = storeRecord(tr("Oprava záznamu"), id, obojek, eid);
    if (!stored.isNull())
        refreshTable(stored);
}

void MainWindow::onDelete() {
    QString id;
    if (!selectedRecord(&id, nullptr, nullptr))
        return;

    QSqlQuery query(*m_database);
    if (!query.exec(deleteStatement + id)) {
        QMessageBox::warning(
            this, tr("Zirave"),
            tr("Záznam se nepodařilo smazat.\n\n%1").arg(query.lastError().text()));
    }
    refreshTable(QString());
}
