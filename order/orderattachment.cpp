#include "orderattachment.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cstdio>
#endif

namespace OrderAttachment {

QString text(const QAbstractItemModel &registerModel) {
    QString text = QStringLiteral("czv;obojek;eid\n");
    for (int row = 0; row < registerModel.rowCount(); ++row) {
        text += ';';
        text += registerModel.index(row, 1).data(Qt::DisplayRole).toString();
        text += ';';
        text += registerModel.index(row, 2).data(Qt::DisplayRole).toString();
        text += '\n';
    }
    return text;
}

QByteArray fileBytes(const QString &text) {
    QByteArray bytes = text.toUtf8();
#ifdef Q_OS_WIN
    bytes.replace("\n", "\r\n");
#endif
    return bytes;
}

// Replaces the directory entry at to, whatever it is, without following a link there.
static bool moveOver(const QString &from, const QString &to) {
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

bool write(const QString &path, const QString &text, QString *errorString) {
    const QFileInfo target(path);
    const QByteArray bytes = fileBytes(text);
    QString written;
    {
        QTemporaryFile file(target.absolutePath() + "/." + target.fileName() + ".XXXXXX");
        if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
            if (errorString)
                *errorString = file.errorString();
            return false;
        }
        // Qt 5's close() keeps the Windows handle open, and Windows moves no open file: only the
        // file object's end lets go of it.
        written = file.fileName();
        file.setAutoRemove(false);
    }
    if (!moveOver(written, path)) {
        if (errorString)
            *errorString = qt_error_string();
        QFile::remove(written);
        return false;
    }
    return true;
}

} // namespace OrderAttachment
