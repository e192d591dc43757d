// Measures what the user waits for in a large register, through the real main window and a real
// data.db: filing one tag read from a pseudo-terminal reader, start-up, sorting by EID and writing
// the order attachment; beside them one bare durable insert into the same file, the floor under
// every filing. Prints medians per register size.

#include "appsettings.h"
#include "mainwindow.h"
#include "orderattachment.h"
#include "ptypair.h"
#include "readerprotocol.h"
#include "testsupport.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>

namespace {

constexpr int fileIterations = 15;
constexpr int startIterations = 7;
constexpr int sortIterations = 7;
constexpr int attachmentIterations = 9;
// Longer than the pause that ends a reader reply.
constexpr int replyPauseMs = 130;

struct Medians {
    int rows = 0;
    double filing = 0;
    double firstFiling = 0;
    double insert = 0;
    double startUp = 0;
    double shown = 0;
    double sortEid = 0;
    double attachment = 0;
};

double median(QVector<double> samples) {
    if (samples.isEmpty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const int middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

double elapsedMs(const QElapsedTimer &timer) {
    return double(timer.nsecsElapsed()) / 1e6;
}

QString databasePath() {
    return QStandardPaths::standardLocations(QStandardPaths::DataLocation).value(0) + "/data.db";
}

// Runs fn on a connection of its own to data.db.
void withDatabase(const QString &name, const std::function<void(QSqlDatabase &)> &fn) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name);
        db.setDatabaseName(databasePath());
        if (!db.open())
            qFatal("cannot open %s: %s", qPrintable(databasePath()),
                   qPrintable(db.lastError().text()));
        fn(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// A register as the reader leaves it: collar numbers 1..rows, ten-digit tag codes in random order.
void createRegister(int rows) {
    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    QDir().mkpath(QFileInfo(databasePath()).absolutePath());
    withDatabase("fill", [rows](QSqlDatabase &db) {
        QSqlQuery query(db);
        query.exec("create table IF NOT EXISTS obojky (id integer primary key AUTOINCREMENT, "
                   "obojek integer not null unique, eid varchar(60))");
        std::mt19937 random(rows);
        std::uniform_int_distribution<quint32> code(1000000000u, 4294967295u);
        db.transaction();
        query.prepare("insert into obojky(obojek,eid) values (?,?)");
        for (int row = 1; row <= rows; ++row) {
            query.addBindValue(row);
            query.addBindValue(code(random));
            if (!query.exec())
                qFatal("fill: %s", qPrintable(query.lastError().text()));
        }
        db.commit();
    });
}

// Lets the event loop run for a while, as the program does between two replies of the reader.
void idle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

QTableView *tableView(MainWindow &window) {
    auto *view = window.findChild<QTableView *>("tableView");
    if (!view)
        qFatal("no tableView");
    return view;
}

QString selectedCollar(const QTableView *view) {
    const QModelIndexList rows = view->selectionModel()->selectedRows(1);
    return rows.size() == 1 ? rows.first().data().toString() : QString();
}

void storeSortColumn(int column) {
    AppSettings().setValue("table/sectionSort", column);
}

// Start-up as main() does it: the constructor loads, sorts and applies the settings; "shown" goes
// on until the window has been laid out and painted.
void measureStartUp(Medians &result) {
    QVector<double> constructed;
    QVector<double> shown;
    for (int i = 0; i < startIterations; ++i) {
        storeSortColumn(1);
        QElapsedTimer timer;
        timer.start();
        auto window = std::make_unique<MainWindow>();
        constructed << elapsedMs(timer);
        window->show();
        settle();
        shown << elapsedMs(timer);
        window.reset();
        settle();
    }
    result.startUp = median(constructed);
    result.shown = median(shown);
}

// A click on the EID header of a register shown sorted by collar number, until repainted.
void measureSort(Medians &result) {
    storeSortColumn(1);
    MainWindow window;
    window.show();
    settle();
    QHeaderView *header = tableView(window)->horizontalHeader();
    QVector<double> samples;
    for (int i = 0; i < sortIterations; ++i) {
        header->setSortIndicator(1, Qt::AscendingOrder);
        settle();
        QElapsedTimer timer;
        timer.start();
        header->setSortIndicator(2, Qt::AscendingOrder);
        settle();
        samples << elapsedMs(timer);
    }
    result.sortEid = median(samples);
}

// The text from the window's own query model, written where the send command writes it.
void measureAttachment(Medians &result) {
    MainWindow window;
    auto *proxy = qobject_cast<QSortFilterProxyModel *>(tableView(window)->model());
    const QAbstractItemModel *registerModel = proxy->sourceModel();
    const QString path = QDir::tempPath() + "/" + OrderAttachment::fileName;
    QVector<double> samples;
    for (int i = 0; i < attachmentIterations; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!OrderAttachment::write(path, OrderAttachment::text(*registerModel)))
            qFatal("cannot write %s", qPrintable(path));
        samples << elapsedMs(timer);
    }
    if (QFile(path).size() < registerModel->rowCount() * 4)
        qFatal("attachment too short");
    result.attachment = median(samples);
}

// The window reading from a pseudo-terminal reader with recording on, sorted by collar number.
class ReadingWindow {
public:
    ReadingWindow() {
        if (!reader.isValid())
            qFatal("no pseudo-terminal");
        AppSettings().setValue("extra_ports", QStringList{reader.slavePath()});
        AppSettings().setValue("record", true);
        storeSortColumn(1);
        window = std::make_unique<MainWindow>();
        window->show();
        settle();
        auto *com = window->findChild<QComboBox *>("com");
        auto *zaznam = window->findChild<QCheckBox *>("zaznam");
        read = window->findChild<QPushButton *>("read");
        view = tableView(*window);
        if (!com || !read || !zaznam)
            qFatal("widgets missing");
        com->setCurrentIndex(com->findData(reader.slavePath()));
        zaznam->setChecked(true);
    }
    ~ReadingWindow() {
        window.reset();
        AppSettings().remove("extra_ports");
        AppSettings().setValue("record", false);
    }

    // Starts or ends reading; a start answers the question for the first collar number.
    void clickRead(int firstCollar = 0) {
        bool asked = false;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, &answer, [&] {
            if (auto *question = qobject_cast<QInputDialog *>(QApplication::activeModalWidget())) {
                asked = true;
                question->setTextValue(QString::number(firstCollar));
                question->accept();
                answer.stop();
            }
        });
        if (firstCollar > 0)
            answer.start(10);
        read->click();
        if (firstCollar > 0 && !asked)
            qFatal("no question for the first collar number");
    }

    // Writes a tag's reply and times until its collar is selected, less the silence after the
    // reply that ends it.
    double fileUntilSelected(const QByteArray &reply, int collar) {
        idle(replyPauseMs);
        reader.readAvailable();
        const QString expected = QString::number(collar);
        QElapsedTimer timer;
        timer.start();
        reader.write(reply);
        // The current index is set together with the selection, and is cheaper to look at.
        while (view->currentIndex().siblingAtColumn(1).data().toString() != expected) {
            QCoreApplication::processEvents();
            if (timer.elapsed() > 60000)
                qFatal("tag %d was not filed", collar);
        }
        const double ms = elapsedMs(timer) - double(ReaderProtocol::replyGapMs + 1);
        if (selectedCollar(view) != expected)
            qFatal("collar %d is not selected", collar);
        return ms;
    }

    PtyPair reader;
    std::unique_ptr<MainWindow> window;
    QPushButton *read = nullptr;
    QTableView *view = nullptr;
};

// Each round: one bare insert on a connection of its own (taken out again, untimed), then one tag
// through the reader, timed from the end of the silence that ends its reply until the new row is
// selected.
void measureFiling(Medians &result) {
    ReadingWindow bench;
    const int firstCollar = result.rows + 1;
    bench.clickRead(firstCollar);

    QVector<double> filing;
    QVector<double> insert;
    withDatabase("baseline", [&](QSqlDatabase &db) {
        quint32 code = 100000;
        for (int i = 0; i < fileIterations; ++i) {
            QSqlQuery bare(db);
            bare.prepare("insert into obojky(obojek,eid) values (?,?)");
            bare.addBindValue(-1 - i);
            bare.addBindValue(quint32(999 + i));
            QElapsedTimer insertTimer;
            insertTimer.start();
            if (!bare.exec())
                qFatal("baseline insert: %s", qPrintable(bare.lastError().text()));
            insert << elapsedMs(insertTimer);
            QSqlQuery(db).exec("delete from obojky where obojek<0");

            filing << bench.fileUntilSelected(tagReply(++code), firstCollar + i);
        }
    });
    result.filing = median(filing);
    result.insert = median(insert);
}

// The first tag of a reading started at 1 when every number from 1 up is taken: the next free
// number lies past the whole register. Each round starts reading anew.
void measureFirstFiling(Medians &result) {
    ReadingWindow bench;
    QVector<double> filing;
    quint32 code = 200000;
    for (int i = 0; i < fileIterations; ++i) {
        bench.clickRead(1);
        filing << bench.fileUntilSelected(tagReply(++code), result.rows + 1 + i);
        bench.clickRead();
    }
    result.firstFiling = median(filing);
}

QString peakMemory() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return "?";
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).simplified());
    }
    return "?";
}

