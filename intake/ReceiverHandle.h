#pragma once

#include "intake/FilteredMessages.h"
#include "intake/ReceiverCore.h"

#include <QObject>
#include <QString>

class ListeningPort;

// What a window asks of the receiver and hears from it, whether the receiver
// runs in this process or in a service the window attached to. Requests
// return once the receiver has carried them out.
class ReceiverHandle : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual ListeningPort& port() = 0;
    // Makes sure the database file and today's table exist and can be
    // written, and opens the write path. Throws DbError with the store's text.
    virtual void openDatabase() = 0;
    virtual void startCounting() = 0;
    virtual void setFilterEnabled(qint16 enabled) = 0;
    // Day tables older than this many days are dropped at openDatabase() and
    // whenever a new day starts; 0 keeps every day.
    virtual void setKeepDays(int days) = 0;
    // Gives the database file up for cleaning, and takes it back.
    virtual void handOverDatabase() = 0;
    virtual void takeBackDatabase() = 0;
    // The window closes: a receiver of its own stops and stores everything it
    // read; a service goes on.
    virtual void shutdown() = 0;
    // What became of everything received, for the log.
    virtual QString summaryLine() = 0;
    // The usable receive buffer the socket got at its last bind, in bytes.
    virtual int receiveBufferBytes() = 0;

signals:
    void lineToShow(const QString& line);
    void secondElapsed(const IntakeSecond& counters);
    void filteredUpdated(const FilteredBufferUpdate& update);
    void dayTableCreated(const QString& day);
    void errorRaised(const QString& text);
    void problemReported(const QString& line);
    void daysDropped(const QStringList& days);
    // Only a receiver in a service tells this: the service went away (false;
    // the window keeps what it shows and attaches again when it is back) or
    // is back (true).
    void serviceReachable(bool reachable);
};
