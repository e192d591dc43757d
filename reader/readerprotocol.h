#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QString>
#include <QtGlobal>

#include <optional>

// What the program knows about the RFID reader's line: the one command it sends, how replies are
// told apart, how a tag reply carries its code and which port errors mean that the reader is gone.
// Nothing here needs an open port or a widget.
namespace ReaderProtocol {

// The poll command, the only thing the reader is ever sent.
inline constexpr char pollCommand[] = {0x01, 0x02, 0x08, 0x32, 0x38};
inline constexpr int pollCommandLength = sizeof(pollCommand);

inline constexpr int tagReplyLength = 12;
inline constexpr int tagCodeOffset = 3;

// The reader marks the end of a reply only by falling silent: a reply is over once its last chunk
// is followed by a pause longer than this.
inline constexpr qint64 replyGapMs = 100;

// A reply longer than a tag reply is no tag, however long it grows; keeping one byte more than a
// tag reply is enough to know that, so a reader that never falls silent cannot fill the memory.
inline constexpr int replyBufferLimit = tagReplyLength + 1;

// Appends a chunk to the reply collected so far, keeping no more than replyBufferLimit bytes.
void appendToReply(QByteArray &reply, const QByteArray &chunk);

// The tag code of a reply, or nothing when the reply says that no tag lies on the reader. Only the
// length and the four code bytes count; nothing else of a reply is checked.
std::optional<quint32> tagCode(const QByteArray &reply);

// The code as it is shown and stored in the register: plain unsigned decimal.
QString eidText(quint32 code);

// Whether an error of the open reader port means that its device has gone (unplugged, switched
// off, a hub reset): the port can then be closed and opened again once the device is back. Qt
// reports a read or write that the system refuses in several ways: on Linux as a read, write or
// resource error; on Windows a failed read or write of a removed device also comes unmapped, as
// a permission error (access denied) or an unknown error (device removed, general failure).
// Parity, framing, break and time-out errors leave the device there.
bool meansReaderGone(QSerialPort::SerialPortError error);

// A poll still unwritten at this many ticks in a row means the device has gone: on Windows a
// write to a removed device may fail once and then never complete, without a word.
inline constexpr int ticksOfUnwrittenPollMeaningGone = 3;

// How many poll ticks to let pass before the next attempt to reopen a lost reader, after one that
// took attemptMs. Opening fails at once while the device is away; a port whose opening waits for
// its device (a Bluetooth serial port on Windows does) holds the window for that long, so such
// attempts are spaced to keep them to about a tenth of the time.
int ticksToRestAfterReopen(qint64 attemptMs, qint64 tickMs);

} // namespace ReaderProtocol
