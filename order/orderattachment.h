#pragma once

#include <QByteArray>
#include <QString>

class QAbstractItemModel;

namespace OrderAttachment {

inline const QString fileName = QStringLiteral("obojky.csv");

// The order as ";"-separated text: the header line, then ";collar;eid" for every row of the
// register model in the model's own order, each line ended by "\n".
QString text(const QAbstractItemModel &registerModel);

// The bytes of the attachment file for text: UTF-8 without a byte order mark, with the platform's
// text line ends (CR LF on Windows).
QByteArray fileBytes(const QString &text);

// Writes fileBytes(text) to path. On every platform the file is
// written beside the target and moved over it (rename() on Unix, MoveFileExW() on Windows), so a
// symbolic link planted at path is replaced rather than followed, and a file another user owns in
// a shared directory is left alone (the move fails). On failure, errorString says why.
bool write(const QString &path, const QString &text, QString *errorString = nullptr);

} // namespace OrderAttachment
