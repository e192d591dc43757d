#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::onNewOrder() {
}

void MainWindow::onAdd() {
}

void MainWindow::onEdit() {
}

void MainWindow::onDelete() {
}
