#include "orderarchive.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace OrderArchive {

namespace {

QString tr(const char *text) {
    return QCoreApplication::translate("OrderArchive", text);
}

bool isTaken(const QString &path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool syncToDisk(QFile &file) {
#ifdef Q_OS_UNIX
    // Otherwise a power cut soon after the rename may leave an empty file under the final name.
    return ::fsync(file.handle()) == 0;
#else
    Q_UNUSED(file);
    return true;
#endif
}

// Writes bytes to a hidden temporary file beside path, which is renamed to path only when
// complete. Returns why not, or an empty text.
QString writeAs(const QString &path, const QByteArray &bytes) {
    // Hidden, so that a file left behind by a crash is not taken for an archived order.
    QTemporaryFile file(QFileInfo(path).absolutePath() + QStringLiteral("/.zapis-XXXXXX"));
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush() || !syncToDisk(file))
        return file.errorString();
    if (!file.rename(path))
        return file.errorString();
    file.setAutoRemove(false);
    return QString();
}

} // namespace

QString fileName(const QDateTime &time, const QString &orderNumber, Reason reason, int copy) {
    QString number;
    // By code point, so that a character beyond 16 bits becomes one "_", not two.
    for (const uint codePoint : orderNumber.toUcs4()) {
        if (QChar::isLetter(codePoint) || QChar::isDigit(codePoint) || codePoint == '-' ||
            codePoint == '.')
            number += QString::fromUcs4(&codePoint, 1);
        else
            number += '_';
    }
    if (number.isEmpty())
        number = QStringLiteral("bez-cisla");

    QString name = time.toString(QStringLiteral("yyyyMMdd_HHmmss")) + '_' + number +
                   (reason == Replaced ? QStringLiteral("_nova") : QStringLiteral("_odeslano"));
    if (copy > 1)
        name += '_' + QString::number(copy);
    return name + QStringLiteral(".csv");
}

QString directory(const QString &databasePath) {
    if (databasePath.isEmpty())
        return QString();
    return QFileInfo(databasePath).absolutePath() + QStringLiteral("/archive");
}

Result store(const QString &databasePath, const QString &orderNumber, Reason reason,
             const QByteArray &bytes, const QDateTime &time) {
    const QString folder = directory(databasePath);
    Result result;
    result.path = folder + '/' + fileName(time, orderNumber, reason);
    if (folder.isEmpty()) {
        result.error = tr("Složka s daty programu není známa.");
        return result;
    }
    if (!QDir().mkpath(folder)) {
        result.error =
            isTaken(folder) ? tr("Na místě složky %1 je soubor.") : tr("Složku %1 nelze vytvořit.");
        result.error = result.error.arg(QDir::toNativeSeparators(folder));
        return result;
    }

    // The rename never replaces a file: a name taken in the meantime means the next one.
    for (int copy = 1;; ++copy) {
        result.path = folder + '/' + fileName(time, orderNumber, reason, copy);
        if (isTaken(result.path))
            continue;
        result.error = writeAs(result.path, bytes);
        if (result.error.isEmpty() || !isTaken(result.path))
            return result;
    }
}

} // namespace OrderArchive