void printTable(const QVector<Medians> &results) {
    std::printf(
        "\nmedians in ms; filing and insert %d rounds, start-up %d, sort %d, attachment %d\n\n",
        fileIterations, startIterations, sortIterations, attachmentIterations);
    std::printf("| rows | filing | bare insert | filing / insert | first filing from 1 | "
                "start-up | start-up, shown | sort by EID | attachment |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Medians &m : results) {
        std::printf("| %d | %.1f | %.1f | %.2f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", m.rows,
                    m.filing, m.insert, m.insert > 0 ? m.filing / m.insert : 0.0, m.firstFiling,
                    m.startUp, m.shown, m.sortEid, m.attachment);
    }
    const auto find = [&](int rows) -> const Medians * {
        for (const Medians &m : results) {
            if (m.rows == rows)
                return &m;
        }
        return nullptr;
    };
    const Medians *small = find(1000);
    const Medians *large = find(50000);
    if (small && large) {
        const auto growth = [](double from, double to) {
            return from > 0 ? to / from : 0.0;
        };
        std::printf("\ngrowth from 1,000 to 50,000 rows (x50 rows; n log n would be x78): filing "
                    "above the insert x%.1f, start-up x%.1f, sort x%.1f, attachment x%.1f\n",
                    growth(small->filing - small->insert, large->filing - large->insert),
                    growth(small->startUp, large->startUp), growth(small->sortEid, large->sortEid),
                    growth(small->attachment, large->attachment));
    }
}

