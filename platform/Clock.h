#pragma once

#include <QDateTime>

// The local wall clock. Everything that stamps a record or decides which day it
// is asks a Clock, so tests can step time across midnight without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    // The same instant as milliseconds since the epoch; cheaper than now() on
    // the real clock, for callers that only need to know whether a second has passed.
    virtual qint64 currentMSecsSinceEpoch() const { return now().toMSecsSinceEpoch(); }
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    qint64 currentMSecsSinceEpoch() const override { return QDateTime::currentMSecsSinceEpoch(); }
};
