#pragma once

#include "intake/FilteredMessages.h"
#include "intake/MessageText.h"
#include "intake/RecordTime.h"
#include "platform/Result.h"

#include <QDateTime>
#include <QString>
#include <exception>
#include <functional>

class Clock;
class LogDatabase;
class Timer;
class WriteQueue;
struct Datagram;

// The receiving end: classifies each datagram, passes accepted ones on to be
// shown (at most ten new lines a second), hands them to the write queue and
// moves the write path on to a new daily table at the first accepted datagram
// of a new day. Rejected datagrams go to the filtered-message buffer.
class DatagramIntake {
public:
    struct Events {
        // A record for the main list, once it was written (with its ID) or
        // went to the recovery file (ID 0); at most ten per one-second interval.
        std::function<void(const LogRecord& record)> showRecord;
        // The rollover created the table of this day.
        std::function<void(const QString& day)> dayTableCreated;
        // A message for the user.
        std::function<void(const QString& text)> error;
        // Records now go to the table of this new day.
        std::function<void(const QString& day)> dayStarted;
    };

    static constexpr qint32 kShownPerSecond = 10;

    DatagramIntake(WriteQueue& queue, Timer& writeTimer, LogDatabase& database, const Clock& clock, Events events);

    // Handles one datagram. The CR, LF and NUL bytes at the end of a datagram
    // or TCP message are left out before anything else. Never throws: a failure ends the handling of this
    // datagram only, keeping what was already done, and is counted.
    void handleDatagram(const Datagram& datagram);
    // One message of a TCP connection: decoded and handled exactly as a
    // datagram. False, with nothing handled, when its text is longer than
    // kLongestMessage characters: the connection is to be closed.
    bool handleStreamMessage(const QByteArray& bytes, const QString& ip);

    // Called with each message that passes the filter, its bytes as they
    // were received without the line ends at their end (the UTF-8 of the text for a message handed in already
    // decoded), the sender's address and the arrival time its record gets,
    // before it is trimmed and stored. None by default.
    using OnAccepted = std::function<void(const QByteArray& bytes, const QString& ip, const QDateTime& arrival)>;
    void setOnAccepted(OnAccepted onAccepted) { onAccepted_ = std::move(onAccepted); }

    // Called with each record as it is kept, before it is queued to be
    // stored (the rules test it). None by default.
    using OnKept = std::function<void(const LogRecord& record)>;
    void setOnKept(OnKept onKept) { onKept_ = std::move(onKept); }

    QString currentDay() const { return currentDay_; }
    void setCurrentDay(const QString& day) { currentDay_ = day; }
    qint16 filterEnabled() const { return filterEnabled_; }
    // Messages whose severity is higher (less urgent) than this are rejected
    // like the filter's; those without a priority pass. -1: no such filter.
    void setMinSeverity(int severity) { minSeverity_ = severity; }
    int minSeverity() const { return minSeverity_; }
    void setFilterEnabled(qint16 enabled) { filterEnabled_ = enabled; }
    qint32 receivedThisSecond() const { return receivedThisSecond_; }
    qint32 filteredCount() const { return filteredCount_; }
    // Accepted messages not kept because they were shorter than
    // kShortestMessage or longer than kLongestMessage after trimming.
    qint64 lengthDropped() const { return lengthDropped_; }
    FilteredMessageBuffer& filtered() { return filtered_; }
    // Messages whose handling a failure (of a callback, or memory) cut short.
    struct Failures {
        qint64 count = 0;
        QString last; // the reason of the latest
    };
    const Failures& failures() const { return failures_; }
    // Ends a one-second interval: the accepted datagrams counted in it, after
    // which the count starts again from 0.
    qint32 startNextSecond();

private:
    void handle(const QString& text, const QString& ip, const QByteArray& bytes);
    void reject(const QString& text, const QString& ip);
    void accept(const QString& text, const QString& ip, const QByteArray& bytes);
    void keep(LogRecord&& record);
    Result<> rollOverIfNewDay(const QString& time);
    // Runs step; a failure in it is counted and noted, and the message (or
    // the next one) is handled on as if it had not happened.
    template <typename Step>
    void tolerateFailure(Step&& step)
    {
        try {
            step();
        } catch (const std::exception& failure) {
            ++failures_.count;
            failures_.last = QString::fromUtf8(failure.what());
        }
    }

    WriteQueue& queue_;
    Timer& writeTimer_;
    LogDatabase& database_;
    Events events_;
    OnAccepted onAccepted_;
    OnKept onKept_;
    DatagramDecoder decoder_;
    ArrivalTime arrival_;
    // Shares the texts of the fields of one kept message with the next.
    FieldReader fieldReader_;

    QString currentDay_;
    qint16 filterEnabled_ = 1;
    int minSeverity_ = -1;
    qint32 receivedThisSecond_ = 0;
    qint32 filteredCount_ = 0;
    qint64 lengthDropped_ = 0;
    FilteredMessageBuffer filtered_;
    Failures failures_;
};
