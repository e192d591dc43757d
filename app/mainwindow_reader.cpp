#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "readerprotocol.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <limits>

namespace {
const char tagFiledQuery[] = "select id from obojky where eid=";
// The first free collar number from %1 up, in one query however many numbers are taken:
// - %1 itself when it is free;
// - else, when the integer numbers from %1 up are as many as the numbers from %1 to the largest
//   one, there is no gap: the largest number plus one (the usual case, a register filled in order);
// - else the first taken number from %1 up whose successor is free, plus one.
// Only integer numbers count, as in an equality with an integer.
const char firstFreeCollarQuery[] =
    "select case when not exists (select 1 from obojky where obojek=%1) then %1 "
    "when (select count(*) from obojky where typeof(obojek)='integer' and obojek>=%1) = "
    "(select max(obojek) from obojky) - %1 + 1 then (select max(obojek) from obojky) + 1 "
    "else (select a.obojek+1 from obojky a where typeof(a.obojek)='integer' and a.obojek>=%1 and "
    "not exists (select 1 from obojky b where b.obojek=a.obojek+1) order by a.obojek limit 1) end";
const char fileTagStatement[] = "insert into obojky(obojek,eid) values (?,?)";
} // namespace

void MainWindow::listSerialPorts() {
    // The system does not list pseudo-terminals or serial-over-network bridges, so such a reader
    // can only be reached through a path named in the settings.
    QStringList extraPaths;
    const QStringList extraPorts = AppSettings().value("extra_ports").toStringList();
    for (const QString &entry : extraPorts) {
        if (!entry.trimmed().isEmpty())
            extraPaths << entry.trimmed();
    }
    m_ui->com->clear();
    m_reader->listPorts(extraPaths);
    showListedPorts();
}

// Ports that appeared are added at the end and those that vanished are taken out, so that the
// others keep their places; the chosen port is the selected one, present or not.
void MainWindow::showListedPorts() {
    // What the list does here is no choice of the user's.
    const QSignalBlocker quiet(m_ui->com);
    QStringList shown;
    for (int index = 0; index < m_ui->com->count(); ++index)
        shown << m_ui->com->itemData(index).toString();
    const QList<PortDescription> listed = m_reader->listedPorts();
    const PortList::Change change = PortList::compare(shown, listed, {});
    for (const QString &location : change.removed)
        m_ui->com->removeItem(m_ui->com->findData(location));
    for (const PortDescription &port : change.added)
        m_ui->com->addItem(port.name, port.location);
    for (const PortDescription &port : listed) {
        // The name first, as the user knows the port.
        const QString text =
            m_reader->isPresent(port.location) ? port.name : port.name + " " + tr("(nepřipojeno)");
        m_ui->com->setItemText(m_ui->com->findData(port.location), text);
    }
    if (m_reader->chosenLocation().isEmpty()) {
        // Nothing chosen yet: the port the list shows first is the one a click reads from.
        if (m_ui->com->currentIndex() >= 0)
            m_reader->choose(m_ui->com->currentData().toString());
        return;
    }
    m_ui->com->setCurrentIndex(m_ui->com->findData(m_reader->chosenLocation()));
}

void MainWindow::showReaderState(ReaderLink::State state) {
    switch (state) {
    case ReaderLink::State::Idle:
        m_ui->read->setText(tr("Zahájit čtení"));
        break;
    case ReaderLink::State::Reading:
        m_ui->read->setText(tr("Ukončit čtení"));
        break;
    case ReaderLink::State::WaitingForReader:
        m_ui->label->setText(tr("Čtečka odpojena, čekám na její připojení…"));
        break;
    }
}

