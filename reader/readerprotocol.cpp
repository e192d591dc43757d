#include "readerprotocol.h"

namespace ReaderProtocol {

std::optional<quint32> tagCode(const QByteArray &reply) {
    if (reply.size() != tagReplyLength)
        return std::nullopt;
    quint32 code = 0;
    for (int i = 3; i >= 0; --i)
        code = (code << 8) | quint8(reply.at(tagCodeOffset + i));
    return code;
}

void appendToReply(QByteArray &reply, const QByteArray &chunk) {
    const int room = replyBufferLimit - reply.size();
    if (room > 0)
        reply.append(chunk.constData(), qMin(room, chunk.size()));
}

QString eidText(quint32 code) {
    return QString::number(code);
}

bool meansReaderGone(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::PermissionError:
    case QSerialPort::UnknownError:
    case QSerialPort::DeviceNotFoundError:
        return true;
    default:
        return false;
    }
}

int ticksToRestAfterReopen(qint64 attemptMs, qint64 tickMs) {
    // Below this an attempt is not felt in the window.
    const qint64 unnoticedMs = 30;
    const qint64 longestRestMs = 30000;
    if (attemptMs <= unnoticedMs || tickMs <= 0)
        return 0;
    return int(qMin(attemptMs * 9, longestRestMs) / tickMs);
}

} // namespace ReaderProtocol
