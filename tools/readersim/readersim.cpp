#include "readersim.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

#include <cerrno>
#include <unistd.h>

namespace {
const QByteArray pollCommand("\x01\x02\x08\x32\x38", 5);

QTextStream &err() {
    static QTextStream stream(stderr);
    return stream;
}
} // namespace

std::optional<TagVisit> parseTagVisit(const QString &text) {
    static const QRegularExpression form(R"(^\s*(\S+?)\s*[:\s]\s*([0-9.]+)\s*$)");
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    bool codeOk = false;
    bool secondsOk = false;
    // Decimal like the register shows codes, so leading zeros are no octal; 0x for hexadecimal.
    const QString codeText = match.captured(1);
    const qulonglong code = codeText.startsWith("0x", Qt::CaseInsensitive)
                                ? codeText.mid(2).toULongLong(&codeOk, 16)
                                : codeText.toULongLong(&codeOk, 10);
    const double seconds = match.captured(2).toDouble(&secondsOk);
    if (!codeOk || code > 0xffffffffULL || !secondsOk || seconds <= 0)
        return std::nullopt;
    return TagVisit{quint32(code), int(seconds * 1000)};
}

std::optional<Unplug> parseUnplug(const QString &text, int defaultDownMs) {
    const QStringList parts = text.split(':');
    if (parts.size() > 2)
        return std::nullopt;
    bool afterOk = false;
    bool downOk = true;
    const double after = parts.at(0).toDouble(&afterOk);
    const double down = parts.size() == 2 ? parts.at(1).toDouble(&downOk) : defaultDownMs / 1000.0;
    if (!afterOk || !downOk || after < 0 || down <= 0)
        return std::nullopt;
    return Unplug{int(after * 1000), int(down * 1000)};
}

ReaderSimulator::ReaderSimulator(int gapMs, bool quitWhenDone, QObject *parent)
    : QObject(parent)
    , m_gapMs(gapMs)
    , m_quitWhenDone(quitWhenDone) {
    m_stepTimer.setSingleShot(true);
    connect(&m_stepTimer, &QTimer::timeout, this, &ReaderSimulator::nextStep);
}

void ReaderSimulator::attachLine(int masterFd) {
    m_masterFd = masterFd;
    m_input.clear();
    m_notifier = std::make_unique<QSocketNotifier>(masterFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ReaderSimulator::readPolls);
}

void ReaderSimulator::detachLine() {
    m_notifier.reset();
    m_masterFd = -1;
}

void ReaderSimulator::addVisit(const TagVisit &visit) {
    m_pending.append(visit);
    if (m_started && !m_stepTimer.isActive())
        nextStep();
}

void ReaderSimulator::closeSchedule() {
    m_scheduleClosed = true;
    if (m_started && !m_stepTimer.isActive())
        finishIfDone();
}

QByteArray ReaderSimulator::tagReply(quint32 code) {
    QByteArray reply("\x02\x0c\x08", 3);
    for (int shift = 0; shift < 32; shift += 8)
        reply.append(char((code >> shift) & 0xff));
    reply.append("\x00\x00\x00\x00\x03", 5);
    return reply;
}

QByteArray ReaderSimulator::noTagReply() {
    return QByteArray("\x02\x03\x00", 3);
}

void ReaderSimulator::readPolls() {
    char data[256];
    const ssize_t count = ::read(m_masterFd, data, sizeof data);
    if (count <= 0) {
        if (count < 0 && errno == EAGAIN)
            return;
        err() << "reader line closed" << Qt::endl;
        m_notifier->setEnabled(false);
        QCoreApplication::exit(1);
        return;
    }
    m_input.append(data, int(count));

    int at;
    while ((at = m_input.indexOf(pollCommand)) >= 0) {
        m_input.remove(0, at + pollCommand.size());
        ++m_polls;
        const QByteArray reply = m_tagOnReader ? tagReply(*m_tagOnReader) : noTagReply();
        if (::write(m_masterFd, reply.constData(), size_t(reply.size())) != reply.size())
            err() << "reply not written completely" << Qt::endl;
        if (!m_started) {
            m_started = true;
            err() << "polled: the reading has started" << Qt::endl;
            emit started();
            nextStep();
        }
    }
    // Keep only what may still become the start of a poll.
    if (m_input.size() > pollCommand.size())
        m_input = m_input.right(pollCommand.size() - 1);
}

void ReaderSimulator::nextStep() {
    if (m_tagOnReader) {
        err() << "tag " << *m_tagOnReader << " lifted" << Qt::endl;
        m_tagOnReader.reset();
    }
    if (!m_inGap && !m_pending.isEmpty()) {
        // A gap without a tag comes before every tag, so that each one is a reply of its own.
        m_inGap = true;
        m_stepTimer.start(m_gapMs);
        return;
    }
    if (m_inGap && !m_pending.isEmpty()) {
        m_inGap = false;
        const TagVisit visit = m_pending.takeFirst();
        m_tagOnReader = visit.code;
        err() << "tag " << visit.code << " on the reader for " << visit.durationMs << " ms"
              << Qt::endl;
        m_stepTimer.start(visit.durationMs);
        return;
    }
    m_inGap = false;
    finishIfDone();
}

void ReaderSimulator::finishIfDone() {
    if (!m_quitWhenDone || !m_scheduleClosed || !m_pending.isEmpty())
        return;
    // One more gap, so that the program receives the no-tag reply that closes the last tag reply.
    QTimer::singleShot(m_gapMs, this, [this] {
        err() << "all tags presented after " << m_polls << " polls" << Qt::endl;
        QCoreApplication::quit();
    });
}
