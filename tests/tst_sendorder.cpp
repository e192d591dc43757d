#include "appsettings.h"
#include "mainwindow.h"
#include "modalscript.h"
#include "orderdesk.h"
#include "registerfixture.h"
#include "smtptestserver.h"
#include "testsupport.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextEdit>

#include <cstdio>
#ifndef Q_OS_WIN
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace RegisterFixture;
using Rows = QList<QPair<QVariant, QVariant>>;

namespace {

const QString failurePrefix = QString::fromUtf8("Odeslání se nezdařilo");
const QString sendingText = QString::fromUtf8("Odesílání zprávy …");
const char programClosedDuringSend[] = "--program-closed-during-send";
const char programClosedDuringLookup[] = "--program-closed-during-lookup";
#ifdef Q_OS_WIN
// On Windows only Qt's test mode keeps the program away from the user's files, and a program of
// its own has none.
const char noProgramOfItsOwn[] = "a program started by the test would use the user's register";
#endif

QString attachmentPath() {
    return QDir::tempPath() + "/obojky.csv";
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the compose dialog offered, and what the test typed over it.
struct Compose {
    QString from, to, subject, body;
    QString typedTo, typedBody;
    bool accept = true;
};

std::function<void(QWidget *)> composeHandler(Compose &compose) {
    return [&compose](QWidget *modal) {
        auto *from = modal->findChild<QLineEdit *>("le_from");
        auto *to = modal->findChild<QLineEdit *>("le_to");
        auto *subject = modal->findChild<QLineEdit *>("le_subject");
        auto *body = modal->findChild<QTextEdit *>("le_body");
        if (!from || !to || !subject || !body) {
            modal->close();
            return;
        }
        compose.from = from->text();
        compose.to = to->text();
        compose.subject = subject->text();
        compose.body = body->toPlainText();
        if (!compose.typedTo.isEmpty())
            to->setText(compose.typedTo);
        if (!compose.typedBody.isEmpty())
            body->setPlainText(compose.typedBody);
        auto *dialog = qobject_cast<QDialog *>(modal);
        compose.accept ? dialog->accept() : QTest::keyClick(modal, Qt::Key_Escape);
    };
}

// Leaves the progress dialog to the client, but closes it once it shows a failure (or after a
// generous limit, so that a client that never ends cannot hang the test).
std::function<void(QWidget *)> progressHandler(QString &lastText) {
    return [&lastText](QWidget *modal) {
        auto *label = modal->findChild<QLabel *>("label");
        auto *watch = new QTimer(modal);
        QObject::connect(watch, &QTimer::timeout, modal, [=, &lastText] {
            lastText = label ? label->text() : QString();
            if (lastText.startsWith(failurePrefix))
                modal->close();
        });
        watch->start(20);
        QTimer::singleShot(60000, modal, &QWidget::close);
    };
}

// The one file of the archive, or a note of what the archive holds instead.
QByteArray onlyArchivedFile(const QString &pattern) {
    const QStringList entries = archiveEntries();
    if (entries.size() != 1 || !QRegularExpression(pattern).match(entries[0]).hasMatch())
        return "archive holds: " + entries.join(", ").toUtf8();
    return fileBytes(archiveDirectory() + "/" + entries[0]);
}

const QString sentName = QStringLiteral("^\\d{8}_\\d{6}_2026_118_odeslano\\.csv$");

} // namespace

class TestSendOrder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void sendsTheOrder_data();
    void sendsTheOrder();
    void escapeWritesNothingAndSendsNothing();
    void editedAddressesAreNotRemembered();
    void failureKeepsTheProgressOpenOnTheError();
    void progressClosedEarlyStillArchivesTheSentOrder();
    void archiveFailureIsToldAfterTheSuccessfulSend();
    void unwritableAttachmentIsReportedAndNothingIsSent();
    void programEndsPromptlyWhenClosedDuringAStalledSend();
    void programEndsPromptlyWhenClosedDuringAHangingLookup();

private:
    void configureServer(const TestServer &server, const QString &password = serverPassword);

    QTemporaryDir m_work;
    TestServer m_server;
};

void TestSendOrder::initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY2(m_server.start(m_work.path(), "normal", "localhost"), "the SMTP server did not start");
}

void TestSendOrder::init() {
    clearRegister();
    QDir(archiveDirectory()).removeRecursively();
    QFile::remove(archiveDirectory());
    QFile::remove(attachmentPath());
    configureServer(m_server);
}