// The offscreen platform says this for every window shown; it would drown the table.
void dropPlatformNoise(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (message.contains("propagateSizeHints"))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home(QDir::tempPath() + "/zirave-bench-XXXXXX");
    if (!home.isValid())
        return 2;
    usePrivateHome(home.path());
    qInstallMessageHandler(dropPlatformNoise);
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(pics);

    QCommandLineParser parser;
    parser.setApplicationDescription("Zirave register benchmark");
    parser.addHelpOption();
    parser.addOption({"sizes", "Register sizes, comma-separated.", "list", "100,1000,10000,50000"});
    parser.addOption(
        {"only", "Measure only this: filing, first-filing, startup, sort or attachment.", "what"});
    parser.process(app);
    const QString only = parser.value("only");

    std::printf("data directory: %s\n", qPrintable(QFileInfo(databasePath()).absolutePath()));
    QVector<Medians> results;
    for (const QString &size : parser.value("sizes").split(',')) {
        Medians medians;
        medians.rows = size.toInt();
        createRegister(medians.rows);
        std::fprintf(stderr, "%d rows:", medians.rows);
        if (only.isEmpty() || only == "startup") {
            measureStartUp(medians);
            std::fprintf(stderr, " start-up %.1f ms,", medians.startUp);
        }
        if (only.isEmpty() || only == "sort") {
            measureSort(medians);
            std::fprintf(stderr, " sort %.1f ms,", medians.sortEid);
        }
        if (only.isEmpty() || only == "attachment") {
            measureAttachment(medians);
            std::fprintf(stderr, " attachment %.1f ms,", medians.attachment);
        }
        if (only.isEmpty() || only == "filing") {
            measureFiling(medians);
            std::fprintf(stderr, " filing %.1f ms, insert %.1f ms", medians.filing, medians.insert);
        }
        if (only.isEmpty() || only == "first-filing") {
            createRegister(medians.rows);
            measureFirstFiling(medians);
            std::fprintf(stderr, ", first filing from 1 %.1f ms", medians.firstFiling);
        }
        std::fprintf(stderr, "\n");
        results << medians;
    }
    std::fflush(stderr);
    printTable(results);
    std::printf("\npeak memory (VmHWM) after the largest register: %s\n", qPrintable(peakMemory()));
    return 0;
}
