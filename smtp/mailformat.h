#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Pieces of an Internet mail message header, and of the SMTP dialogue, that curl leaves to us.
// Everything here is pure and returns ASCII bytes ready to be put into a header line or command.
namespace MailFormat {

// Bare address of a mailbox: "Jan Novák <jan@example.cz>" -> "jan@example.cz".
QString extractAddress(const QString &mailbox);

// Display name of a mailbox without quotes, empty when there is none.
QString extractDisplayName(const QString &mailbox);

// Splits "a@x.cz, Novák <b@x.cz>; c@x.cz" into mailboxes; separators inside quotes or angle
// brackets do not split.
QStringList splitAddressList(const QString &list);

// True for a plain addr-spec we are willing to put into MAIL FROM / RCPT TO.
bool isValidAddress(const QString &address);

// Header text as it goes on the wire: printable ASCII stays as it is, anything else becomes
// RFC 2047 UTF-8 "B" encoded-words, each at most 75 characters, never splitting a code point,
// separated by CRLF + space so that no line is longer than 76 characters. firstLineUsed is the
// length of what precedes the text on its first line (e.g. 9 for "Subject: "). CR, LF and other
// control characters are replaced by spaces so the text cannot start a new header.
QByteArray encodeHeaderText(const QString &text, int firstLineUsed = 0);

// One mailbox for From/To: the display name quoted or encoded, the address in angle brackets.
QByteArray encodeMailbox(const QString &mailbox, int firstLineUsed = 0);

// A list of mailboxes for To, one mailbox per line after the first.
QByteArray encodeAddressList(const QString &list, int firstLineUsed = 0);

// RFC 5322 date: "Tue, 05 Mar 2024 14:03:07 +0100" (English names whatever the locale).
QByteArray formatDate(const QDateTime &dateTime);

// Unique "<random.time@domain>"; the domain is the one of fromAddress when it looks like a domain,
// otherwise "zirave.invalid".
QByteArray makeMessageId(const QString &fromAddress);

// MIME type of an attachment judged by the file name suffix.
QByteArray contentTypeForFileName(const QString &fileName);

// Our name in EHLO (RFC 5321 4.1.4): the machine's canonical name when it is fully qualified,
// otherwise the address literal of the local address the connection uses ("[192.0.2.7]",
// "[IPv6:2001:db8::7]"). Empty when neither is usable.
QByteArray greetingName(const QString &canonicalName, const QString &localAddress);

// File name with line breaks and other control characters removed.
QString sanitizeFileName(const QString &fileName);

// Content-Disposition value for a file name that is not plain ASCII, with the name as an RFC 2231
// UTF-8 parameter. Empty for plain ASCII names (curl writes those).
QByteArray attachmentDisposition(const QString &fileName);

} // namespace MailFormat