void TestSendOrder::configureServer(const TestServer &server, const QString &password) {
    AppSettings settings;
    settings.clear();
    settings.setValue("orderno", "2026/118");
    settings.setValue("smtp_host", "localhost");
    settings.setValue("smtp_port", server.port);
    settings.setValue("smtp_login", serverLogin);
    settings.setValue("smtp_password", password);
    settings.setValue("smtp_cafile", server.certFile);
}

void TestSendOrder::sendsTheOrder_data() {
    QTest::addColumn<Rows>("rows");
    QTest::addColumn<QByteArray>("expectedFile");

    QTest::newRow("empty register") << Rows{} << QByteArray("czv;obojek;eid\n");
    QTest::newRow("query order, semicolon and czech letters")
        << Rows{{2, "456"}, {1, "123"}, {3, "12;34"}, {4, QString::fromUtf8("čáp")}}
        << QString::fromUtf8("czv;obojek;eid\n;2;456\n;1;123\n;3;12;34\n;4;čáp\n").toUtf8();
}

void TestSendOrder::sendsTheOrder() {
    QFETCH(Rows, rows);
    QFETCH(QByteArray, expectedFile);
    expectedFile = withPlatformLineEnds(expectedFile);
    fillRegister(rows);
    // A link planted at the attachment path must not be followed.
    QTemporaryDir victimDir;
    const QString victim = victimDir.filePath("victim");
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    QVERIFY(QFile::link(victim, attachmentPath()));

    MainWindow window;
    auto *view = window.findChild<QTableView *>("tableView");
    view->horizontalHeader()->setSortIndicator(2, Qt::DescendingOrder);

    const int before = m_server.messages().size();
    Compose compose;
    compose.typedBody = QString::fromUtf8("Dobrý den,\nposíláme objednávku obojků.\n\nDěkujeme");
    auto script = answerModals({composeHandler(compose)});
    window.findChild<QPushButton *>("send")->click();
    QVERIFY(script->answered == 1);

    QCOMPARE(compose.from, QString(OrderDesk::address));
    QCOMPARE(compose.to, QString(OrderDesk::address));
    QCOMPARE(compose.subject, QString("obojky - objednavka: 2026/118"));
    QCOMPARE(compose.body, QString());

    QCOMPARE(fileBytes(victim), QByteArray("precious"));
    QCOMPARE(fileBytes(attachmentPath()), expectedFile);

    const QList<QJsonObject> messages = m_server.messages();
    QCOMPARE(messages.size(), before + 1);
    const QJsonObject mail = messages.last();
    QCOMPARE(mail["mail_from"].toString(), QString(OrderDesk::address));
    QCOMPARE(mail["rcpt_tos"].toArray().first().toString(), QString(OrderDesk::address));
    QCOMPARE(mail["subject"].toString(), QString("obojky - objednavka: 2026/118"));
    QCOMPARE(mail["body"].toString().trimmed(), compose.typedBody);
    const QJsonArray attachments = mail["attachments"].toArray();
    QCOMPARE(attachments.size(), 1);
    QCOMPARE(attachments[0]["filename"].toString(), QString("obojky.csv"));
    QCOMPARE(QByteArray::fromBase64(attachments[0]["data"].toString().toLatin1()), expectedFile);
    QCOMPARE(onlyArchivedFile(sentName), expectedFile);
}

void TestSendOrder::escapeWritesNothingAndSendsNothing() {
    fillRegister({{1, "123"}});
    MainWindow window;
    const int before = m_server.messages().size();
    Compose compose;
    compose.accept = false;
    auto script = answerModals({composeHandler(compose)});
    window.findChild<QPushButton *>("send")->click();
    QCOMPARE(script->answered, 1);
    QVERIFY(!QFile::exists(attachmentPath()));
    QTest::qWait(200);
    QCOMPARE(m_server.messages().size(), before);
}

void TestSendOrder::editedAddressesAreNotRemembered() {
    MainWindow window;
    auto *send = window.findChild<QPushButton *>("send");
    Compose first;
    first.typedTo = "sklad@vernholt.example";
    auto script = answerModals({composeHandler(first)});
    send->click();
    QCOMPARE(m_server.messages().last()["rcpt_tos"].toArray().first().toString(),
             QString("sklad@vernholt.example"));

    Compose second;
    second.accept = false;
    script = answerModals({composeHandler(second)});
    send->click();
    QCOMPARE(second.to, QString(OrderDesk::address));
    QVERIFY(!AppSettings().contains("email_to"));
}

