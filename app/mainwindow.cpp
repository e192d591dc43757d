#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "mysqlquerymodel.h"
#include "qmysortfilterproxymodel.h"

#include <QDir>
#include <QHeaderView>
#include <QMessageBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

namespace {
const char registerQuery[] = "select id,obojek,eid from obojky";
const char createRegisterStatement[] =
    "create table IF NOT EXISTS obojky (id integer primary key AUTOINCREMENT, obojek integer not "
    "null unique, eid varchar(60))";
// Another process may hold the register locked (a backup, a shell); every statement waits this
// long for it on the GUI thread before it fails, instead of SQLite's default of 5 s.
const char databaseConnectOptions[] = "QSQLITE_BUSY_TIMEOUT=200";
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_ui(new Ui::MainWindow) {
    m_ui->setupUi(this);
    setWindowTitle(tr("Zirave") + " " + "1.01");

    m_database = new QSqlDatabase;
    *m_database = QSqlDatabase::addDatabase("QSQLITE");

    m_registerModel = new MySqlQueryModel(this);
    m_sortProxy = new QMySortFilterProxyModel(this);
    m_sortProxy->setSourceModel(m_registerModel);
    m_sortProxy->compareMode = 1;
    m_ui->tableView->setModel(m_sortProxy);

    connect(m_ui->tableView->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
            &MainWindow::onFilterReset);
    connect(m_ui->neworder, &QPushButton::clicked, this, &MainWindow::onNewOrder);
    connect(m_ui->add, &QPushButton::clicked, this, &MainWindow::onAdd);
    connect(m_ui->edit, &QPushButton::clicked, this, &MainWindow::onEdit);
    connect(m_ui->del, &QPushButton::clicked, this, &MainWindow::onDelete);
    connect(m_ui->tableView, &QTableView::doubleClicked, this, &MainWindow::onEdit);
    connect(m_ui->read, &QPushButton::clicked, this, &MainWindow::onRead);
    connect(m_ui->send, &QPushButton::clicked, this, &MainWindow::sendEmail);
    m_reader = new ReaderLink(this);
    connect(m_reader, &ReaderLink::idleTick, this,
            [this] { m_ui->label->setText(tr("Nepřipojeno")); });
    connect(m_reader, &ReaderLink::replyEnded, this, &MainWindow::evaluateReply);
    connect(m_reader, &ReaderLink::stateChanged, this, &MainWindow::showReaderState);

    listSerialPorts();
    connect(m_reader, &ReaderLink::listedPortsChanged, this, &MainWindow::showListedPorts);
    connect(m_ui->com, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { m_reader->choose(m_ui->com->currentData().toString()); });

    openDatabase();
    refreshTable(QString());
    loadSettings();

    m_reader->followPorts();
}

MainWindow::~MainWindow() {
    // A tag whose reply has just ended is filed before the window goes.
    m_reader->end();
    // The link outlives the widgets: nothing it still says may reach them.
    m_reader->disconnect(this);
    saveSettings();

    const QString connectionName = m_database->connectionName();
    m_database->close();
    delete m_database;
    QSqlDatabase::removeDatabase(connectionName);

    delete m_ui;
}

void MainWindow::openDatabase() {
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::DataLocation);
    if (locations.isEmpty())
        return;

    const QString directory = locations.first();
    QDir dir(directory);
    if (!dir.exists())
        dir.mkpath(".");

    const QString fileName = directory + "/data.db";
    m_database->setDatabaseName(fileName);
    m_database->setConnectOptions(databaseConnectOptions);
    const bool opened = m_database->open();

    QSqlQuery create(*m_database);
    const bool created = create.exec(createRegisterStatement);

    // SQLite opens lazily, so a file that is no database only shows itself at the first statement.
    if (!opened || !created) {
        const QString driverText =
            opened ? create.lastError().text() : m_database->lastError().text();
        m_databaseError = tr("Databázi %1 nelze otevřít.\n\n%2")
                              .arg(QDir::toNativeSeparators(fileName), driverText);
    }
}

void MainWindow::refreshTable(const QString &selectText) {
    // The model must hold every row, not only the first batch, so that the selection below and the
    // order attachment see the whole register.
    m_registerModel->setQueryFetchingAll(registerQuery);

    QTableView *view = m_ui->tableView;
    if (!selectText.isEmpty()) {
        const int rows = m_registerModel->rowCount();
        for (int row = 0; row < rows; ++row) {
            const QModelIndex collar = m_registerModel->index(row, 1);
            if (m_registerModel->data(collar, Qt::DisplayRole).toString() == selectText)
                view->selectRow(m_sortProxy->mapFromSource(collar).row());
        }
    } else {
        view->selectRow(0);
    }

    view->hideColumn(0);
    m_registerModel->setHeaderData(1, Qt::Horizontal, tr("Obojek"), Qt::DisplayRole);
    m_registerModel->setHeaderData(2, Qt::Horizontal, tr("EID"), Qt::DisplayRole);
}

void MainWindow::onFilter() {
}

void MainWindow::onFilterReset() {
}

void MainWindow::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (!m_databaseError.isEmpty()) {
        // Queued, so that the window is on screen behind the message.
        QMetaObject::invokeMethod(this, &MainWindow::reportDatabaseError, Qt::QueuedConnection);
    }
}

void MainWindow::reportDatabaseError() {
    const QString text = m_databaseError;
    m_databaseError.clear();
    if (!text.isEmpty())
        QMessageBox::critical(this, tr("Zirave"), text);
}
