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

} // namespace ReaderProtocol