void TestSendOrder::failureKeepsTheProgressOpenOnTheError() {
    configureServer(m_server, "wrong password");
    fillRegister({{1, "123"}});
    MainWindow window;
    const int before = m_server.messages().size();
    Compose compose;
    QString progressText;
    auto script = answerModals({composeHandler(compose), progressHandler(progressText)});
    window.findChild<QPushButton *>("send")->click();
    QCOMPARE(script->answered, 2);
    QVERIFY2(progressText.startsWith(failurePrefix), qPrintable(progressText));
    QCOMPARE(m_server.messages().size(), before);
    QVERIFY(!QFileInfo::exists(archiveDirectory()));
}

void TestSendOrder::progressClosedEarlyStillArchivesTheSentOrder() {
    fillRegister({{1, "123"}});
    MainWindow window;
    const int before = m_server.messages().size();
    Compose compose;
    auto script = answerModals({composeHandler(compose), [](QWidget *modal) {
                                    static_cast<QDialog *>(modal)->reject();
                                }});
    window.findChild<QPushButton *>("send")->click();
    // Answered only while still open, so closed before the server took the mail.
    QCOMPARE(script->answered, 2);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.messages().size(), before + 1, 10000);
    QTRY_COMPARE(onlyArchivedFile(sentName), withPlatformLineEnds("czv;obojek;eid\n;1;123\n"));
}

void TestSendOrder::archiveFailureIsToldAfterTheSuccessfulSend() {
    {
        QFile blocker(archiveDirectory());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    fillRegister({{1, "123"}});
    MainWindow window;
    const int before = m_server.messages().size();

    QString warning;
    bool progressShown = true;
    QTimer watch;
    connect(&watch, &QTimer::timeout, &watch, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        warning = box->text();
        progressShown = false;
        for (const QDialog *dialog : window.findChildren<QDialog *>("DialogInfo"))
            progressShown = progressShown || dialog->isVisible();
        box->reject();
    });
    watch.start(10);
    Compose compose;
    auto script = answerModals({composeHandler(compose)});
    window.findChild<QPushButton *>("send")->click();
    QTRY_VERIFY(!warning.isEmpty());
    QVERIFY2(warning.contains("byla odeslána") && warning.contains("_2026_118_odeslano.csv"),
             qPrintable(warning));
    QVERIFY(!progressShown);
    QCOMPARE(m_server.messages().size(), before + 1);
}

// A directory (or another user's file in a shared /tmp) at the path used to stop every order
// without a word.
void TestSendOrder::unwritableAttachmentIsReportedAndNothingIsSent() {
    QVERIFY(QDir().mkpath(attachmentPath()));
    MainWindow window;
    const int before = m_server.messages().size();
    Compose compose;
    QString boxText;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    auto script = answerModals({composeHandler(compose), [&](QWidget *modal) {
                                    auto *box = qobject_cast<QMessageBox *>(modal);
                                    if (box) {
                                        boxText = box->text();
                                        boxIcon = box->icon();
                                    }
                                    modal->close();
                                }});
    window.findChild<QPushButton *>("send")->click();
    const bool directoryKept = QFileInfo(attachmentPath()).isDir();
    QDir().rmdir(attachmentPath());

    QCOMPARE(script->answered, 2);
    QCOMPARE(boxIcon, QMessageBox::Critical);
    QVERIFY2(boxText.contains(QDir::toNativeSeparators(attachmentPath()) + ": " +
                              directoryInTheWayError()),
             qPrintable(boxText));
    QVERIFY(directoryKept);
    // A send would have ended before click() returned: the progress dialog waits for it.
    QCOMPARE(m_server.messages().size(), before);
}

// The user closes the progress dialog, then the window, while the server holds its reply to the
// message: the program ends at once instead of waiting for the server or a time limit.
void TestSendOrder::programEndsPromptlyWhenClosedDuringAStalledSend() {
#ifdef Q_OS_WIN
    QSKIP(noProgramOfItsOwn);
#endif
    TestServer stalling;
    QVERIFY(stalling.start(m_work.path(), "stall-data", "localhost"));
    configureServer(stalling);
    fillRegister({{1, "123"}});

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationFilePath(), {programClosedDuringSend});
    QVERIFY(program.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += program.readAllStandardOutput()).contains("SENDING") &&
                                 stalling.lines().contains("DATA"),
                             10000);

    QElapsedTimer closing;
    closing.start();
    program.closeWriteChannel();
    QVERIFY2(program.waitForFinished(5000), "the program still runs 5 s after its window closed");
    QVERIFY2(closing.elapsed() < 2000, qPrintable(QString::number(closing.elapsed()) + " ms"));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QTRY_VERIFY(stalling.lines().contains("CLOSE"));
    QCOMPARE(stalling.messages().size(), 0);
}

