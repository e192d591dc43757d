#include "orderattachment.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTextStream>

#ifdef Q_OS_UNIX
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

static bool writeUtf8(QIODevice &device, const QString &text) {
    device.setTextModeEnabled(true);
    QTextStream stream(&device);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
    return stream.status() == QTextStream::Ok;
}

bool write(const QString &path, const QString &text) {
#ifdef Q_OS_UNIX
    const QFileInfo target(path);
    QTemporaryFile file(target.absolutePath() + "/." + target.fileName() + ".XXXXXX");
    if (!file.open() || !writeUtf8(file, text) || !file.flush())
        return false;
    // rename() replaces the directory entry itself: a symbolic link there is not followed.
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
#else
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || !writeUtf8(file, text))
        return false;
    return file.commit();
#endif
}

} // namespace OrderAttachment
