#pragma once

#include <QDateTime>

// The local wall clock. Everything that stamps a record or decides which day it
// is asks a Clock, so tests can step time across midnight without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};
