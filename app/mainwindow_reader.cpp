#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "portwatcher.h"
#include "readerprotocol.h"

#include <QElapsedTimer>
#include <QInputDialog>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <limits>
#include <utility>

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
    m_portWatcher = new PortWatcher(extraPaths, this);
    m_ui->com->clear();
    applyFoundPorts(m_portWatcher->scanNow());
}

// Ports that appeared are added at the end and those that vanished are taken out, so that the
// others keep their places and the selection stays on its port; the port of a reading stays.
void MainWindow::applyFoundPorts(const QList<PortDescription> &found) {
    QStringList listed;
    for (int index = 0; index < m_ui->com->count(); ++index)
        listed << m_ui->com->itemData(index).toString();
    const QString inUse = m_readingState == ReadingState::Idle ? QString() : m_readerLocation;
    const PortList::Change change = PortList::compare(listed, found, inUse);
    for (const QString &location : change.removed)
        m_ui->com->removeItem(m_ui->com->findData(location));
    for (const PortDescription &port : change.added) {
        m_ui->com->addItem(port.name, port.location);
        if (port.location == m_storedPortLocation && !m_portChosenByUser)
            m_ui->com->setCurrentIndex(m_ui->com->count() - 1);
    }
    m_foundPorts = found;
    if (m_readingState == ReadingState::WaitingForReader)
        followLostReader();
}

PortDescription MainWindow::describePort(const QString &systemLocation) const {
    for (const PortDescription &port : m_foundPorts) {
        if (port.location == systemLocation)
            return port;
    }
    return plainPort(systemLocation, systemLocation);
}

// A USB adapter plugged into another socket often comes back under another name (on Windows
// always, when it has no serial number).
void MainWindow::followLostReader() {
    const std::optional<QString> moved =
        PortList::followedLocation(m_readerPortDescription, m_locationsAtLoss, m_foundPorts);
    if (!moved || *moved == m_readerLocation)
        return;
    m_readerLocation = *moved;
    m_ui->com->setCurrentIndex(m_ui->com->findData(*moved));
    m_reopenTicksToRest = 0;
}

void MainWindow::onTimerTimeout() {
    switch (m_readingState) {
    case ReadingState::Idle:
        m_ui->label->setText(tr("Nepřipojeno"));
        break;
    case ReadingState::Reading:
        // Some drivers show a vanished device only by never completing a write.
        m_ticksWithPollUnwritten =
            m_readerPort.bytesToWrite() > 0 ? m_ticksWithPollUnwritten + 1 : 0;
        if (m_ticksWithPollUnwritten >= ReaderProtocol::ticksOfUnwrittenPollMeaningGone) {
            loseReader();
            break;
        }
        m_readerPort.write(ReaderProtocol::pollCommand, ReaderProtocol::pollCommandLength);
        break;
    case ReadingState::WaitingForReader:
        tryReopenReaderPort();
        break;
    }
}

void MainWindow::readyData() {
    const QByteArray chunk = m_readerPort.readAll();
    if (chunk.isEmpty())
        return;
    ReaderProtocol::appendToReply(m_replyBuffer, chunk);
    m_replyEndTimer.start();
}

// Bytes that reached the system while the window was busy have not been handled yet, but they
// came before the silence that is about to end the reply: they belong to it.
void MainWindow::takeInArrivedBytes() {
    // A few rounds, not one: on Windows the first may only report a read handled before, and the
    // next may only start the read of what has arrived. A line that never falls silent is not
    // waited out.
    for (int round = 0; round < 3 && m_readingState == ReadingState::Reading; ++round)
        m_readerPort.waitForReadyRead(0);
}

void MainWindow::onReplyEnded() {
    takeInArrivedBytes();
    // Bytes taken in just now start the silence anew.
    if (!m_replyEndTimer.isActive())
        finishReply();
}

void MainWindow::finishReply() {
    m_replyEndTimer.stop();
    if (m_replyBuffer.isEmpty())
        return;
    // Taken out first: whatever arrives while the tag is filed belongs to the next reply.
    const QByteArray reply = std::exchange(m_replyBuffer, QByteArray());
    evaluateReply(reply);
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
    if (m_readingState != ReadingState::Idle) {
        endReading();
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
    if (!openReaderPort(systemLocation)) {
        QMessageBox::critical(this, tr("Error"), m_readerPort.errorString(), QMessageBox::Ok,
                              QMessageBox::NoButton);
        return;
    }
    m_readerLocation = systemLocation;
    m_readingState = ReadingState::Reading;
    m_ui->read->setText(tr("Ukončit čtení"));
}

bool MainWindow::openReaderPort(const QString &systemLocation) {
    m_readerPort.setPortName(systemLocation);
    m_readerPort.setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);
    m_readerPort.setDataBits(QSerialPort::Data8);
    m_readerPort.setParity(QSerialPort::NoParity);
    m_readerPort.setStopBits(QSerialPort::OneStop);
    m_readerPort.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_readerPort.open(QIODevice::ReadWrite))
        return false;
    m_readerPortDescription = describePort(systemLocation);
    m_ticksWithPollUnwritten = 0;
    return true;
}

void MainWindow::endReading() {
    // The last reply may have ended just before the click, or be ending now.
    if (m_readingState == ReadingState::Reading)
        takeInArrivedBytes();
    finishReply();
    m_readingState = ReadingState::Idle;
    if (m_readerPort.isOpen())
        m_readerPort.close();
    m_ui->read->setText(tr("Zahájit čtení"));
}

void MainWindow::handleReaderPortError(QSerialPort::SerialPortError error) {
    // The failed openings while waiting report errors too; they change nothing.
    if (m_readingState == ReadingState::Reading && ReaderProtocol::meansReaderGone(error))
        loseReader();
}

void MainWindow::loseReader() {
    // A reply complete before the loss is a reply like any other; one cut off by it is no tag.
    finishReply();
    m_readingState = ReadingState::WaitingForReader;
    // Left open, the port of a vanished device reports read errors as fast as it can, and it
    // never delivers anything again: the device comes back behind a new handle.
    m_readerPort.close();
    m_locationsAtLoss.clear();
    for (const PortDescription &port : qAsConst(m_foundPorts))
        m_locationsAtLoss << port.location;
    m_reopenTicksToRest = 0;
    m_ui->label->setText(tr("Čtečka odpojena, čekám na její připojení…"));
}

void MainWindow::tryReopenReaderPort() {
    if (m_reopenTicksToRest > 0) {
        --m_reopenTicksToRest;
        return;
    }
    QElapsedTimer attempt;
    attempt.start();
    const bool reopened = openReaderPort(m_readerLocation);
    m_reopenTicksToRest =
        ReaderProtocol::ticksToRestAfterReopen(attempt.elapsed(), m_pollTimer.interval());
    // A failed attempt is not worth a word: the reader is simply not back yet.
    if (reopened)
        m_readingState = ReadingState::Reading;
}
