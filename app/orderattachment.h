#pragma once

#include <QString>

class QAbstractItemModel;

namespace OrderAttachment {

inline const QString fileName = QStringLiteral("obojky.csv");

// The order as ";"-separated text: the header line, then ";collar;eid" for every row of the
// register model in the model's own order, each line ended by "\n".
QString text(const QAbstractItemModel &registerModel);

// Writes text as UTF-8 to path, with the platform's text line ends. The file is written beside
// the target and renamed over it, so a symbolic link planted at path is replaced rather than
// followed, and a file another user owns in a shared directory is left alone (the rename fails).
bool write(const QString &path, const QString &text);

} // namespace OrderAttachment
