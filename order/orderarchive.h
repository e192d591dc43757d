#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Every order that leaves the register, emptied by a new order or sent by e-mail, is kept as a
// file in the folder "archive" beside data.db, so that no reading is ever lost and what went out
// can be looked up later. Files are only ever added, never replaced.
namespace OrderArchive {

enum Reason {
    Replaced, // the register before a new order emptied it
    Sent,     // the attachment the server accepted
};

// "yyyyMMdd_HHmmss_<order number>_<nova|odeslano>.csv" for the local time, with "_<copy>" before
// ".csv" from the second copy on. In the order number everything but letters, digits, "-" and "."
// becomes "_", so that the name is a valid file name everywhere; an empty one is "bez-cisla".
QString fileName(const QDateTime &time, const QString &orderNumber, Reason reason, int copy = 1);

// The folder "archive" in the directory of the register file.
QString directory(const QString &databasePath);

struct Result {
    QString path;  // the file written, or the one that could not be written
    QString error; // why not; empty when the file was written
};

// Writes bytes as a new file of the archive beside the register at databasePath, creating the
// folder when needed. The bytes go to a hidden temporary file that is renamed to the first free
// name only when complete, so a crash never leaves half an order under an archive name.
Result store(const QString &databasePath, const QString &orderNumber, Reason reason,
             const QByteArray &bytes, const QDateTime &time = QDateTime::currentDateTime());

} // namespace OrderArchive
