#include "mailmessage.h"

#include "mailformat.h"

#include <QDateTime>

CURLcode buildMessage(const MailContent &content, const QString &fromAddress, curl_slist **headers,
                      curl_mime *mime) {
    const QList<QByteArray> lines = {
        "Date: " + MailFormat::formatDate(QDateTime::currentDateTime()),
        "From: " + MailFormat::encodeMailbox(content.from, 6),
        "To: " + MailFormat::encodeAddressList(content.to, 4),
        "Subject: " + MailFormat::encodeHeaderText(content.subject, 9),
        "Message-ID: " + MailFormat::makeMessageId(fromAddress),
    };
    for (const QByteArray &line : lines)
        *headers = curl_slist_append(*headers, line.constData());

    // Text lines end in CRLF on the wire; the encoder keeps them as real line breaks.
    QString text = content.body;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    const QByteArray textBytes = text.toUtf8();

    CURLcode rc = CURLE_OK;
    auto check = [&rc](CURLcode result) {
        if (rc == CURLE_OK)
            rc = result;
    };
    curl_mimepart *part = curl_mime_addpart(mime);
    if (!part)
        return CURLE_OUT_OF_MEMORY;
    check(curl_mime_data(part, textBytes.constData(), size_t(textBytes.size())));
    check(curl_mime_type(part, "text/plain; charset=UTF-8"));
    check(curl_mime_encoder(part, "quoted-printable"));
    for (const QFSmtpClient::Attachment &attachment : content.attachments) {
        const QString name = MailFormat::sanitizeFileName(attachment.fileName);
        part = curl_mime_addpart(mime);
        if (!part)
            return CURLE_OUT_OF_MEMORY;
        check(curl_mime_data(part, attachment.content.constData(),
                             size_t(attachment.content.size())));
        check(curl_mime_filename(part, name.toUtf8().constData()));
        check(curl_mime_type(part, MailFormat::contentTypeForFileName(name).constData()));
        check(curl_mime_encoder(part, "base64"));
        const QByteArray disposition = MailFormat::attachmentDisposition(name);
        if (!disposition.isEmpty()) {
            curl_slist *partHeaders =
                curl_slist_append(nullptr, ("Content-Disposition: " + disposition).constData());
            check(curl_mime_headers(part, partHeaders, 1));
        }
    }
    return rc;
}
