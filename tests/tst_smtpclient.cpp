#include "smtptestserver.h"
#include "testsupport.h"

#include "dialoginfo.h"
#include "mailformat.h"
#include "qfsmtpclient.h"
#include "systemnet.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLocale>
#include <QLoggingCategory>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>

#include <optional>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// The application asks for implicit TLS as SocketType(1).
static_assert(QFSmtpClient::TlsSocket == 1);

namespace {

// The test server's certificate names localhost and 127.0.0.1; Schannel (curl 7.88) matches only
// the names.
#ifdef Q_OS_WIN
const QString serverHost = QStringLiteral("localhost");
#else
const QString serverHost = QStringLiteral("127.0.0.1");
#endif

// Wine's Schannel takes any server certificate unless a CA file is given (Windows checks it
// against the system's store), and it waits for the handshake of a server that speaks no TLS.
bool underWine() {
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// A loopback port where nobody answers: refusing, bound but not listening (so that nobody else
// gets it meanwhile); or silent, a listener whose accept queue is full (backlog 0 and one
// connection never accepted), so that the system drops every further attempt without an answer.
class ClosedPort {
public:
    enum Kind { Refusing, Silent };

    explicit ClosedPort(Kind kind = Refusing, const char *address = "127.0.0.1", int wanted = 0) {
#ifdef Q_OS_WIN
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
#endif
        addrinfo hints = {};
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        if (::getaddrinfo(address, QByteArray::number(wanted).constData(), &hints, &found) != 0)
            return;
        sockaddr_storage bound = {};
        socklen_t length = sizeof bound;
        auto *boundAddress = reinterpret_cast<sockaddr *>(&bound);
        fd = ::socket(found->ai_family, SOCK_STREAM, 0);
        bool ready = fd != invalid &&
                     ::bind(fd, found->ai_addr, socklen_t(found->ai_addrlen)) == 0 &&
                     ::getsockname(fd, boundAddress, &length) == 0;
        if (ready && kind == Silent) {
            filler = ::socket(found->ai_family, SOCK_STREAM, 0);
            ready = ::listen(fd, 0) == 0 && filler != invalid &&
                    ::connect(filler, boundAddress, length) == 0;
        }
        if (ready)
            port = ntohs(found->ai_family == AF_INET6
                             ? reinterpret_cast<sockaddr_in6 *>(boundAddress)->sin6_port
                             : reinterpret_cast<sockaddr_in *>(boundAddress)->sin_port);
        ::freeaddrinfo(found);
    }
    ~ClosedPort() {
        for (const auto socket : {filler, fd}) {
#ifdef Q_OS_WIN
            if (socket != invalid)
                ::closesocket(socket);
#else
            if (socket != invalid)
                ::close(socket);
#endif
        }
#ifdef Q_OS_WIN
        WSACleanup();
#endif
    }
    int port = 0;

private:
#ifdef Q_OS_WIN
    static constexpr SOCKET invalid = INVALID_SOCKET;
    SOCKET fd = invalid;
    SOCKET filler = invalid;
#else
    static constexpr int invalid = -1;
    int fd = invalid;
    int filler = invalid;
#endif
};

// The longest time the event loop of this thread went without running a 10 ms timer.
class EventLoopGaps {
public:
    EventLoopGaps() {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { tick(); });
        clock.start();
        timer.start(10);
    }
    qint64 longest() {
        tick();
        return longestGap;
    }

private:
    void tick() {
        const qint64 now = clock.elapsed();
        longestGap = qMax(longestGap, now - last);
        last = now;
    }
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longestGap = 0;
};

// What one client did between sendAndDestroy() and its deletion.
struct Outcome {
    int clientId = 0;
    QList<int> codes;
    QStringList texts;
    QList<QList<QVariant>> sent;
    int signalsBeforeReturn = -1;
};

// Words of an encoded header decoded independently of the code under test; fails the test when
// a word is malformed, too long or not valid UTF-8 on its own.
QString decodeEncodedWords(const QByteArray &value, int firstLineUsed) {
    static const QRegularExpression word(QStringLiteral("^=\\?UTF-8\\?B\\?([A-Za-z0-9+/=]*)\\?=$"));
    QString text;
    const QList<QByteArray> lines = value.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (i + 1 < lines.size()) {
            if (!line.endsWith('\r'))
                QTest::qFail("bare LF in header", __FILE__, __LINE__);
            line.chop(1);
        }
        if (i > 0) {
            if (!line.startsWith(' '))
                QTest::qFail("folded line does not start with a space", __FILE__, __LINE__);
            line.remove(0, 1);
        }
        const int lineLength = line.size() + (i == 0 ? firstLineUsed : 1);
        if (line.size() > 75 || lineLength > 76)
            QTest::qFail(("word or line too long: " + line).constData(), __FILE__, __LINE__);
        const auto match = word.match(QString::fromLatin1(line));
        if (!match.hasMatch()) {
            QTest::qFail(("not an encoded word: " + line).constData(), __FILE__, __LINE__);
            return QString();
        }
        const QByteArray bytes = QByteArray::fromBase64(match.captured(1).toLatin1());
        QTextCodec::ConverterState state;
        const QString part =
            QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
        if (state.invalidChars != 0 || state.remainingChars != 0)
            QTest::qFail("encoded word splits a character", __FILE__, __LINE__);
        text += part;
    }
    return text;
}

QStringList jsonStrings(const QJsonValue &value) {
    QStringList out;
    for (const QJsonValue &v : value.toArray())
        out << v.toString();
    return out;
}

QtMessageHandler previousHandler = nullptr;
QStringList capturedLog;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (qstrcmp(context.category, "zirave.smtp") == 0)
        capturedLog << message;
    else if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

