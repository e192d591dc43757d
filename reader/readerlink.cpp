#include "readerlink.h"

#include "portwatcher.h"
#include "readerprotocol.h"

#include <QElapsedTimer>

#include <algorithm>
#include <utility>

namespace {
constexpr int pollIntervalMs = 300;
// How often the watcher takes its quick look for a change: a port that comes or goes is listed
// within about a second.
constexpr int portScanIntervalMs = 1000;

QStringList locationsOf(const QList<PortDescription> &ports) {
    QStringList locations;
    for (const PortDescription &port : ports)
        locations << port.location;
    return locations;
}
} // namespace

ReaderLink::ReaderLink(QObject *parent)
    : QObject(parent) {
    // A child, so that it can be found by its name.
    m_port.setParent(this);
    m_port.setObjectName("readerPort");
    connect(&m_port, &QSerialPort::readyRead, this, &ReaderLink::readChunk);
    connect(&m_port, &QSerialPort::errorOccurred, this, &ReaderLink::handlePortError);
    connect(&m_pollTimer, &QTimer::timeout, this, &ReaderLink::onPollTick);
    m_pollTimer.start(pollIntervalMs);
    m_replyEndTimer.setSingleShot(true);
    m_replyEndTimer.setTimerType(Qt::PreciseTimer);
    m_replyEndTimer.setInterval(int(ReaderProtocol::replyGapMs) + 1);
    connect(&m_replyEndTimer, &QTimer::timeout, this, &ReaderLink::finishReply);
}

void ReaderLink::listPorts(const QStringList &extraPaths) {
    m_extraPaths = extraPaths;
    m_portWatcher = new PortWatcher(extraPaths, this);
    m_listed.clear();
    applyFoundPorts(m_portWatcher->scanNow());
}

void ReaderLink::followPorts() {
    connect(m_portWatcher, &PortWatcher::portsFound, this, &ReaderLink::applyFoundPorts);
    m_portWatcher->start(portScanIntervalMs);
}

bool ReaderLink::isPresent(const QString &location) const {
    return locationsOf(m_foundPorts).contains(location);
}

// Ports that appeared are added at the end and those that vanished are taken out, so that the
// others keep their places; the chosen port and the port of a reading stay.
void ReaderLink::applyFoundPorts(const QList<PortDescription> &found) {
    const bool presenceChanged = locationsOf(found) != locationsOf(m_foundPorts);
    m_foundPorts = found;
    QStringList kept{m_chosen};
    if (m_state != State::Idle)
        kept << m_readerLocation;
    const PortList::Change change = PortList::compare(locationsOf(m_listed), found, kept);
    for (const QString &location : change.removed)
        m_listed.removeAt(locationsOf(m_listed).indexOf(location));
    // A port listed while absent is then named as the system names it.
    for (PortDescription &listed : m_listed)
        listed = describePort(listed.location, listed.name);
    m_listed << change.added;
    if (m_state == State::WaitingForReader)
        followLostReader();
    if (presenceChanged || !change.removed.isEmpty() || !change.added.isEmpty())
        emit listedPortsChanged();
}

void ReaderLink::dropAbsentUnkept() {
    const auto gone = [this](const PortDescription &port) {
        return port.location != m_chosen && !isPresent(port.location) &&
               (m_state == State::Idle || port.location != m_readerLocation);
    };
    m_listed.erase(std::remove_if(m_listed.begin(), m_listed.end(), gone), m_listed.end());
}

void ReaderLink::choose(const QString &location) {
    if (location == m_chosen)
        return;
    m_chosen = location;
    dropAbsentUnkept();
    emit listedPortsChanged();
}

void ReaderLink::chooseStored(const QString &location, const PortDescription &readerIdentity) {
    m_chosen = PortList::chosenAtStart(location, readerIdentity, m_foundPorts);
    if (!m_chosen.isEmpty() && !locationsOf(m_listed).contains(m_chosen)) {
        // Absent: known only by its location, named as the list names such a port.
        QString name = m_chosen;
        if (!m_extraPaths.contains(m_chosen)) {
            for (const QString &prefix : {QStringLiteral("\\\\.\\"), QStringLiteral("/dev/")}) {
                if (name.startsWith(prefix))
                    name = name.mid(prefix.size());
            }
        }
        m_listed << plainPort(name, m_chosen);
    }
    emit listedPortsChanged();
}

PortDescription ReaderLink::describePort(const QString &location, const QString &name) const {
    for (const PortDescription &port : m_foundPorts) {
        if (port.location == location)
            return port;
    }
    return plainPort(name.isEmpty() ? location : name, location);
}

