#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <optional>

// One tag laid on the reader: its code and how long it lies there.
struct TagVisit {
    quint32 code = 0;
    int durationMs = 0;
};

// "1234:2.5" or "1234 2.5": code, then seconds. Empty when the text is not of that form.
std::optional<TagVisit> parseTagVisit(const QString &text);

// The reader's side of the line: answers every poll with a tag reply while a tag lies on it and
// with a short no-tag reply otherwise. The tags come one after another, each after a gap without a
// tag; the schedule starts with the first poll, so there is time to start reading.
class ReaderSimulator : public QObject {
    Q_OBJECT

public:
    ReaderSimulator(int masterFd, int gapMs, bool quitWhenDone, QObject *parent = nullptr);

    void addVisit(const TagVisit &visit);
    // No more visits will be added.
    void closeSchedule();

    static QByteArray tagReply(quint32 code);
    static QByteArray noTagReply();

private:
    void readPolls();
    void nextStep();
    void finishIfDone();

    int m_masterFd;
    int m_gapMs;
    bool m_quitWhenDone;
    bool m_scheduleClosed = false;
    bool m_started = false;
    bool m_inGap = false;
    QSocketNotifier m_notifier;
    QByteArray m_input;
    QList<TagVisit> m_pending;
    std::optional<quint32> m_tagOnReader;
    QTimer m_stepTimer;
    int m_polls = 0;
};
