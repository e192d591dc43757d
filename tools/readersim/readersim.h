#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

// One tag laid on the reader: its code and how long it lies there.
struct TagVisit {
    quint32 code = 0;
    int durationMs = 0;
};

// "1234:2.5" or "1234 2.5": code, then seconds. Empty when the text is not of that form.
std::optional<TagVisit> parseTagVisit(const QString &text);

// When the reader's cable is pulled, counted from the first poll, and for how long.
struct Unplug {
    int afterMs = 0;
    int downMs = 0;
};

// "5" or "5:3": seconds until the unplug, then seconds down (defaultDownMs when not given).
std::optional<Unplug> parseUnplug(const QString &text, int defaultDownMs);

// The reader's side of the line: answers every poll with a tag reply while a tag lies on it and
// with a short no-tag reply otherwise. The tags come one after another, each after a gap without a
// tag; the schedule starts with the first poll, so there is time to start reading. The schedule
// goes on while the line is detached, as the tags do on a reader whose cable is pulled.
class ReaderSimulator : public QObject {
    Q_OBJECT

public:
    ReaderSimulator(int gapMs, bool quitWhenDone, QObject *parent = nullptr);

    // The master side of the pseudo-terminal the program reaches the reader on; not owned.
    void attachLine(int masterFd);
    void detachLine();

    void addVisit(const TagVisit &visit);
    // No more visits will be added.
    void closeSchedule();

    static QByteArray tagReply(quint32 code);
    static QByteArray noTagReply();

signals:
    void started();

private:
    void readPolls();
    void nextStep();
    void finishIfDone();

    int m_masterFd = -1;
    int m_gapMs;
    bool m_quitWhenDone;
    bool m_scheduleClosed = false;
    bool m_started = false;
    bool m_inGap = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QByteArray m_input;
    QList<TagVisit> m_pending;
    std::optional<quint32> m_tagOnReader;
    QTimer m_stepTimer;
    int m_polls = 0;
};
