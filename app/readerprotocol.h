#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// What the program knows about the RFID reader's line: the one command it sends, how replies are
// told apart and how a tag reply carries its code. Nothing here needs a port or a widget.
namespace ReaderProtocol {

// The poll command, the only thing the reader is ever sent.
inline constexpr char pollCommand[] = {0x01, 0x02, 0x08, 0x32, 0x38};
inline constexpr int pollCommandLength = sizeof(pollCommand);

inline constexpr int tagReplyLength = 12;
inline constexpr int tagCodeOffset = 3;

// The reader marks the end of a reply only by falling silent, so a chunk that comes after a pause
// longer than this starts a new reply.
inline constexpr qint64 replyGapMs = 100;

inline bool startsNewReply(qint64 msSincePreviousChunk) {
    return msSincePreviousChunk > replyGapMs;
}

// The tag code of a reply, or nothing when the reply says that no tag lies on the reader. Only the
// length and the four code bytes count; nothing else of a reply is checked.
std::optional<quint32> tagCode(const QByteArray &reply);

// The code as it is shown and stored in the register: plain unsigned decimal.
QString eidText(quint32 code);

} // namespace ReaderProtocol