// The same while the mail server's name is still being looked up (a laptop without a working
// DNS): the program runs in a network namespace whose only name server never answers.
void TestSendOrder::programEndsPromptlyWhenClosedDuringAHangingLookup() {
#ifdef Q_OS_WIN
    QSKIP(noProgramOfItsOwn);
#else
    const QString script =
        QStringLiteral("ip link set lo up && mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"");
    if (geteuid() != 0 ||
        QProcess::execute("unshare", {"--mount", "--net", "sh", "-c", "ip link set lo up"}) != 0)
        QSKIP("a hanging name lookup needs root, unshare and ip");
    const QString resolvConf = m_work.filePath("resolv.conf");
    {
        QFile file(resolvConf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("nameserver 127.0.0.1\n");
    }
    AppSettings().setValue("smtp_host", "smtp.zirave-test.invalid"); // not in /etc/hosts
    fillRegister({{1, "123"}});

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start("unshare", {"--mount", "--net", "sh", "-c", script, resolvConf,
                              QCoreApplication::applicationFilePath(), programClosedDuringLookup});
    QVERIFY(program.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += program.readAllStandardOutput()).contains("SENDING"),
                             10000);

    QElapsedTimer closing;
    closing.start();
    program.closeWriteChannel();
    QVERIFY2(program.waitForFinished(5000), "the program still runs 5 s after its window closed");
    QVERIFY2(closing.elapsed() < 1000, qPrintable(QString::number(closing.elapsed()) + " ms"));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
#endif
}

#ifndef Q_OS_WIN
// The only name server where the lookup test runs this program: it takes queries on 127.0.0.1:53
// and never answers them. Returns the socket, or -1.
static int silentNameServer() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    return -1;
}

static bool queryArrived(int nameServer) {
    char byte = 0;
    return ::recv(nameServer, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0;
}

// The program as main() runs it, in a process of its own: it sends the order to the server the
// settings name. Once the send has reached the message (or, with a silent name server, once the
// server's name is being looked up) and the parent closes this process's standard input, the user
// closes the progress dialog and then the window, with the send still running.
static int runProgramClosedDuringSend(int argc, char **argv, bool duringLookup) {
    // The register and the settings the test prepared in its private home.
    usePrivateHome(QDir::homePath());
    QApplication application(argc, argv);
    Q_INIT_RESOURCE(pics);
    const int nameServer = duringLookup ? silentNameServer() : -1;
    if (duringLookup && nameServer < 0)
        return 3;
    MainWindow window;
    window.show();
    QSocketNotifier parentSaysClose(STDIN_FILENO, QSocketNotifier::Read);
    parentSaysClose.setEnabled(false);

    Compose compose;
    auto closeProgress = [&parentSaysClose, nameServer](QWidget *progress) {
        auto *label = progress->findChild<QLabel *>("label");
        auto *watch = new QTimer(progress);
        QObject::connect(watch, &QTimer::timeout, progress, [=, &parentSaysClose] {
            if (nameServer >= 0 ? !queryArrived(nameServer) : label->text() != sendingText)
                return;
            watch->stop();
            std::puts("SENDING");
            std::fflush(stdout);
            parentSaysClose.setEnabled(true);
        });
        QObject::connect(&parentSaysClose, &QSocketNotifier::activated, progress,
                         [progress, &parentSaysClose] {
                             parentSaysClose.setEnabled(false);
                             QTest::keyClick(progress, Qt::Key_Escape);
                         });
        watch->start(10);
    };
    QTimer::singleShot(0, &window, [&] {
        auto script = answerModals({composeHandler(compose), closeProgress});
        window.findChild<QPushButton *>("send")->click();
        window.close();
    });
    return application.exec();
}

#endif

int main(int argc, char **argv) {
#ifndef Q_OS_WIN
    if (argc == 2 && qstrcmp(argv[1], programClosedDuringSend) == 0)
        return runProgramClosedDuringSend(argc, argv, false);
    if (argc == 2 && qstrcmp(argv[1], programClosedDuringLookup) == 0)
        return runProgramClosedDuringSend(argc, argv, true);
#endif
    return runTestsInPrivateHome<TestSendOrder>(argc, argv);
}

#include "tst_sendorder.moc"
