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

QString eidText(quint32 code) {
    return QString::number(code);
}

} // namespace ReaderProtocol
