#pragma once

#include "qfsmtpclient.h"

#include <QList>
#include <QString>

#include <curl/curl.h>

struct MailContent {
    QString from;
    QString to;
    QString subject;
    QString body;
    QList<QFSmtpClient::Attachment> attachments;
};

// The message as curl sends it: our header lines (curl writes only the MIME ones) appended to
// headers, and the parts added to mime: the body as UTF-8 text, each attachment in base64 under
// its name. Returns the first failure of curl.
CURLcode buildMessage(const MailContent &content, const QString &fromAddress, curl_slist **headers,
                      curl_mime *mime);
