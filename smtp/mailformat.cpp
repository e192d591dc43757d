#include "mailformat.h"

#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

namespace MailFormat {

namespace {

// Longest encoded-word allowed by RFC 2047 and the longest header line it wants around one.
constexpr int maxWordLength = 75;
constexpr int maxLineLength = 76;
const QByteArray wordPrefix = QByteArrayLiteral("=?UTF-8?B?");
const QByteArray wordSuffix = QByteArrayLiteral("?=");

QString withoutControls(const QString &text) {
    QString out = text;
    for (QChar &c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return out;
}

bool isPlainAscii(const QString &text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    // Something that looks like an encoded-word would be decoded by the reader.
    return !text.contains(QLatin1String("=?"));
}

// Bytes of UTF-8 text that fit into one encoded-word of at most maxLength characters.
int wordCapacity(int maxLength) {
    const int base64Chars = maxLength - wordPrefix.size() - wordSuffix.size();
    return (base64Chars / 4) * 3;
}

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xc0) == 0x80;
}

QList<QByteArray> encodedWords(const QString &text, int firstLineUsed) {
    const QByteArray utf8 = text.toUtf8();
    QList<QByteArray> words;
    // The first word shares its line with the header name; keep room for at least one 4-byte
    // character so the loop always advances.
    int capacity = wordCapacity(qBound(20, maxLineLength - firstLineUsed, maxWordLength));
    int start = 0;
    while (start < utf8.size()) {
        int end = qMin(start + capacity, utf8.size());
        while (end < utf8.size() && end > start && isContinuationByte(utf8.at(end)))
            --end;
        words << wordPrefix + utf8.mid(start, end - start).toBase64() + wordSuffix;
        start = end;
        // Later words start a folded line after one space.
        capacity = wordCapacity(qMin(maxWordLength, maxLineLength - 1));
    }
    return words;
}

QString quotedIfNeeded(const QString &name) {
    static const QRegularExpression atomText(QStringLiteral("^[A-Za-z0-9!#$%&'*+/=?^_`{|}~ -]*$"));
    if (atomText.match(name).hasMatch())
        return name;
    QString escaped = name;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// Two or more labels of letters, digits and inner hyphens.
bool isDomainName(const QString &name) {
    static const QRegularExpression domainName(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]*["
                       "A-Za-z0-9])?)+$"));
    return domainName.match(name).hasMatch();
}

} // namespace

QString extractAddress(const QString &mailbox) {
    const QString trimmed = mailbox.trimmed();
    const int close = trimmed.lastIndexOf(QLatin1Char('>'));
    const int open = close < 0 ? -1 : trimmed.lastIndexOf(QLatin1Char('<'), close);
    return open < 0 ? trimmed : trimmed.mid(open + 1, close - open - 1).trimmed();
}

QString extractDisplayName(const QString &mailbox) {
    const QString trimmed = mailbox.trimmed();
    const int close = trimmed.lastIndexOf(QLatin1Char('>'));
    const int open = close < 0 ? -1 : trimmed.lastIndexOf(QLatin1Char('<'), close);
    if (open < 0)
        return QString();
    QString name = trimmed.left(open).trimmed();
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"'))) {
        name = name.mid(1, name.size() - 2);
        name.replace(QLatin1String("\\\""), QLatin1String("\""));
        name.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    }
    return name;
}

QStringList splitAddressList(const QString &list) {
    QStringList result;
    QString current;
    bool inQuotes = false;
    bool inAngle = false;
    for (int i = 0; i < list.size(); ++i) {
        const QChar c = list.at(i);
        if (inQuotes && c == QLatin1Char('\\') && i + 1 < list.size()) {
            current += c;
            current += list.at(++i);
            continue;
        }
        if (c == QLatin1Char('"') && !inAngle)
            inQuotes = !inQuotes;
        else if (c == QLatin1Char('<') && !inQuotes)
            inAngle = true;
        else if (c == QLatin1Char('>') && !inQuotes)
            inAngle = false;
        if ((c == QLatin1Char(',') || c == QLatin1Char(';')) && !inQuotes && !inAngle) {
            if (!current.trimmed().isEmpty())
                result << current.trimmed();
            current.clear();
            continue;
        }
        current += c;
    }
    if (!current.trimmed().isEmpty())
        result << current.trimmed();
    return result;
}

bool isValidAddress(const QString &address) {
    static const QRegularExpression addrSpec(
        QStringLiteral("^[^\\s<>()\\[\\],;:\"@\\\\]+@[^\\s<>()\\[\\],;:\"@\\\\]+$"));
    return withoutControls(address) == address && addrSpec.match(address).hasMatch() &&
           !address.endsWith(QLatin1Char('.')) && !address.contains(QLatin1String("@."));
}