void MainWindow::evaluateReply(const QByteArray &reply) {
    const bool recording = m_ui->zaznam->isChecked();
    const std::optional<quint32> code = ReaderProtocol::tagCode(reply);
    if (code) {
        const QString failure = recording ? fileTag(*code) : QString();
        m_ui->label->setText(failure.isEmpty() ? tr("Obojek: ") + ReaderProtocol::eidText(*code)
                                               : failure);
    } else if (recording && m_collarNumbersExhausted) {
        m_ui->label->setText(collarNumbersExhaustedText());
    } else if (recording) {
        m_ui->label->setText(tr("Přiložte obojek: ") + QString::number(m_nextCollarNumber));
    } else {
        m_ui->label->setText(tr("Přiložte obojek"));
    }
}

QString MainWindow::collarNumbersExhaustedText() const {
    return tr("Dosaženo nejvyššího čísla obojku %1, další obojky nelze zapsat.")
        .arg(std::numeric_limits<int>::max());
}

QString MainWindow::fileTag(quint32 code) {
    const QString eid = ReaderProtocol::eidText(code);
    const auto notFiled = [&](const QString &reason) {
        return tr("Obojek %1 nebyl zapsán: %2").arg(eid, reason);
    };

    // The register itself is the record of what has been filed: a tag lying on the reader answers
    // every poll, and a code may also have been typed in by hand.
    QSqlQuery filed(*m_database);
    if (!filed.exec(tagFiledQuery + eid))
        return notFiled(filed.lastError().text());
    if (filed.next() && filed.value(0).toInt() >= 0)
        return QString();
    if (m_collarNumbersExhausted)
        return collarNumbersExhaustedText();

    QSqlQuery firstFree(*m_database);
    if (!firstFree.exec(QString(firstFreeCollarQuery).arg(m_nextCollarNumber)) ||
        !firstFree.next()) {
        // Not knowing which numbers are taken is no reason to take one.
        refreshTable(QString::number(m_nextCollarNumber));
        return notFiled(firstFree.lastError().text());
    }
    const qint64 freeNumber = firstFree.value(0).toLongLong();
    firstFree.finish();
    if (freeNumber > std::numeric_limits<int>::max()) {
        m_collarNumbersExhausted = true;
        return collarNumbersExhaustedText();
    }
    m_nextCollarNumber = int(freeNumber);

    QSqlQuery query(*m_database);
    query.prepare(fileTagStatement);
    query.addBindValue(m_nextCollarNumber);
    query.addBindValue(code);
    const bool inserted = query.exec();
    refreshTable(QString::number(m_nextCollarNumber));
    // Keeping the number lets the next reply of a tag still on the reader file it again.
    if (!inserted)
        return notFiled(query.lastError().text());

    if (m_nextCollarNumber == std::numeric_limits<int>::max())
        m_collarNumbersExhausted = true;
    else
        ++m_nextCollarNumber;
    return QString();
}

void MainWindow::onRead() {
    if (m_reader->state() != ReaderLink::State::Idle) {
        m_reader->end();
        return;
    }

    const int index = m_ui->com->currentIndex();
    if (index < 0)
        return;
    const QString systemLocation = m_ui->com->itemData(index, Qt::UserRole).toString();

    if (m_ui->zaznam->isChecked()) {
        bool confirmed = false;
        const QString first = QInputDialog::getText(this, tr("Zirave"), tr("Číslo prvního obojku?"),
                                                    QLineEdit::Normal, QString(), &confirmed);
        if (!confirmed)
            return;
        // A text that is not a whole number gives 0, without a question back.
        m_nextCollarNumber = first.toInt();
    } else {
        m_nextCollarNumber = 1;
    }
    m_collarNumbersExhausted = false;

    // Only a reader lost during a reading is waited for; one that is not there at the start is
    // the user's to see to, maybe by choosing another port.
    if (!m_reader->start(systemLocation)) {
        QMessageBox::critical(this, tr("Error"), m_reader->errorString(), QMessageBox::Ok,
                              QMessageBox::NoButton);
        return;
    }
    // By this the reader is found again when it is plugged in elsewhere before the next start.
    AppSettings settings;
    const QString identity = PortList::identityText(m_reader->readerDescription());
    if (identity.isEmpty())
        settings.remove(readerIdentityKey);
    else
        settings.setValue(readerIdentityKey, identity);
}
