#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QSerialPortInfo>

void MainWindow::listSerialPorts() {
    m_ui->com->clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        m_ui->com->insertItem(m_ui->com->count(), port.portName(), port.systemLocation());
}

void MainWindow::onTimerTimeout() {
}

void MainWindow::readyData() {
}

void MainWindow::onRead() {
}

void MainWindow::handleReaderPortError(QSerialPort::SerialPortError error) {
    Q_UNUSED(error);
}