class TestSmtpClient : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work;

    QFSmtpClient *client(int port, QFSmtpClient::SocketType type = QFSmtpClient::TlsSocket,
                         const QString &host = serverHost) {
        auto *c = new QFSmtpClient(host, port, type);
        c->mode = 1;
        c->params = {{QStringLiteral("login"), serverLogin},
                     {QStringLiteral("password"), serverPassword}};
        c->setConnectTimeout(10000);
        c->setStallTimeout(10000);
        c->setContent(QStringLiteral("Farma Zirave <objednavky@zirave-test.cz>"),
                      QStringLiteral("prodej@obojky-test.cz"), QStringLiteral("Objednávka"),
                      QStringLiteral("Dobrý den"), {});
        return c;
    }

    // Sends and waits until the client has deleted itself.
    void run(QFSmtpClient *c, Outcome *out) {
        QPointer<QFSmtpClient> alive(c);
        QSignalSpy statusSpy(c, &QFSmtpClient::status);
        QSignalSpy sentSpy(c, &QFSmtpClient::sent);
        out->clientId = c->clientId();
        c->sendAndDestroy();
        out->signalsBeforeReturn = statusSpy.count() + sentSpy.count();
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 30000);
        for (const QList<QVariant> &args : qAsConst(statusSpy)) {
            QCOMPARE(args.at(0).toInt(), out->clientId);
            out->codes << args.at(1).toInt();
            out->texts << args.at(2).toString();
        }
        out->sent = sentSpy;
    }

    // run() with the client's debug log, which it returns.
    QString runLogged(QFSmtpClient *c, Outcome *out) {
        capturedLog.clear();
        QLoggingCategory::setFilterRules(QStringLiteral("zirave.smtp.debug=true"));
        previousHandler = qInstallMessageHandler(captureMessage);
        run(c, out);
        qInstallMessageHandler(previousHandler);
        QLoggingCategory::setFilterRules(QString());
        return capturedLog.join(QLatin1Char('\n'));
    }

