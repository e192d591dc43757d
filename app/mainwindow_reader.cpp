#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appsettings.h"
#include "readerprotocol.h"

#include <QInputDialog>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {
const char tagFiledQuery[] = "select id from obojky where eid=";
const char collarTakenQuery[] = "select id from obojky where obojek=";
const char fileTagStatement[] = "insert into obojky(obojek,eid) values (?,?)";
} // namespace

void MainWindow::listSerialPorts() {
    m_ui->com->clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        m_ui->com->insertItem(m_ui->com->count(), port.portName(), port.systemLocation());

    // The system does not list pseudo-terminals or serial-over-network bridges, so such a reader
    // can only be reached through a path named in the settings.
    const QStringList extraPorts = AppSettings().value("extra_ports").toStringList();
    for (const QString &entry : extraPorts) {
        const QString path = entry.trimmed();
        if (!path.isEmpty())
            m_ui->com->insertItem(m_ui->com->count(), path, path);
    }
}

void MainWindow::onTimerTimeout() {
    if (m_readerPort.isOpen())
        m_readerPort.write(ReaderProtocol::pollCommand, ReaderProtocol::pollCommandLength);
    else
        m_ui->label->setText(tr("Nepřipojeno"));
}

void MainWindow::readyData() {
    const QByteArray chunk = m_readerPort.readAll();
    // A reply is complete only once the reader has fallen silent, so it is evaluated when the
    // first chunk of the next one arrives.
    if (ReaderProtocol::startsNewReply(m_replyGapTimer.elapsed())) {
        evaluateReply();
        m_replyBuffer.clear();
    }
    m_replyBuffer.append(chunk);
    m_replyGapTimer.restart();
}

void MainWindow::evaluateReply() {
    const bool recording = m_ui->zaznam->isChecked();
    const std::optional<quint32> code = ReaderProtocol::tagCode(m_replyBuffer);
    if (code) {
        const QString failure = recording ? fileTag(*code) : QString();
        m_ui->label->setText(failure.isEmpty() ? tr("Obojek: ") + ReaderProtocol::eidText(*code)
                                               : failure);
    } else if (recording) {
        m_ui->label->setText(tr("Přiložte obojek: ") + QString::number(m_nextCollarNumber));
    } else {
        m_ui->label->setText(tr("Přiložte obojek"));
    }
}

QString MainWindow::fileTag(quint32 code) {
    const QString eid = ReaderProtocol::eidText(code);

    // The register itself is the record of what has been filed: a tag lying on the reader answers
    // every poll, and a code may also have been typed in by hand.
    QSqlQuery filed(*m_database);
    if (filed.exec(tagFiledQuery + eid) && filed.next() && filed.value(0).toInt() >= 0)
        return QString();

    QSqlQuery query(*m_database);
    while (query.exec(collarTakenQuery + QString::number(m_nextCollarNumber)) && query.next())
        ++m_nextCollarNumber;

    query.prepare(fileTagStatement);
    query.addBindValue(m_nextCollarNumber);
    query.addBindValue(code);
    // Keeping the number lets the next reply of a tag still on the reader file it again.
    if (!query.exec())
        return tr("Obojek %1 nebyl zapsán: %2").arg(eid, query.lastError().text());

    refreshTable(QString::number(m_nextCollarNumber));
    ++m_nextCollarNumber;
    return QString();
}

void MainWindow::onRead() {
    if (m_readerPort.isOpen()) {
        closeReaderPort();
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

    openReaderPort(systemLocation);
}

void MainWindow::openReaderPort(const QString &systemLocation) {
    m_readerPort.setPortName(systemLocation);
    m_readerPort.setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);
    m_readerPort.setDataBits(QSerialPort::Data8);
    m_readerPort.setParity(QSerialPort::NoParity);
    m_readerPort.setStopBits(QSerialPort::OneStop);
    m_readerPort.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_readerPort.open(QIODevice::ReadWrite)) {
        QMessageBox::critical(this, tr("Error"), m_readerPort.errorString(), QMessageBox::Ok,
                              QMessageBox::NoButton);
        return;
    }
    m_ui->read->setText(tr("Ukončit čtení"));
    m_replyGapTimer.start();
}

void MainWindow::closeReaderPort() {
    m_readerPort.close();
    m_ui->read->setText(tr("Zahájit čtení"));
}

void MainWindow::handleReaderPortError(QSerialPort::SerialPortError error) {
    // An unplugged reader shows itself as read errors, which Qt repeats without end while the
    // port stays open, and at the next write as a resource error. Nothing can arrive any more.
    const bool readerGone = error == QSerialPort::ReadError || error == QSerialPort::ResourceError;
    if (readerGone && m_readerPort.isOpen())
        closeReaderPort();
}
