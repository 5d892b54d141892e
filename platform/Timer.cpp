#include "platform/Timer.h"

#include <QTimer>

QtTimer::QtTimer(int intervalMs) : timer_(new QTimer)
{
    timer_->setInterval(intervalMs);
    QObject::connect(timer_, &QTimer::timeout, [this] { fire(); });
}

QtTimer::~QtTimer() { delete timer_; }

void QtTimer::start() { timer_->start(); }
void QtTimer::stop() { timer_->stop(); }
bool QtTimer::isActive() const { return timer_->isActive(); }