private slots:
    void initTestCase() {
        QVERIFY(work.isValid());
#ifndef Q_OS_WIN // a Linux program started under Wine is never seen to end
        QProcess probe;
        probe.start(QStringLiteral("/usr/bin/python3"), {"-c", "import aiosmtpd"});
        QVERIFY2(probe.waitForFinished(30000) && probe.exitCode() == 0,
                 "the tests need /usr/bin/python3 with python3-aiosmtpd and the openssl tool");
#endif
    }

    // A case that fails half-way leaves no addresses of its own for the next one.
    void cleanup() {
        SystemNet::setTestAddresses("localhost", {});
    }

    void sendsMessage_data() {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("recipients");
        QTest::addColumn<QStringList>("recipientNames");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QList<QFSmtpClient::Attachment>>("attachments");
        QTest::addColumn<QStringList>("contentTypes");

        const QByteArray csv = QStringLiteral("kód;název;počet\r\nOB-1;Obojek „Střední“;12\r\n"
                                              "OB-2;Obojek Malý;3\r\n")
                                   .toUtf8() +
                               QByteArray("\xff\x00\r\n.\r\n", 7);
        QByteArray allBytes;
        for (int i = 0; i < 256; ++i)
            allBytes += char(i);

        QTest::newRow("czech order with csv")
            << QStringLiteral("Farma Žirava <objednavky@zirave-test.cz>")
            << QStringLiteral("Obojky Horák s.r.o. <prodej@obojky-test.cz>")
            << QStringList{"prodej@obojky-test.cz"} << QStringList{"Obojky Horák s.r.o."}
            << QStringLiteral("Objednávka obojků č. 2024/17 – Žluťoučký kůň")
            << QStringLiteral("Dobrý den,\n\nposíláme objednávku obojků (viz příloha).\n"
                              "Děkujeme a přejeme hezký den.\n\nJiří Řezníček\nFarma Žirava")
            << QList<QFSmtpClient::Attachment>{{QStringLiteral("objednavka.csv"), csv}}
            << QStringList{"text/csv; charset=utf-8"};

        QTest::newRow("ascii subject, several recipients, no attachment")
            << QStringLiteral("objednavky@zirave-test.cz")
            << QStringLiteral("a@obojky-test.cz, \"Novak, Jan\" <jan@obojky-test.cz>; "
                              "c@obojky-test.cz")
            << QStringList{"a@obojky-test.cz", "jan@obojky-test.cz", "c@obojky-test.cz"}
            << QStringList{"", "Novak, Jan", ""} << QStringLiteral("Order 17 for collars")
            << QStringLiteral("Hello") << QList<QFSmtpClient::Attachment>{} << QStringList{};

        QString longLine;
        for (int i = 0; i < 12; ++i)
            longLine += QStringLiteral("čárka, tečka, středník; ");
        QTest::newRow("long subject, awkward body, several files")
            << QStringLiteral("objednavky@zirave-test.cz")
            << QStringLiteral("prodej@obojky-test.cz") << QStringList{"prodej@obojky-test.cz"}
            << QStringList{""}
            << QStringLiteral("Objednávka obojků pro skot, ovce a kozy – dodávka č. 17 na "
                              "měsíc září, prosíme o potvrzení přijetí 👍 a termínu dodání")
            << QStringLiteral(".\n..\nFrom the farm\nřádek s mezerami na konci   \n") + longLine +
                   QStringLiteral("\nkonec=rovnítko\r\nposlední řádek bez konce")
            << QList<QFSmtpClient::Attachment>{{QStringLiteral("Objednávka č. 17.csv"), csv},
                                               {QStringLiteral("obrazek.bin"), allBytes},
                                               {QStringLiteral("prazdny.txt"), QByteArray()}}
            << QStringList{"text/csv; charset=utf-8", "application/octet-stream", "text/plain"};
    }

    void sendsMessage() {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QStringList, recipients);
        QFETCH(QStringList, recipientNames);
        QFETCH(QString, subject);
        QFETCH(QString, body);
        QFETCH(QList<QFSmtpClient::Attachment>, attachments);
        QFETCH(QStringList, contentTypes);

        TestServer server;
        QVERIFY(server.start(work.path(), "normal", "localhost"));
        QFSmtpClient *c = client(server.port);
        c->setCaFile(server.certFile);
        c->setContent(from, to, subject, body, attachments);

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        Outcome out;
        run(c, &out);
        if (QTest::currentTestFailed())
            return;
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        QCOMPARE(out.signalsBeforeReturn, 0);
        QCOMPARE(out.codes,
                 (QList<int>{QFSmtpClient::StatusConnecting, QFSmtpClient::StatusAuthenticating,
                             QFSmtpClient::StatusSending, QFSmtpClient::StatusSent}));
        QCOMPARE(out.texts.at(0),
                 QStringLiteral("Připojování k serveru %1:%2 …").arg(serverHost).arg(server.port));
        QCOMPARE(out.texts.at(1), QStringLiteral("Přihlašování k serveru …"));
        QCOMPARE(out.texts.at(2), QStringLiteral("Odesílání zprávy …"));
        QCOMPARE(out.texts.at(3), QStringLiteral("Zpráva byla odeslána."));
        QCOMPARE(out.sent.size(), 1);
        QCOMPARE(out.sent.at(0).at(0).toInt(), out.clientId);
        QCOMPARE(out.sent.at(0).at(1).toInt(), int(QFSmtpClient::StatusSent));

        const QList<QJsonObject> messages = server.messages();
        QCOMPARE(messages.size(), 1);
        const QJsonObject m = messages.first();
        QVERIFY2(!m.contains("error"), qPrintable(m.value("error").toString()));
        // A fully qualified name, or else the literal of the address that reached the server.
        const QString ehlo = m.value("ehlo").toString();
        QVERIFY2(ehlo == QLatin1String("[127.0.0.1]") ||
                     QRegularExpression(QStringLiteral("^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+$"))
                         .match(ehlo)
                         .hasMatch(),
                 qPrintable(ehlo));
        QCOMPARE(m.value("mail_from").toString(), MailFormat::extractAddress(from));
        QCOMPARE(jsonStrings(m.value("rcpt_tos")), recipients);
        QCOMPARE(jsonStrings(m.value("from_addresses")),
                 QStringList{MailFormat::extractAddress(from)});
        QCOMPARE(jsonStrings(m.value("from_names")),
                 QStringList{MailFormat::extractDisplayName(from)});
        QCOMPARE(jsonStrings(m.value("to_addresses")), recipients);
        QCOMPARE(jsonStrings(m.value("to_names")), recipientNames);
        QCOMPARE(m.value("subject").toString(), subject);
        QString expectedBody = body;
        expectedBody.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        QCOMPARE(m.value("body").toString(), expectedBody);
        QCOMPARE(m.value("body_type").toString(), QStringLiteral("text/plain"));
        QCOMPARE(m.value("body_charset").toString(), QStringLiteral("utf-8"));
        QCOMPARE(m.value("mime_version").toString(), QStringLiteral("1.0"));
        QCOMPARE(m.value("content_type").toString(), QStringLiteral("multipart/mixed"));
        QCOMPARE(m.value("defects").toArray(), QJsonArray());
        // Lines of the headers we write (curl's own Content-Type line is a bit longer).
        QVERIFY2(m.value("longest_header_line").toInt() <= 78,
                 qPrintable(QString::number(m.value("longest_header_line").toInt())));

        QVERIFY2(
            QRegularExpression(QStringLiteral("^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
                                              "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                              "\\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}$"))
                .match(m.value("date").toString())
                .hasMatch(),
            qPrintable(m.value("date").toString()));
        const qint64 sentAt = qint64(m.value("date_epoch").toDouble());
        QVERIFY(sentAt >= before && sentAt <= after);
        QVERIFY2(QRegularExpression(QStringLiteral("^<[^@<> ]+@zirave-test\\.cz>$"))
                     .match(m.value("message_id").toString())
                     .hasMatch(),
                 qPrintable(m.value("message_id").toString()));

        const QJsonArray received = m.value("attachments").toArray();
        QCOMPARE(received.size(), attachments.size());
        for (int i = 0; i < attachments.size(); ++i) {
            const QJsonObject a = received.at(i).toObject();
            QCOMPARE(a.value("filename").toString(), attachments.at(i).fileName);
            QCOMPARE(a.value("content_type").toString(), contentTypes.at(i));
            QCOMPARE(a.value("encoding").toString(), QStringLiteral("base64"));
            QCOMPARE(QByteArray::fromBase64(a.value("data").toString().toLatin1()),
                     attachments.at(i).content);
        }
    }

    void failures_data() {
        QTest::addColumn<QString>("serverMode"); // "closed": nobody listens
        QTest::addColumn<QString>("certName");
        QTest::addColumn<int>("socketType");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("caFile"); // "server": the test server's certificate
        QTest::addColumn<int>("connectMs");
        QTest::addColumn<int>("stallMs");
        QTest::addColumn<QStringList>("expected"); // parts of the error text

        const QString from = QStringLiteral("objednavky@zirave-test.cz");
        const QString to = QStringLiteral("prodej@obojky-test.cz");
        const int tls = QFSmtpClient::TlsSocket;

        QTest::newRow("wrong password")
            << "normal"
            << "localhost" << tls << from << to << "spatne-heslo"
            << "server" << 10000 << 10000
            << QStringList{"přihlašovací jméno nebo heslo", "535", "kód 67"};
        QTest::newRow("refused recipient")
            << "normal"
            << "localhost" << tls << from << "refused@obojky-test.cz" << serverPassword << "server"
            << 10000 << 10000
            << QStringList{"server odmítl adresu příjemce", "550 5.1.1 Mailbox unavailable"};
        QTest::newRow("recipient refused in three lines")
            << "normal"
            << "localhost" << tls << from << "explained@obojky-test.cz" << serverPassword
            << "server" << 10000 << 10000
            << QStringList{"odpověď serveru: 550-5.1.1 Mailbox unavailable, 550-5.1.1 orders go "
                           "to 550 5.1.1 prodej@obojky-test.cz;"};
        QTest::newRow("one of two recipients refused")
            << "normal"
            << "localhost" << tls << from << to + ", refused@obojky-test.cz" << serverPassword
            << "server" << 10000 << 10000 << QStringList{"server odmítl adresu příjemce", "550"};
        // The server's words without curl's label for them ("Weird server reply").
        QTest::newRow("message refused after its data")
            << "normal"
            << "localhost" << tls << from << "rejected@obojky-test.cz" << serverPassword << "server"
            << 10000 << 10000
            << QStringList{"server zprávu nepřijal (odpověď serveru: 554 5.7.1 Message rejected "
                           "as spam; kód 8)"};
        QTest::newRow("closed port")
            << "closed"
            << "localhost" << tls << from << to << serverPassword << "server" << 10000 << 10000
            << QStringList{"k serveru se nelze připojit", "kód 7"};
        QTest::newRow("untrusted certificate")
            << "normal"
            << "localhost" << tls << from << to << serverPassword << "" << 10000 << 10000
            << QStringList{"certifikát serveru není důvěryhodný", "kód 60"};
        QTest::newRow("certificate of another host")
            << "normal"
            << "mail.obojky-test.invalid" << tls << from << to << serverPassword << "server"
            << 10000 << 10000 << QStringList{"certifikát serveru není důvěryhodný", "kód 60"};
        QTest::newRow("TLS asked, server without TLS")
            << "plain"
            << "localhost" << tls << from << to << serverPassword << "server" << 10000 << 10000
            << QStringList{"šifrované spojení", "kód 35"};
        QTest::newRow("STARTTLS asked, server without it")
            << "plain"
            << "localhost" << int(QFSmtpClient::StartTlsSocket) << from << to << serverPassword
            << "server" << 10000 << 10000
            << QStringList{"server nenabízí šifrované spojení", "kód 64"};
        QTest::newRow("STARTTLS with an untrusted certificate")
            << "starttls"
            << "localhost" << int(QFSmtpClient::StartTlsSocket) << from << to << serverPassword
            << "" << 10000 << 10000 << QStringList{"certifikát serveru není důvěryhodný", "kód 60"};
        QTest::newRow("silent server, no TLS handshake")
            << "silent-tcp"
            << "localhost" << tls << from << to << serverPassword << "server" << 1000 << 30000
            << QStringList{"vypršel časový limit", "kód 28"};
        QTest::newRow("silent server after TLS, stall limit")
            << "silent-tls"
            << "localhost" << tls << from << to << serverPassword << "server" << 30000 << 1000
            << QStringList{"server přestal odpovídat", "kód 28"};
        QTest::newRow("silent server after TLS, connect limit")
            << "silent-tls"
            << "localhost" << tls << from << to << serverPassword << "server" << 1000 << 30000
            << QStringList{"vypršel časový limit", "kód 28"};
        // Found before any connection: a connection attempt would fail differently.
        QTest::newRow("unknown socket type")
            << "closed"
            << "localhost" << 7 << from << to << serverPassword << "server" << 10000 << 10000
            << QStringList{"neznámý typ zabezpečení spojení (7)"};
        QTest::newRow("invalid sender")
            << "closed"
            << "localhost" << tls << "Farma <objednavky>" << to << serverPassword << "server"
            << 10000 << 10000 << QStringList{"neplatná adresa odesílatele"};
        QTest::newRow("invalid recipient")
            << "closed"
            << "localhost" << tls << from << "prodej@obojky-test.cz, Novák <novak at obojky>"
            << serverPassword << "server" << 10000 << 10000
            << QStringList{"neplatná adresa příjemce"};
        QTest::newRow("missing CA file")
            << "closed"
            << "localhost" << tls << from << to << serverPassword << "/nonexistent/zirave-ca.pem"
            << 10000 << 10000 << QStringList{"nelze načíst soubor s certifikáty"};
    }

    void failures() {
        QFETCH(QString, serverMode);
        QFETCH(QString, certName);
        QFETCH(int, socketType);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, password);
        QFETCH(QString, caFile);
        if (caFile.isEmpty() && underWine())
            QSKIP("under Wine, Schannel does not check a certificate against the system's store");
        if (serverMode == "plain" && socketType == QFSmtpClient::TlsSocket && underWine())
            QSKIP("under Wine, Schannel waits for a handshake that a plain server never sends");
        QFETCH(int, connectMs);
        QFETCH(int, stallMs);
        QFETCH(QStringList, expected);

        TestServer server;
        ClosedPort closed;
        int port = closed.port;
        if (serverMode != QLatin1String("closed")) {
            QVERIFY(server.start(work.path(), serverMode, certName));
            port = server.port;
        }
        QVERIFY(port > 0);

        QFSmtpClient *c = client(port, QFSmtpClient::SocketType(socketType));
        c->params[QStringLiteral("password")] = password;
        c->setCaFile(caFile == QLatin1String("server") ? server.certFile : caFile);
        c->setConnectTimeout(connectMs);
        c->setStallTimeout(stallMs);
        c->setContent(from, to, QStringLiteral("Objednávka"), QStringLiteral("Dobrý den"),
                      {{QStringLiteral("a.csv"), "1;2\r\n"}});
        Outcome out;
        run(c, &out);
        if (QTest::currentTestFailed())
            return;

        QCOMPARE(out.signalsBeforeReturn, 0);
        QVERIFY(out.sent.isEmpty());
        QVERIFY(!out.codes.isEmpty());
        QCOMPARE(out.codes.last(), int(QFSmtpClient::StatusFailed));
        QCOMPARE(out.codes.count(QFSmtpClient::StatusFailed), 1);
        QVERIFY(!out.codes.contains(QFSmtpClient::StatusSent));
        const QString error = out.texts.last();
        QVERIFY2(error.startsWith(QStringLiteral("Odeslání se nezdařilo: ")), qPrintable(error));
        for (const QString &part : expected)
            QVERIFY2(error.contains(part), qPrintable(error + " lacks " + part));
        for (const QString &text : qAsConst(out.texts))
            QVERIFY2(!text.contains(password), qPrintable(text));
        QCOMPARE(server.messages().size(), 0);
    }

    void socketTypes_data() {
        QTest::addColumn<QString>("serverMode");
        QTest::addColumn<int>("socketType");

        QTest::newRow("plain") << "plain" << int(QFSmtpClient::PlainSocket);
        QTest::newRow("implicit TLS") << "normal" << int(QFSmtpClient::TlsSocket);
        QTest::newRow("STARTTLS") << "starttls" << int(QFSmtpClient::StartTlsSocket);
    }

    void socketTypes() {
        QFETCH(QString, serverMode);
        QFETCH(int, socketType);

        TestServer server;
        QVERIFY(server.start(work.path(), serverMode, "localhost"));
        QFSmtpClient *c = client(server.port, QFSmtpClient::SocketType(socketType));
        c->setCaFile(server.certFile);
        Outcome out;
        run(c, &out);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(out.sent.size(), 1);
        QCOMPARE(out.codes.last(), int(QFSmtpClient::StatusSent));
        QCOMPARE(server.messages().size(), 1);
        QCOMPARE(server.messages().first().value("subject").toString(),
                 QStringLiteral("Objednávka"));
    }

    // The debug log shows the dialogue but never the login exchange.
    void credentialsNeverLogged() {
        TestServer server;
        QVERIFY(server.start(work.path(), "normal", "localhost"));
        QFSmtpClient *c = client(server.port);
        c->setCaFile(server.certFile);

        Outcome out;
        const QString log = runLogged(c, &out);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(out.sent.size(), 1);

        QVERIFY2(log.contains(QStringLiteral("S: 235")), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("C: MAIL FROM:<objednavky@zirave-test.cz>")),
                 qPrintable(log));
        const QByteArray login = serverLogin.toUtf8();
        const QByteArray password = serverPassword.toUtf8();
        const QList<QByteArray> secrets = {password, password.toBase64(), login.toBase64(),
                                           ('\0' + login + '\0' + password).toBase64()};
        for (const QByteArray &secret : secrets)
            QVERIFY2(!log.contains(QString::fromLatin1(secret)), secret.constData());
    }

    // Schannel checks revocation; on a network that blocks the revocation servers every send
    // would fail unless a check that cannot be made is let pass.
    void revocationCheckedAsFarAsPossible() {
        ClosedPort closed;
        Outcome out;
        const QString log = runLogged(client(closed.port), &out);
        const QRegularExpressionMatch options =
            QRegularExpression(QStringLiteral("curl: SSL_OPTIONS = (\\d+)")).match(log);
        QVERIFY2(options.hasMatch(), qPrintable(log));
        QCOMPARE(options.captured(1).toLong() &
                     (CURLSSLOPT_REVOKE_BEST_EFFORT | CURLSSLOPT_NO_REVOKE),
                 long(CURLSSLOPT_REVOKE_BEST_EFFORT));
    }

    // "localhost" as a standard Debian hosts file has it, IPv6 first, with the server on IPv4
    // only. The limit of the successful sends is far beyond the time run() waits for them, so
    // they are made before [::1] could have used it up.
    void addressesRaced_data() {
        QTest::addColumn<int>("ipv6");    // what [::1] does on the port: a ClosedPort::Kind
        QTest::addColumn<bool>("server"); // the server on 127.0.0.1, else a silent port
        QTest::addColumn<int>("connectMs");

        QTest::newRow("silent first address") << int(ClosedPort::Silent) << true << 600000;
        QTest::newRow("refused first address") << int(ClosedPort::Refusing) << true << 600000;
        QTest::newRow("no address answers") << int(ClosedPort::Silent) << false << 1000;
    }

    void addressesRaced() {
        QFETCH(int, ipv6);
        QFETCH(bool, server);
        QFETCH(int, connectMs);

        TestServer mailServer;
        std::optional<ClosedPort> silentIpv4;
        if (server)
            QVERIFY(mailServer.start(work.path(), "normal", "localhost"));
        else
            silentIpv4.emplace(ClosedPort::Silent);
        const int port = server ? mailServer.port : silentIpv4->port;
        QVERIFY(port > 0);
        const ClosedPort first(ClosedPort::Kind(ipv6), "::1", port);
        if (first.port != port)
            QSKIP("no IPv6 loopback address here");
        SystemNet::setTestAddresses("localhost", {"::1", "127.0.0.1"});
        QFSmtpClient *c = client(port, QFSmtpClient::TlsSocket, QStringLiteral("localhost"));
        c->setCaFile(mailServer.certFile);
        c->setConnectTimeout(connectMs);
        Outcome out;
        run(c, &out);
        if (QTest::currentTestFailed())
            return;

        if (!server) {
            QVERIFY(out.sent.isEmpty());
            QCOMPARE(out.codes.count(QFSmtpClient::StatusFailed), 1);
            const QString error = out.texts.last();
            QVERIFY2(error.contains(QStringLiteral("vypršel časový limit")) &&
                         error.contains(QStringLiteral("kód 28")),
                     qPrintable(error));
            // Not before the limit, when the last address had been tried.
            const QRegularExpressionMatch after =
                QRegularExpression(QStringLiteral("after (\\d+) ms")).match(error);
            QVERIFY2(after.hasMatch() && after.captured(1).toInt() >= connectMs, qPrintable(error));
            return;
        }
        QCOMPARE(out.sent.size(), 1);
        QCOMPARE(mailServer.messages().size(), 1);
        const QString ehlo = mailServer.messages().value(0).value("ehlo").toString();
        if (!ehlo.startsWith(QLatin1Char('[')))
            QSKIP("this machine greets with its fully qualified name");
        QCOMPARE(ehlo, QStringLiteral("[127.0.0.1]"));
    }

    // curl waits for the reply to the end of the message inside one call; the window must not.
    void eventLoopRunsWhileTheServerHoldsTheReply_data() {
        QTest::addColumn<QString>("serverMode");
        QTest::addColumn<int>("stallMs");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("reply after a second") << "slow-data" << 10000 << true;
        QTest::newRow("no reply at all") << "stall-data" << 1000 << false;
    }

    void eventLoopRunsWhileTheServerHoldsTheReply() {
        QFETCH(QString, serverMode);
        QFETCH(int, stallMs);
        QFETCH(bool, accepted);

        TestServer server;
        QVERIFY(server.start(work.path(), serverMode, "localhost"));
        QFSmtpClient *c = client(server.port);
        c->setCaFile(server.certFile);
        c->setStallTimeout(stallMs);
        // Wired as the send command wires it.
        DialogInfo progress(nullptr, true, false, false, false, false);
        connect(c, &QFSmtpClient::status, &progress, &DialogInfo::smtpStatus);
        connect(c, &QFSmtpClient::sent, &progress, &QDialog::accept);
        progress.show();
        QPointer<QFSmtpClient> alive(c);
        QSignalSpy statusSpy(c, &QFSmtpClient::status);
        QSignalSpy sentSpy(c, &QFSmtpClient::sent);
        EventLoopGaps gaps;
        c->sendAndDestroy();

        QTRY_VERIFY_WITH_TIMEOUT(server.lines().contains(QStringLiteral("DATA")), 10000);
        QVERIFY2(alive, "the client ended before the server answered the message");
        // The server may log DATA before this thread has taken the client's queued status.
        QTRY_COMPARE(progress.label()->text(), QStringLiteral("Odesílání zprávy …"));
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 10000);
        QVERIFY2(gaps.longest() < 200, qPrintable(QString::number(gaps.longest()) + " ms"));

        QVERIFY(!statusSpy.isEmpty());
        const QString lastText = statusSpy.last().at(2).toString();
        QCOMPARE(progress.label()->text(), lastText);
        QCOMPARE(sentSpy.count(), accepted ? 1 : 0);
        if (accepted) {
            QCOMPARE(statusSpy.last().at(1).toInt(), int(QFSmtpClient::StatusSent));
            QCOMPARE(progress.result(), int(QDialog::Accepted));
            QVERIFY(!progress.isVisible());
            QCOMPARE(server.messages().size(), 1);
        } else {
            QCOMPARE(statusSpy.last().at(1).toInt(), int(QFSmtpClient::StatusFailed));
            QVERIFY2(lastText.contains(QStringLiteral("server přestal odpovídat (1.0 s bez "
                                                      "odezvy) (kód 28)")),
                     qPrintable(lastText));
            QVERIFY(progress.isVisible());
            QCOMPARE(server.messages().size(), 0);
        }
    }

    // The application may be closed while a mail is on its way: while the client still races
    // the server's silent addresses, or once connected.
    void deletingRunningClientClosesConnection_data() {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connecting") << false;
        QTest::newRow("connected") << true;
    }

    void deletingRunningClientClosesConnection() {
        QFETCH(bool, connected);
        TestServer server;
        std::optional<ClosedPort> silentIpv4;
        std::optional<ClosedPort> silentIpv6;
        QFSmtpClient *c = nullptr;
        if (connected) {
            QVERIFY(server.start(work.path(), "silent-tls", "localhost"));
            c = client(server.port);
            c->setCaFile(server.certFile);
        } else {
            silentIpv4.emplace(ClosedPort::Silent);
            silentIpv6.emplace(ClosedPort::Silent, "::1", silentIpv4->port);
            QVERIFY(silentIpv4->port > 0);
            if (silentIpv6->port != silentIpv4->port)
                QSKIP("no IPv6 loopback address here");
            SystemNet::setTestAddresses("localhost", {"::1", "127.0.0.1"});
            c = client(silentIpv4->port, QFSmtpClient::TlsSocket, QStringLiteral("localhost"));
        }
        // Connections the server has open.
        const auto open = [&server] {
            const QStringList lines = server.lines();
            return lines.count(QStringLiteral("CONNECT")) - lines.count(QStringLiteral("CLOSE"));
        };
        QPointer<QFSmtpClient> alive(c);
        QSignalSpy sentSpy(c, &QFSmtpClient::sent);
        QSignalSpy statusSpy(c, &QFSmtpClient::status);
        c->sendAndDestroy();
        if (connected)
            QTRY_VERIFY(open() > 0);
        else
            QTRY_COMPARE(statusSpy.count(), 1);
        QVERIFY(alive);
        QElapsedTimer deleting;
        deleting.start();
        delete c;
        // The mail is abandoned at once, not after the connect limit (10 s).
        QVERIFY2(deleting.elapsed() < 500, qPrintable(QString::number(deleting.elapsed()) + " ms"));
        if (connected)
            QTRY_COMPARE(open(), 0);
        QCOMPARE(sentSpy.count(), 0);
        QCOMPARE(statusSpy.count(), 1);
        QCOMPARE(statusSpy.at(0).at(1).toInt(), int(QFSmtpClient::StatusConnecting));
    }

    void encodeHeaderText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("firstLineUsed");
        QTest::addColumn<bool>("plain");
        QTest::addColumn<int>("minWords");

        QTest::newRow("ascii") << "Order 17 for collars, please confirm" << 9 << true << 0;
        QTest::newRow("ascii that looks encoded") << "see =?UTF-8?B?AA==?=" << 9 << false << 1;
        QTest::newRow("short czech") << "Objednávka" << 9 << false << 1;
        QTest::newRow("long czech")
            << QStringLiteral("Příliš žluťoučký kůň úpěl ďábelské ódy – objednávka obojků pro "
                              "skot, ovce, kozy a koně, dodání do konce září, Žirava")
            << 9 << false << 3;
        QTest::newRow("only two-byte characters") << QString(100, QChar(0x10d)) << 9 << false << 4;
        QTest::newRow("four-byte characters")
            << QStringLiteral("👍🐄🐑🐐🐎").repeated(12) << 9 << false << 5;
        QTest::newRow("long header name")
            << QStringLiteral("Žluťoučký kůň úpěl ďábelské ódy").repeated(2) << 40 << false << 2;
        QTest::newRow("line breaks in ascii")
            << "Order\r\nBcc: cizi@example.invalid" << 9 << true << 0;
        QTest::newRow("line breaks in czech")
            << QStringLiteral("Objednávka\r\nBcc: cizi@example.invalid") << 9 << false << 1;
    }

    void encodeHeaderText() {
        QFETCH(QString, text);
        QFETCH(int, firstLineUsed);
        QFETCH(bool, plain);
        QFETCH(int, minWords);

        const QByteArray encoded = MailFormat::encodeHeaderText(text, firstLineUsed);
        QString expected = text;
        expected.replace(QLatin1Char('\r'), QLatin1Char(' '));
        expected.replace(QLatin1Char('\n'), QLatin1Char(' '));
        if (plain) {
            QCOMPARE(QString::fromLatin1(encoded), expected);
            return;
        }
        QCOMPARE(decodeEncodedWords(encoded, firstLineUsed), expected);
        QVERIFY(encoded.count("=?UTF-8?B?") >= minWords);
        // Only folding breaks, never one that could start a header of its own.
        QCOMPARE(encoded.count('\n'), encoded.count("\r\n "));
    }

    void encodeMailbox_data() {
        QTest::addColumn<QString>("mailbox");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("exact"); // empty: the name must be encoded

        QTest::newRow("bare") << "jan@obojky-test.cz"
                              << "" << QByteArray("jan@obojky-test.cz");
        QTest::newRow("angle only") << " <jan@obojky-test.cz> "
                                    << "" << QByteArray("jan@obojky-test.cz");
        QTest::newRow("ascii name") << "Jan Novak <jan@obojky-test.cz>"
                                    << "Jan Novak" << QByteArray("Jan Novak <jan@obojky-test.cz>");
        QTest::newRow("name with comma")
            << "Novak, Jan <jan@obojky-test.cz>"
            << "Novak, Jan" << QByteArray("\"Novak, Jan\" <jan@obojky-test.cz>");
        QTest::newRow("quoted name with quote")
            << "\"Jan \\\"Honza\\\" Novak\" <jan@obojky-test.cz>"
            << "Jan \"Honza\" Novak"
            << QByteArray("\"Jan \\\"Honza\\\" Novak\" <jan@obojky-test.cz>");
        QTest::newRow("line break in name") << "Eve\n <jan@obojky-test.cz>"
                                            << "Eve" << QByteArray("Eve <jan@obojky-test.cz>");
        QTest::newRow("czech name") << QStringLiteral("Jan Novák <jan@obojky-test.cz>")
                                    << QStringLiteral("Jan Novák") << QByteArray();
        QTest::newRow("quoted czech name") << QStringLiteral("\"Novák, Jan\" <jan@obojky-test.cz>")
                                           << QStringLiteral("Novák, Jan") << QByteArray();
    }

    void encodeMailbox() {
        QFETCH(QString, mailbox);
        QFETCH(QString, name);
        QFETCH(QByteArray, exact);

        QCOMPARE(MailFormat::extractDisplayName(mailbox), name);
        const QByteArray encoded = MailFormat::encodeMailbox(mailbox, 6);
        if (!exact.isEmpty()) {
            QCOMPARE(encoded, exact);
            return;
        }
        const QByteArray suffix = " <jan@obojky-test.cz>";
        QVERIFY2(encoded.endsWith(suffix), encoded.constData());
        QCOMPARE(decodeEncodedWords(encoded.left(encoded.size() - suffix.size()), 6), name);
    }

    void extractAddress_data() {
        QTest::addColumn<QString>("mailbox");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("valid");

        QTest::newRow("bare") << " jan@obojky-test.cz "
                              << "jan@obojky-test.cz" << true;
        QTest::newRow("with name")
            << QStringLiteral("Jan Novák <jan@obojky-test.cz>") << "jan@obojky-test.cz" << true;
        QTest::newRow("quoted name with brackets") << "\"a <b>\" <jan@obojky-test.cz>"
                                                   << "jan@obojky-test.cz" << true;
        QTest::newRow("no at sign") << "Farma <objednavky>"
                                    << "objednavky" << false;
        QTest::newRow("space") << "jan novak@obojky-test.cz"
                               << "jan novak@obojky-test.cz" << false;
        QTest::newRow("two at signs") << "a@b@obojky-test.cz"
                                      << "a@b@obojky-test.cz" << false;
        QTest::newRow("empty") << ""
                               << "" << false;
        QTest::newRow("line break") << "jan@obojky-test.cz\r\nBcc: x@y.cz"
                                    << "jan@obojky-test.cz\r\nBcc: x@y.cz" << false;
        QTest::newRow("trailing dot") << "jan@obojky-test.cz."
                                      << "jan@obojky-test.cz." << false;
    }

    void extractAddress() {
        QFETCH(QString, mailbox);
        QFETCH(QString, address);
        QFETCH(bool, valid);
        QCOMPARE(MailFormat::extractAddress(mailbox), address);
        QCOMPARE(MailFormat::isValidAddress(MailFormat::extractAddress(mailbox)), valid);
    }

    void splitAddressList_data() {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QStringList>("mailboxes");

        QTest::newRow("one") << "a@x.cz" << QStringList{"a@x.cz"};
        QTest::newRow("commas and semicolons")
            << "a@x.cz, b@x.cz;c@x.cz ;" << QStringList{"a@x.cz", "b@x.cz", "c@x.cz"};
        QTest::newRow("comma in quoted name") << "\"Novák, Jan\" <jan@x.cz>, b@x.cz"
                                              << QStringList{"\"Novák, Jan\" <jan@x.cz>", "b@x.cz"};
        QTest::newRow("escaped quote")
            << "\"a\\\", b\" <a@x.cz>; b@x.cz" << QStringList{"\"a\\\", b\" <a@x.cz>", "b@x.cz"};
        QTest::newRow("empty") << " , ; " << QStringList{};
    }

    void splitAddressList() {
        QFETCH(QString, list);
        QFETCH(QStringList, mailboxes);
        QCOMPARE(MailFormat::splitAddressList(list), mailboxes);
    }

    void formatDate_data() {
        QTest::addColumn<QDateTime>("dateTime");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("winter, +0100")
            << QDateTime(QDate(2024, 3, 5), QTime(14, 3, 7), Qt::OffsetFromUTC, 3600)
            << QByteArray("Tue, 05 Mar 2024 14:03:07 +0100");
        QTest::newRow("summer, +0200")
            << QDateTime(QDate(2023, 8, 27), QTime(9, 0, 0), Qt::OffsetFromUTC, 7200)
            << QByteArray("Sun, 27 Aug 2023 09:00:00 +0200");
        QTest::newRow("utc") << QDateTime(QDate(2025, 12, 31), QTime(23, 59, 59), Qt::UTC)
                             << QByteArray("Wed, 31 Dec 2025 23:59:59 +0000");
        QTest::newRow("negative half hour")
            << QDateTime(QDate(2024, 1, 1), QTime(0, 30, 0), Qt::OffsetFromUTC, -(3 * 3600 + 1800))
            << QByteArray("Mon, 01 Jan 2024 00:30:00 -0330");
    }

    void formatDate() {
        QFETCH(QDateTime, dateTime);
        QFETCH(QByteArray, expected);
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::Czech, QLocale::CzechRepublic));
        const QByteArray formatted = MailFormat::formatDate(dateTime);
        QLocale::setDefault(saved);
        QCOMPARE(formatted, expected);
    }

    void messageId_data() {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("domain");

        QTest::newRow("address") << "objednavky@zirave-test.cz"
                                 << "zirave-test.cz";
        QTest::newRow("mailbox") << QStringLiteral("Farma Žirava <objednavky@Zirave-Test.cz>")
                                 << "zirave-test.cz";
        QTest::newRow("no domain") << "objednavky@localhost"
                                   << "zirave.invalid";
        QTest::newRow("odd domain") << "a@[127.0.0.1]"
                                    << "zirave.invalid";
    }

    void messageId() {
        QFETCH(QString, from);
        QFETCH(QString, domain);
        const QByteArray first = MailFormat::makeMessageId(from);
        const QByteArray second = MailFormat::makeMessageId(from);
        QVERIFY(first != second);
        const QRegularExpression shape(
            QStringLiteral("^<[0-9a-z.]{20,}@%1>$").arg(QRegularExpression::escape(domain)));
        QVERIFY2(shape.match(QString::fromLatin1(first)).hasMatch(), first.constData());
    }

    void greetingName_data() {
        QTest::addColumn<QString>("canonicalName");
        QTest::addColumn<QString>("localAddress");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("qualified") << "Dispecink.Vernholt.example."
                                   << "192.0.2.7" << QByteArray("dispecink.vernholt.example");
        QTest::newRow("short name") << "vm"
                                    << "192.0.2.7" << QByteArray("[192.0.2.7]");
        QTest::newRow("every machine's name") << "localhost.localdomain"
                                              << "192.0.2.7" << QByteArray("[192.0.2.7]");
        QTest::newRow("address as name") << "192.0.2.7"
                                         << "192.0.2.7" << QByteArray("[192.0.2.7]");
        QTest::newRow("ipv6") << "vm"
                              << "2001:db8::7" << QByteArray("[IPv6:2001:db8::7]");
        QTest::newRow("ipv6 with zone") << "vm"
                                        << "fe80::7%eth0" << QByteArray("[IPv6:fe80::7]");
        QTest::newRow("nothing known") << "vm"
                                       << "" << QByteArray();
    }

    void greetingName() {
        QFETCH(QString, canonicalName);
        QFETCH(QString, localAddress);
        QFETCH(QByteArray, expected);
        QCOMPARE(MailFormat::greetingName(canonicalName, localAddress), expected);
    }

    void attachmentHeaders() {
        QCOMPARE(MailFormat::attachmentDisposition(QStringLiteral("objednavka.csv")), QByteArray());
        QCOMPARE(MailFormat::attachmentDisposition(QStringLiteral("Objednávka č. 17.csv")),
                 QByteArray("attachment;\r\n filename*=UTF-8''Objedn%C3%A1vka%20%C4%8D.%2017.csv"));
        QCOMPARE(MailFormat::sanitizeFileName(QStringLiteral("a\r\nb.csv")),
                 QStringLiteral("ab.csv"));
        QCOMPARE(MailFormat::contentTypeForFileName(QStringLiteral("OBJ.CSV")),
                 QByteArray("text/csv; charset=UTF-8"));
        QCOMPARE(MailFormat::contentTypeForFileName(QStringLiteral("data")),
                 QByteArray("application/octet-stream"));
    }
};

ZIRAVE_TEST_MAIN(TestSmtpClient)

#include "tst_smtpclient.moc"