// A USB adapter plugged into another socket often comes back under another name (on Windows
// always, when it has no serial number).
void ReaderLink::followLostReader() {
    const std::optional<QString> moved =
        PortList::followedLocation(m_readerDescription, m_portsAtLoss, m_foundPorts);
    if (!moved || *moved == m_readerLocation)
        return;
    // The list follows the reader unless the user has chosen another port meanwhile.
    const bool followedByTheList = m_chosen == m_readerLocation;
    m_readerLocation = *moved;
    m_readerDescription.location = *moved;
    m_reopenTicksToRest = 0;
    if (followedByTheList) {
        m_chosen = *moved;
        dropAbsentUnkept();
    }
}

void ReaderLink::onPollTick() {
    switch (m_state) {
    case State::Idle:
        emit idleTick();
        break;
    case State::Reading:
        // Some drivers show a vanished device only by never completing a write.
        m_ticksWithPollUnwritten = m_port.bytesToWrite() > 0 ? m_ticksWithPollUnwritten + 1 : 0;
        if (m_ticksWithPollUnwritten >= ReaderProtocol::ticksOfUnwrittenPollMeaningGone) {
            loseReader();
            break;
        }
        m_port.write(ReaderProtocol::pollCommand, ReaderProtocol::pollCommandLength);
        break;
    case State::WaitingForReader:
        tryReopen();
        break;
    }
}

void ReaderLink::readChunk() {
    const QByteArray chunk = m_port.readAll();
    if (chunk.isEmpty())
        return;
    ReaderProtocol::appendToReply(m_replyBuffer, chunk);
    m_replyEndTimer.start();
}

// Bytes that reached the system before the reading ends, but that the window has not handled
// yet, belong to the last reply.
void ReaderLink::takeInArrivedBytes() {
    // A few rounds, not one: on Windows the first may only report a read handled before, and the
    // next may only start the read of what has arrived. A line that never falls silent is not
    // waited out.
    for (int round = 0; round < 3 && m_state == State::Reading; ++round)
        m_port.waitForReadyRead(0);
}

void ReaderLink::finishReply() {
    m_replyEndTimer.stop();
    if (m_replyBuffer.isEmpty())
        return;
    // Taken out first: whatever arrives while the reply is handled belongs to the next one.
    emit replyEnded(std::exchange(m_replyBuffer, QByteArray()));
}

void ReaderLink::setState(State state) {
    m_state = state;
    emit stateChanged(state);
}

bool ReaderLink::start(const QString &location) {
    choose(location);
    if (!openPort(location))
        return false;
    m_readerLocation = location;
    setState(State::Reading);
    return true;
}

bool ReaderLink::openPort(const QString &location) {
    m_port.setPortName(location);
    m_port.setBaudRate(QSerialPort::Baud9600, QSerialPort::AllDirections);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite))
        return false;
    m_readerDescription = describePort(location);
    m_ticksWithPollUnwritten = 0;
    return true;
}

void ReaderLink::end() {
    if (m_state == State::Idle)
        return;
    // The last reply may have ended just before the end, or be ending now.
    if (m_state == State::Reading)
        takeInArrivedBytes();
    finishReply();
    m_state = State::Idle;
    if (m_port.isOpen())
        m_port.close();
    emit stateChanged(m_state);
}

void ReaderLink::handlePortError(QSerialPort::SerialPortError error) {
    // The failed openings while waiting report errors too; they change nothing.
    if (m_state == State::Reading && ReaderProtocol::meansReaderGone(error))
        loseReader();
}

void ReaderLink::loseReader() {
    // A reply complete before the loss is a reply like any other; one cut off by it is no tag.
    finishReply();
    m_state = State::WaitingForReader;
    // Left open, the port of a vanished device reports read errors as fast as it can, and it
    // never delivers anything again: the device comes back behind a new handle.
    m_port.close();
    m_portsAtLoss = m_foundPorts;
    m_reopenTicksToRest = 0;
    emit stateChanged(m_state);
}

void ReaderLink::tryReopen() {
    if (m_reopenTicksToRest > 0) {
        --m_reopenTicksToRest;
        return;
    }
    // Another device may have been given the reader's name meanwhile.
    if (!PortList::mayReopen(m_readerDescription, m_foundPorts))
        return;
    QElapsedTimer attempt;
    attempt.start();
    const bool reopened = openPort(m_readerLocation);
    m_reopenTicksToRest =
        ReaderProtocol::ticksToRestAfterReopen(attempt.elapsed(), m_pollTimer.interval());
    // A failed attempt is not worth a word: the reader is simply not back yet.
    if (reopened)
        setState(State::Reading);
}