QByteArray encodeHeaderText(const QString &text, int firstLineUsed) {
    const QString clean = withoutControls(text);
    if (isPlainAscii(clean))
        return clean.toLatin1();
    return encodedWords(clean, firstLineUsed).join("\r\n ");
}

QByteArray encodeMailbox(const QString &mailbox, int firstLineUsed) {
    const QByteArray address = withoutControls(extractAddress(mailbox)).toUtf8();
    const QString name = withoutControls(extractDisplayName(mailbox)).trimmed();
    if (name.isEmpty())
        return address;
    QByteArray phrase;
    if (isPlainAscii(name))
        phrase = quotedIfNeeded(name).toLatin1();
    else
        phrase = encodeHeaderText(name, firstLineUsed);
    // Keep the address on its own line when the name already fills one.
    const int lastLine = phrase.size() - (phrase.lastIndexOf('\n') + 1);
    const QByteArray separator = lastLine + address.size() + 3 > maxLineLength ? "\r\n " : " ";
    return phrase + separator + '<' + address + '>';
}

QByteArray encodeAddressList(const QString &list, int firstLineUsed) {
    QByteArray out;
    for (const QString &mailbox : splitAddressList(list))
        out += out.isEmpty() ? encodeMailbox(mailbox, firstLineUsed)
                             : ",\r\n " + encodeMailbox(mailbox, 1);
    return out;
}

QByteArray formatDate(const QDateTime &dateTime) {
    static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    const int offset = dateTime.offsetFromUtc();
    const int absOffset = qAbs(offset);
    return QString::asprintf("%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                             days[date.dayOfWeek() - 1], date.day(), months[date.month() - 1],
                             date.year(), time.hour(), time.minute(), time.second(),
                             offset < 0 ? '-' : '+', absOffset / 3600, (absOffset % 3600) / 60)
        .toLatin1();
}

QByteArray makeMessageId(const QString &fromAddress) {
    QString domain = extractAddress(fromAddress).section(QLatin1Char('@'), -1).toLower();
    if (!fromAddress.contains(QLatin1Char('@')) || !isDomainName(domain))
        domain = QStringLiteral("zirave.invalid");
    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    const QByteArray unique = QByteArray(reinterpret_cast<const char *>(random), sizeof random);
    return '<' + unique.toHex() + '.' +
           QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36) + '@' + domain.toLatin1() +
           '>';
}

QByteArray contentTypeForFileName(const QString &fileName) {
    // Our CSV files are UTF-8; without the charset a mail program takes them for US-ASCII.
    static const QHash<QString, QByteArray> types = {{"csv", "text/csv; charset=UTF-8"},
                                                     {"txt", "text/plain"},
                                                     {"pdf", "application/pdf"},
                                                     {"xml", "application/xml"},
                                                     {"json", "application/json"}};
    return types.value(QFileInfo(fileName).suffix().toLower(), "application/octet-stream");
}

QByteArray greetingName(const QString &canonicalName, const QString &localAddress) {
    QString name = canonicalName.toLower();
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    static const QRegularExpression numericTop(QStringLiteral("\\.\\d+$"));
    // "localhost.localdomain" and the like name every machine.
    const bool qualified = isDomainName(name) && !numericTop.match(name).hasMatch() &&
                           !name.startsWith(QLatin1String("localhost.")) &&
                           !name.endsWith(QLatin1String(".localdomain"));
    if (qualified)
        return name.toLatin1();
    // A zone ("%eth0") has no place in an address literal.
    const QString address = localAddress.section(QLatin1Char('%'), 0, 0);
    static const QRegularExpression ipv4(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    static const QRegularExpression ipv6(QStringLiteral("^[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*$"));
    if (ipv4.match(address).hasMatch())
        return '[' + address.toLatin1() + ']';
    if (ipv6.match(address).hasMatch())
        return "[IPv6:" + address.toLatin1() + ']';
    return QByteArray();
}

QString sanitizeFileName(const QString &fileName) {
    QString out;
    for (const QChar c : fileName) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f)
            out += c;
    }
    return out.trimmed();
}

QByteArray attachmentDisposition(const QString &fileName) {
    const QString clean = sanitizeFileName(fileName);
    bool ascii = true;
    for (const QChar c : clean)
        ascii = ascii && c.unicode() < 0x7f;
    if (ascii)
        return QByteArray();
    // RFC 2231 attribute characters stay as they are, the rest is percent-encoded UTF-8.
    const QByteArray exact = QUrl::toPercentEncoding(clean, "!#$&+^`|~");
    return "attachment;\r\n filename*=UTF-8''" + exact;
}

} // namespace MailFormat
